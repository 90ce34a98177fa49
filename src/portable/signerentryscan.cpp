#include "signerentryscan.h"

#include "deploymentblock.h"
#include "signerpin.h"

#include <algorithm>
#include <cstring>

namespace portable {

namespace {

// The bytes of block text (the texts searched for are ASCII, so always representable).
std::string encoded(std::wstring_view text)
{
    std::string bytes;
    toCp1252(text, &bytes);
    return bytes;
}

// The first c in [p, p + n), or null, eight bytes a step: the C library's memchr may go byte by byte
// (Wine's msvcrt does), which made this scan cost half as much as the image digest beside it.
const uint8_t* findByte(const uint8_t* p, size_t n, uint8_t c)
{
    constexpr uint64_t ONES = 0x0101010101010101ULL;
    constexpr uint64_t HIGHS = 0x8080808080808080ULL;
    const uint64_t pattern = ONES * c;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        const uint64_t x = word ^ pattern;
        if (((x - ONES) & ~x & HIGHS) != 0) {
            break; // a byte of the word is c
        }
    }
    for (; i < n; ++i) {
        if (p[i] == c) {
            return p + i;
        }
    }
    return nullptr;
}

// 1: needle at p, 0: not there, -1: cannot tell yet (the bytes end inside a matching prefix).
int matchAt(const uint8_t* p, size_t available, const std::string& needle)
{
    const size_t n = std::min(available, needle.size());
    if (std::memcmp(p, needle.data(), n) != 0) {
        return 0;
    }
    return n == needle.size() ? 1 : -1;
}

} // namespace

SignerEntryScan::SignerEntryScan()
    : marker(encoded(deploymentMarker())), tag(encoded(std::wstring(DEPLOYMENT_ENTRY_PREFIX) + L"SIGNER<"))
{
}

void SignerEntryScan::update(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return;
    }
    if (carry.empty()) {
        scan(data, size, position);
    } else {
        std::string joined = carry;
        joined.append(reinterpret_cast<const char*>(data), size);
        scan(reinterpret_cast<const uint8_t*>(joined.data()), joined.size(), position - carry.size());
    }
    position += size;
}

void SignerEntryScan::capture(const uint8_t* buf, size_t size, uint64_t base)
{
    if (!capturing || captured >= base + size) {
        return;
    }
    const size_t from = static_cast<size_t>(captured - base);
    const uint8_t* close = static_cast<const uint8_t*>(std::memchr(buf + from, '>', size - from));
    const size_t to = close != nullptr ? static_cast<size_t>(close - buf) : size;
    Entry& e = entries.back();
    const size_t room = MAX_VALUE + 1 - std::min(MAX_VALUE + 1, e.value.size());
    e.value.append(reinterpret_cast<const char*>(buf + from), std::min(room, to - from));
    e.overlong = e.value.size() > MAX_VALUE;
    captured = base + to;
    if (close != nullptr) {
        e.closed = true;
        capturing = false;
        valueEnd = base + to + 1;
        captured = valueEnd;
    }
}

void SignerEntryScan::scan(const uint8_t* buf, size_t size, uint64_t base)
{
    carry.clear();
    capture(buf, size, base);
    const uint8_t first = static_cast<uint8_t>(marker[0]); // both texts open with the entry prefix
    for (size_t i = 0; i < size;) {
        const uint8_t* hit = findByte(buf + i, size - i, first);
        if (hit == nullptr) {
            return;
        }
        i = static_cast<size_t>(hit - buf);
        const uint64_t at = base + i;
        const int isMarker = matchAt(hit, size - i, marker);
        const int isTag = matchAt(hit, size - i, tag);
        if (isMarker < 0 || isTag < 0) {
            carry.assign(reinterpret_cast<const char*>(hit), size - i);
            return;
        }
        if (isMarker > 0) {
            if (markers++ == 0) {
                firstMarker = at;
            }
            lastMarker = at;
        } else if (isTag > 0 && markers != 0 && !capturing && at >= valueEnd) {
            // A tag inside an earlier value belongs to that value (which then reads as no pin).
            entries.push_back({at, {}, false, false});
            capturing = true;
            captured = at + tag.size();
            capture(buf, size, base);
        }
        ++i;
    }
}

Result SignerEntryScan::narrows(const std::vector<Sha256::Digest>& pin) const
{
    if (entries.empty() || entries.back().offset < lastMarker) {
        return Result::failed("it has no signer entry");
    }
    for (const Entry& e : entries) {
        std::vector<Sha256::Digest> keys;
        // The value as the installer that runs this program reads it: the same decoding.
        if (!e.closed || e.overlong || !parseSignerPin(deploymentText(e.value), &keys)) {
            return Result::failed("its signer entry is malformed");
        }
        for (const Sha256::Digest& key : keys) {
            if (std::find(pin.begin(), pin.end(), key) == pin.end()) {
                return Result::failed("its signer entry names a key outside the pin in force");
            }
        }
    }
    return Result::done();
}

} // namespace portable
