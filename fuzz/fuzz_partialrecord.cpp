// Fuzz target: the reader of the record kept beside a cut download. Whatever it accepts is a record
// format writes back byte for byte (one spelling per record), with a held count below the total,
// a file name of the stem's pattern and fields within their bounds; it never reads past the input.
#include "partialrecord.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string_view stem = "CV_setup.exe";
    portable::PartialRecord record;
    std::string why;
    if (!portable::PartialRecord::parse(text, stem, &record, &why)) {
        require(!why.empty());
        return 0;
    }
    require(record.format() == text);
    require(record.held > 0 && record.held < record.total);
    require(record.url.size() <= portable::PartialRecord::MAX_URL);
    require(record.validator.size() <= portable::PartialRecord::MAX_VALIDATOR);
    require(record.file.size() == stem.size() + 21 && record.file.compare(0, stem.size(), stem) == 0);
    require(record.file.find_first_of("/\\:") == std::string::npos);
    return 0;
}
