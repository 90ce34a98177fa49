#include "partialrecord.h"

#include "hex.h"

namespace portable {

namespace {

constexpr std::string_view MAGIC = "CV-PARTIAL 1";

bool printable(std::string_view text, bool blanks)
{
    for (const char c : text) {
        const bool visible = c > 0x20 && c < 0x7F;
        if (!visible && !(blanks && c == ' ')) {
            return false;
        }
    }
    return true;
}

// Digits only, no leading zero, at most 18 of them (below 2^63 whatever they say).
bool number(std::string_view text, uint64_t* out)
{
    if (text.empty() || text.size() > 18 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    *out = value;
    return true;
}

// "<stem>.<16 lower-case hex digits>.tmp"
bool fileOfStem(std::string_view file, std::string_view stem)
{
    constexpr size_t TAIL = 1 + 16 + 4;
    if (stem.empty() || file.size() != stem.size() + TAIL || file.substr(0, stem.size()) != stem ||
        file[stem.size()] != '.' || file.substr(file.size() - 4) != ".tmp") {
        return false;
    }
    for (const char c : file.substr(stem.size() + 1, 16)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// Takes "<key> <value>\n" off the front of *rest.
bool field(std::string_view* rest, std::string_view key, std::string_view* value)
{
    const size_t end = rest->find('\n');
    if (end == std::string_view::npos) {
        return false;
    }
    const std::string_view line = rest->substr(0, end);
    *rest = rest->substr(end + 1);
    if (line.size() <= key.size() + 1 || line.substr(0, key.size()) != key || line[key.size()] != ' ') {
        return false;
    }
    *value = line.substr(key.size() + 1);
    return true;
}

} // namespace

bool recordableUrl(std::string_view text)
{
    return !text.empty() && text.size() <= PartialRecord::MAX_URL && printable(text, false);
}

bool recordableValidator(std::string_view text)
{
    return !text.empty() && text.size() <= PartialRecord::MAX_VALIDATOR && text.front() != ' ' && text.back() != ' ' &&
           printable(text, true);
}

std::string PartialRecord::format() const
{
    std::string out(MAGIC);
    out += "\nurl " + url + "\nfinal " + finalUrl + "\nvalidator " + validator + "\ntotal " + std::to_string(total) +
           "\nheld " + std::to_string(held) + "\nsha256 " + toHex(digest) + "\nsaved " + std::to_string(saved) +
           "\nfile " + file + "\n";
    return out;
}

bool PartialRecord::parse(std::string_view text, std::string_view stem, PartialRecord* out, std::string* why)
{
    auto refuse = [why](const char* what) {
        *why = what;
        return false;
    };
    if (text.size() > MAX_BYTES) {
        return refuse("the record is too long");
    }
    if (text.substr(0, MAGIC.size()) != MAGIC || text.size() == MAGIC.size() || text[MAGIC.size()] != '\n') {
        return refuse("the record has no valid first line");
    }
    std::string_view rest = text.substr(MAGIC.size() + 1);
    std::string_view url, finalUrl, validator, total, held, digest, saved, file;
    if (!field(&rest, "url", &url) || !field(&rest, "final", &finalUrl) || !field(&rest, "validator", &validator) ||
        !field(&rest, "total", &total) || !field(&rest, "held", &held) || !field(&rest, "sha256", &digest) ||
        !field(&rest, "saved", &saved) || !field(&rest, "file", &file) || !rest.empty()) {
        return refuse("the record's fields are not as written");
    }
    PartialRecord r;
    uint64_t savedValue = 0;
    if (!recordableUrl(url) || !recordableUrl(finalUrl) || !recordableValidator(validator)) {
        return refuse("the record holds an unusable URL or validator");
    }
    if (!number(total, &r.total) || !number(held, &r.held) || !number(saved, &savedValue) || r.held == 0 ||
        r.held >= r.total) {
        return refuse("the record's sizes or time are no valid numbers");
    }
    if (!fromHex(digest, &r.digest) || toHex(r.digest) != digest) {
        return refuse("the record's digest is no lower-case SHA-256 in hex");
    }
    if (!fileOfStem(file, stem)) {
        return refuse("the record names a file that is not a download of this program");
    }
    r.url = url;
    r.finalUrl = finalUrl;
    r.validator = validator;
    r.saved = static_cast<int64_t>(savedValue);
    r.file = file;
    *out = std::move(r);
    return true;
}

} // namespace portable
