// readat: how the portable code reads a file it does not hold in memory (the installer's private
// download, its own file): length bytes at offset into buffer, false when the file cannot
// deliver them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace portable {

using ReadAt = std::function<bool(uint64_t offset, uint8_t* buffer, size_t length)>;

} // namespace portable
