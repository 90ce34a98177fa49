// cvstamp: the server side's deployment stamper. It writes a copy of the installer with a
// deployment block appended behind the executable image: the marker, then one tagged entry per
// value, then CR LF, all in the ANSI code page 1252 that the installer reads it with. A block
// that the input carries already is replaced, never followed by a second one (the installer
// reads only the first). Values the block cannot carry are refused: a ">" (it ends an entry),
// control characters, characters outside code page 1252, and the entry prefix itself. --show
// prints the values that the installer would read from a stamped file.
//
//   cvstamp --protocol https --host cv.example.com --port 8443 --portal /vazu/portal/req?loadPortal
//           --client /vazu/portal/req?loadPortal --events /vazu/webportlets/portal/eventViewer
//           --product "Brightel RudEvuvor" --loglevel 3 CV_setup.exe stamped/CV_setup.exe
//   cvstamp --show stamped/CV_setup.exe
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string MARKER = "ADDED_SERVERPARAMETERS:";
const std::string ENTRY_PREFIX = "ADDED_SERVERPARAMETER_";

// Key words in the order the block is written, with the option that sets each.
const struct {
    const char* word;
    const char* option;
} KEYS[] = {
    {"PROTOCOL", "--protocol"}, {"HOST", "--host"},     {"PORT", "--port"},       {"PORTAL", "--portal"},
    {"CLIENT", "--client"},     {"EVENTS", "--events"}, {"PRODUCT", "--product"}, {"LOGLEVEL", "--loglevel"},
};

// Unicode code points of the bytes 0x80 to 0x9F of code page 1252 (0: not assigned).
const uint16_t CP1252_HIGH[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void usage()
{
    std::cerr << "usage: cvstamp --protocol P --host H --port N --portal PATH --client PATH --events PATH\n"
                 "               --product NAME --loglevel L INSTALLER OUTPUT\n"
                 "       cvstamp --show FILE\n"
                 "Writes OUTPUT as a copy of INSTALLER with the deployment block appended (an existing block\n"
                 "is replaced). Every option is required; a value may be empty (\"\").\n";
}

// UTF-8 (the command line) to code page 1252. Empty optional with a reason when impossible.
std::optional<std::string> toCp1252(const std::string& utf8, std::string& why)
{
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char b = static_cast<unsigned char>(utf8[i]);
        uint32_t cp;
        size_t len;
        if (b < 0x80) {
            cp = b;
            len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            len = 4;
        } else {
            why = "it is not valid UTF-8 text";
            return std::nullopt;
        }
        if (i + len > utf8.size()) {
            why = "it is not valid UTF-8 text";
            return std::nullopt;
        }
        for (size_t k = 1; k < len; ++k) {
            const unsigned char c = static_cast<unsigned char>(utf8[i + k]);
            if ((c & 0xC0) != 0x80) {
                why = "it is not valid UTF-8 text";
                return std::nullopt;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        const uint32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            why = "it is not valid UTF-8 text";
            return std::nullopt;
        }
        i += len;

        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(cp));
            why = std::string("it holds the control character ") + hex;
            return std::nullopt;
        }
        if (cp == '>') {
            why = "it holds \">\", which ends an entry of the block";
            return std::nullopt;
        }
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
            out += static_cast<char>(cp);
            continue;
        }
        int byte = -1;
        for (int k = 0; k < 32; ++k) {
            if (CP1252_HIGH[k] != 0 && CP1252_HIGH[k] == cp) {
                byte = 0x80 + k;
            }
        }
        if (byte < 0) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(cp));
            why = std::string("it holds ") + hex + ", which the ANSI code page 1252 cannot represent";
            return std::nullopt;
        }
        out += static_cast<char>(byte);
    }
    if (out.find(ENTRY_PREFIX) != std::string::npos) {
        why = "it holds \"" + ENTRY_PREFIX + "\", which the installer would take for an entry";
        return std::nullopt;
    }
    return out;
}

