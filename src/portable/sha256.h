// Sha256: the SHA-256 hash (FIPS 180-4) for the installer's signature check and the host tools.
// Portable code without platform headers. On x86 processors with the SHA extensions the block
// function uses them (chosen once at run time); elsewhere the plain C++ rounds run. Feed data with
// update in pieces of any size, then take the 32-byte digest with finish.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace portable {

class Sha256 {
public:
    using Digest = std::array<uint8_t, 32>;

    Sha256() { reset(); }
    void reset();
    void update(const void* data, size_t size);
    Digest finish();

    static Digest of(const void* data, size_t size);

    // Whether the processor's SHA instructions are used; off forces the plain rounds (tests and
    // benchmarks compare both). Returns whether they are in use afterwards.
    static bool useProcessorExtensions(bool on);

private:
    void blocks(const uint8_t* data, size_t count);

    uint32_t state[8];
    uint8_t pending[64];
    size_t pendingSize;
    uint64_t totalSize;
};

} // namespace portable
