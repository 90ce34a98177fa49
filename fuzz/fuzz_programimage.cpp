// Fuzz target of the program image check: any bytes, as the head of a file of that size and as
// the head of a larger file, must give a verdict without reading outside the buffer.
#include "programimage.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A copy of exactly this size, so that the sanitizer sees every read beyond it.
    const std::vector<uint8_t> head(data, data + size);
    const portable::ImageCheck whole = portable::checkProgramImage(head.data(), head.size(), head.size());
    const portable::ImageCheck larger = portable::checkProgramImage(head.data(), head.size(), head.size() + 4096ULL);
    // A section that fits a file fits any larger one; a verdict never depends on the bytes not read.
    if (whole.ok() && !larger.ok()) {
        __builtin_trap();
    }
    (void)portable::describeImageFault(whole.fault);
    return 0;
}
