// Fuzz target of the fixed version reader: any bytes as a whole file must give a result without
// reading outside the buffer, and bytes appended behind a file (a deployment block) never change
// what is found in it.
#include "versionresource.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A copy of exactly this size, so that the sanitizer sees every read beyond it.
    const std::vector<uint8_t> file(data, data + size);
    portable::FixedFileVersion whole;
    const portable::Result r = portable::readFixedFileVersion(file.data(), file.size(), &whole);
    std::vector<uint8_t> longer(file);
    longer.resize(file.size() + 4096, 0xA5);
    portable::FixedFileVersion appended;
    const portable::Result s = portable::readFixedFileVersion(longer.data(), longer.size(), &appended);
    if (r.ok() && (!s.ok() || appended.file != whole.file || appended.product != whole.product)) {
        __builtin_trap();
    }
    return 0;
}
