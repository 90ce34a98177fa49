#include "result.h"

namespace portable {

Result Result::failed(const char* reason, int32_t code, uint32_t systemError)
{
    return failed(std::string(reason), code, systemError);
}

} // namespace portable
