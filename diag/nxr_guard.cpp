#include "nxr_guard.h"

#include "nxr_os_error.h"

namespace nxr {

uint32_t nxrCurrentError(NxrErrorSource source) noexcept
{
    return source == NxrErrorSource::LastError ? os::getLastError() : static_cast<uint32_t>(errno);
}

} // namespace nxr