// Code page 1252 to UTF-8 for printing.
std::string toUtf8(const std::string& cp1252)
{
    std::string out;
    for (unsigned char b : cp1252) {
        uint32_t cp = b;
        if (b >= 0x80 && b <= 0x9F) {
            cp = CP1252_HIGH[b - 0x80] != 0 ? CP1252_HIGH[b - 0x80] : 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

bool readAll(const fs::path& path, std::string& data)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Where the installer image ends: the start of the first block, when everything from there on
// is one or more well-formed blocks; the file's size without a marker; nullopt when a marker is
// followed by something that is not a block (cutting there could damage the image).
std::optional<size_t> imageEnd(const std::string& data)
{
    const size_t first = data.find(MARKER);
    if (first == std::string::npos) {
        return data.size();
    }
    size_t i = first;
    while (i < data.size()) {
        if (data.compare(i, MARKER.size(), MARKER) != 0) {
            return std::nullopt;
        }
        i += MARKER.size();
        while (data.compare(i, ENTRY_PREFIX.size(), ENTRY_PREFIX) == 0) {
            const size_t open = data.find('<', i + ENTRY_PREFIX.size());
            if (open == std::string::npos) {
                return std::nullopt;
            }
            for (size_t k = i + ENTRY_PREFIX.size(); k < open; ++k) {
                if (data[k] < 'A' || data[k] > 'Z') {
                    return std::nullopt;
                }
            }
            const size_t close = data.find('>', open + 1);
            if (close == std::string::npos) {
                return std::nullopt;
            }
            i = close + 1;
        }
        if (data.compare(i, 2, "\r\n") == 0) {
            i += 2;
        } else if (i < data.size() && data[i] == '\n') {
            i += 1;
        }
    }
    return first;
}

// The installer's reading of one key: the first tag after the marker, the value up to ">".
std::optional<std::string> installerValue(const std::string& content, const std::string& word)
{
    const std::string tag = ENTRY_PREFIX + word + "<";
    const size_t at = content.find(tag);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const size_t end = content.find('>', at + tag.size());
    if (end == std::string::npos) {
        return std::nullopt;
    }
    return content.substr(at + tag.size(), end - at - tag.size());
}

int show(const fs::path& file)
{
    std::string data;
    if (!readAll(file, data)) {
        std::cerr << "cvstamp: cannot read " << file << "\n";
        return 1;
    }
    // The installer reads the file with every zero byte as a line feed; so does this.
    for (char& c : data) {
        if (c == '\0') {
            c = '\n';
        }
    }
    const size_t at = data.find(MARKER);
    if (at == std::string::npos) {
        std::cerr << "cvstamp: " << file.string() << " has no deployment block\n";
        return 1;
    }
    const std::string content = data.substr(at);
    size_t blocks = 0;
    for (size_t p = at; p != std::string::npos; p = data.find(MARKER, p + 1)) {
        ++blocks;
    }
    std::cout << "deployment block of " << file.string() << " at byte " << at << ":\n";
    for (const auto& key : KEYS) {
        const auto value = installerValue(content, key.word);
        std::cout << key.word << "=" << (value ? toUtf8(*value) : "") << (value ? "" : "    (missing: read as empty)")
                  << "\n";
    }
    if (blocks > 1) {
        std::cout << "note: " << blocks << " markers in the file; the installer reads only the first\n";
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--show") {
        return show(args[1]);
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        usage();
        return args.empty() ? 2 : 0;
    }

    std::map<std::string, std::string> values;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool known = false;
        for (const auto& key : KEYS) {
            if (a == key.option) {
                known = true;
                if (i + 1 >= args.size()) {
                    std::cerr << "cvstamp: " << a << " needs a value\n";
                    return 2;
                }
                if (values.count(key.word) != 0) {
                    std::cerr << "cvstamp: " << a << " is given twice\n";
                    return 2;
                }
                std::string why;
                const auto converted = toCp1252(args[i + 1], why);
                if (!converted) {
                    std::cerr << "cvstamp: refusing the value of " << a << ": " << why << "\n";
                    return 2;
                }
                values[key.word] = *converted;
                ++i;
            }
        }
        if (known) {
            continue;
        }
        if (a.rfind("--", 0) == 0) {
            std::cerr << "cvstamp: unknown option " << a << "\n";
            usage();
            return 2;
        }
        files.push_back(a);
    }
    for (const auto& key : KEYS) {
        if (values.count(key.word) == 0) {
            std::cerr << "cvstamp: " << key.option << " is missing (give \"\" for an empty value)\n";
            return 2;
        }
    }
    if (files.size() != 2) {
        std::cerr << "cvstamp: give the installer and the output file\n";
        usage();
        return 2;
    }
    const fs::path input = files[0];
    const fs::path output = files[1];

    std::string data;
    if (!readAll(input, data)) {
        std::cerr << "cvstamp: cannot read " << input.string() << "\n";
        return 1;
    }
    if (data.size() < 2 || data[0] != 'M' || data[1] != 'Z') {
        std::cerr << "cvstamp: " << input.string() << " is not a Windows executable\n";
        return 1;
    }
    const auto end = imageEnd(data);
    if (!end) {
        std::cerr << "cvstamp: " << input.string()
                  << " holds the deployment marker followed by something that is not a deployment block;"
                     " refusing to cut it\n";
        return 1;
    }
    const bool replaced = *end < data.size();
    data.resize(*end);
    data += MARKER;
    for (const auto& key : KEYS) {
        data += ENTRY_PREFIX + key.word + "<" + values[key.word] + ">";
    }
    data += "\r\n";

    // Written beside the output and renamed over it: a failed run never leaves half a file, and
    // the output may be the input itself.
    std::error_code ec;
    const fs::path dir = output.has_parent_path() ? output.parent_path() : fs::path(".");
    const fs::path temp = dir / (output.filename().string() + ".cvstamp-tmp");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) {
            std::cerr << "cvstamp: cannot write " << temp.string() << "\n";
            fs::remove(temp, ec);
            return 1;
        }
    }
    fs::permissions(temp, fs::status(input, ec).permissions(), ec);
    fs::rename(temp, output, ec);
    if (ec) {
        std::cerr << "cvstamp: cannot write " << output.string() << ": " << ec.message() << "\n";
        fs::remove(temp, ec);
        return 1;
    }
    std::cout << (replaced ? "replaced the deployment block: " : "stamped: ") << output.string() << "\n";
    return 0;
}
