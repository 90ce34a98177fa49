// The record kept beside a cut download so that the next run can ask for the rest: where the
// bytes came from, the validator that names the server's copy, the announced total, how many bytes
// are held and their SHA-256 digest, when the record was written and the name of the partial file.
// The record lies in a folder the user can write to, so its reader takes nothing on trust: one
// exact layout, printable ASCII only, bounded lengths, numbers without signs or leading zeros, a
// held count below the total and a file name of the download's own pattern. Used by
// Partialdownload; plain text in, plain text out, no platform calls.
#pragma once

#include "sha256.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace portable {

struct PartialRecord {
    // Bounds of the reader: the whole record, a URL and a validator.
    static constexpr size_t MAX_BYTES = 4096;
    static constexpr size_t MAX_URL = 1024;
    static constexpr size_t MAX_VALIDATOR = 256;

    std::string url;       // the URL asked for
    std::string finalUrl;  // the URL that answered (after redirects)
    std::string validator; // a strong ETag as sent, or a Last-Modified date
    uint64_t total = 0;
    uint64_t held = 0;
    Sha256::Digest digest{};
    int64_t saved = 0; // seconds since 1970 (UTC)
    std::string file;  // "<stem>.<16 hex digits>.tmp", no folder

    // The record's text; parse(format(r)) gives r back for every record parse accepts.
    std::string format() const;
    // Strict: false with *why on anything but a record of exactly format's layout whose partial
    // file belongs to stem.
    static bool parse(std::string_view text, std::string_view stem, PartialRecord* out, std::string* why);
};

// Whether a URL or validator may stand in a record: 1..limit printable ASCII characters (a blank
// only inside a validator, never at its ends).
bool recordableUrl(std::string_view text);
bool recordableValidator(std::string_view text);

} // namespace portable
