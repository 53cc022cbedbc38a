#include "nxr_os_error.h"

#include <cerrno>

namespace nxr::os {

namespace {
thread_local uint32_t t_ulLastError = 0;
}

uint32_t getLastError() noexcept { return t_ulLastError; }

void setLastError(uint32_t ulError) noexcept { t_ulLastError = ulError; }

uint32_t setLastErrorFromErrno() noexcept
{
    t_ulLastError = static_cast<uint32_t>(errno);
    return t_ulLastError;
}

CLastErrorKeeper::CLastErrorKeeper() noexcept : m_ulLastError(t_ulLastError), m_iErrno(errno) {}

CLastErrorKeeper::~CLastErrorKeeper()
{
    t_ulLastError = m_ulLastError;
    errno = m_iErrno;
}

} // namespace nxr::os
