#include "nxr_os_fault.h"

namespace nxr::os {

void CFaultPoint::arm(int iErrno, uint32_t ulFirst, uint32_t ulCount) noexcept
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (iErrno == 0 || ulCount == 0) {
        m_bArmed = false;
        return;
    }
    m_iErrno = iErrno;
    m_ullCalls = 0;
    m_ullFirst = ulFirst == 0 ? 1 : ulFirst;
    m_ullLast = ulCount == kFaultAlways ? UINT64_MAX : m_ullFirst + ulCount - 1;
    m_bArmed = true;
}

void CFaultPoint::disarm() noexcept
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bArmed = false;
}

int CFaultPoint::hit() noexcept
{
    if (!m_bArmed.load(std::memory_order_acquire))
        return 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bArmed)
        return 0;
    ++m_ullCalls;
    if (m_ullCalls < m_ullFirst)
        return 0;
    const int err = m_iErrno;
    if (m_ullCalls >= m_ullLast)
        m_bArmed = false;
    return err;
}

} // namespace nxr::os
