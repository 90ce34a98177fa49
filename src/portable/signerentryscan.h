// signerentryscan: what a program's deployment block says about the publisher pin, found in the
// program's bytes as they come (a download, in pieces, on the digest thread) without keeping
// them. An installer reads the block from the first marker of its file to the end, and there the
// first signer entry, one character per byte (deploymentText, which also decodes the values here).
// A reader that decoded otherwise could step over a marker that the bytes hold (a double-byte code
// page swallows the byte behind a lead byte), never find one they lack. So the scan records every
// marker and every signer entry behind the first marker, and a block counts as narrowing a pin
// only when a signer entry follows the last marker (whichever marker a reader starts at, an entry
// follows) and every entry behind the first marker lists only keys of that pin. Portable code: no
// platform headers.
#pragma once

#include "result.h"
#include "sha256.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace portable {

class SignerEntryScan {
public:
    // A value longer than this is no pin anyone writes; it counts as malformed.
    static constexpr size_t MAX_VALUE = 16384;

    SignerEntryScan();
    void update(const uint8_t* data, size_t size);

    // Whether the bytes hold a deployment block at all (a marker).
    bool hasBlock() const { return markers != 0; }
    // With a block: done when it narrows pin (as above); failed with the reason otherwise.
    Result narrows(const std::vector<Sha256::Digest>& pin) const;

private:
    struct Entry {
        uint64_t offset; // of the entry's tag
        std::string value;
        bool closed = false; // its ">" was found
        bool overlong = false;
    };
    // Examines every match start in buf (file offset base); keeps the undecided tail as carry.
    void scan(const uint8_t* buf, size_t size, uint64_t base);
    // Takes value bytes of the open entry from buf (file offset base), up to its ">".
    void capture(const uint8_t* buf, size_t size, uint64_t base);

    std::string marker;
    std::string tag;
    std::string carry; // the last bytes, whose matches could not be decided yet
    uint64_t position = 0;
    uint64_t markers = 0;
    uint64_t firstMarker = 0;
    uint64_t lastMarker = 0;
    std::vector<Entry> entries; // behind the first marker, in file order
    bool capturing = false;
    uint64_t captured = 0; // file offset up to which value bytes were taken
    uint64_t valueEnd = 0; // file offset behind the last closed value
};

} // namespace portable
