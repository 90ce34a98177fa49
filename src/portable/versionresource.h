// versionresource: the fixed file and product version (VS_FIXEDFILEINFO) of a PE file's version
// resource, found as Windows' GetFileVersionInfo finds it: resource type 16 (RT_VERSION), id 1,
// its first language. For comparing a program's version with another one (the installer's own,
// version.h). It reads through ReadAt, so a file on disk need not be held in memory: the headers,
// three resource directories, one data entry and the head of the resource. Every offset the file
// gives is checked against the file, its section and the resource directory before it is used,
// and the walk has a fixed depth, so any bytes end in a result. Portable code: no platform headers.
#pragma once

#include "readat.h"
#include "result.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace portable {

struct FixedFileVersion {
    // The four 16-bit parts, most significant first (3.39.0.52578 is {3, 39, 0, 52578}); arrays
    // compare as versions do.
    using Parts = std::array<uint16_t, 4>;
    Parts file{};
    Parts product{};
    uint32_t fileFlags = 0; // VS_FF_*, already masked by the resource's mask
    uint32_t fileOs = 0;
    uint32_t fileType = 0;
};

// The fixed version of the file of fileSize bytes that read delivers. Fails (Result::FAILED, a
// reason naming the first thing that does not hold) for a file that is no PE image, has no version
// resource, or whose resource tree or version resource reaches outside where it must lie.
Result readFixedFileVersion(const ReadAt& read, uint64_t fileSize, FixedFileVersion* out);
// The same for a whole file in memory.
Result readFixedFileVersion(const uint8_t* file, size_t size, FixedFileVersion* out);

} // namespace portable
