// Fault injection for the tests of code built on this layer. Each facility
// keeps one fault point per operation and asks it before the real call; an
// armed point makes chosen calls fail with a chosen errno (the caller then
// sees exactly what a real failure would leave: a false or null result and
// the last-error value). Unarmed, a point costs one atomic load.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

namespace nxr::os {

inline constexpr uint32_t kFaultAlways = 0xFFFFFFFF;

class CFaultPoint {
public:
    // Counting calls from now (1 = the next call), calls ulFirst to
    // ulFirst + ulCount - 1 fail with iErrno. The default fails every call
    // until disarmed. iErrno 0 disarms.
    void arm(int iErrno, uint32_t ulFirst = 1, uint32_t ulCount = kFaultAlways) noexcept;
    void disarm() noexcept;
    // Counts one call; returns the errno the call must fail with, or 0.
    int hit() noexcept;

private:
    std::atomic<bool> m_bArmed{false};
    std::mutex m_mutex;
    int m_iErrno = 0;
    uint64_t m_ullCalls = 0;
    uint64_t m_ullFirst = 0;
    uint64_t m_ullLast = 0;
};

} // namespace nxr::os
