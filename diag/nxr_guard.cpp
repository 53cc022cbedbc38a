#include "nxr_guard.h"

#include "nxr_os_error.h"

namespace nxr {

uint32_t nxrCurrentError(NxrErrorSource source) noexcept
{
    switch (source) {
    case NxrErrorSource::LastError: return os::getLastError();
    case NxrErrorSource::None: return NXR_NO_ERROR_CODE;
    default: return static_cast<uint32_t>(errno);
    }
}

} // namespace nxr
