#include "nxr_os_random.h"

#include "nxr_os_error.h"
#include "nxr_os_fault.h"

#include <cerrno>
#include <sys/random.h>

namespace nxr::os {

namespace {

CFaultPoint& randomFault()
{
    static CFaultPoint s_point;
    return s_point;
}

thread_local uint32_t t_ulRandState = 1;

} // namespace

bool genRandom(void* pBuffer, size_t n)
{
    if (const int err = randomFault().hit()) {
        errno = err;
        setLastErrorFromErrno();
        return false;
    }
    auto* p = static_cast<unsigned char*>(pBuffer);
    while (n > 0) {
        // getrandom(2) may return fewer bytes than asked for (large requests,
        // or a signal arriving); carry on from where it stopped.
        const ssize_t got = ::getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            setLastErrorFromErrno();
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

int32_t randFallback() noexcept
{
    t_ulRandState = t_ulRandState * 214013u + 2531011u;
    return static_cast<int32_t>((t_ulRandState >> 16) & 0x7FFF);
}

void resetRandFallback() noexcept { t_ulRandState = 1; }

void setRandomFailureForTesting(int iErrno) noexcept
{
    if (iErrno == 0)
        randomFault().disarm();
    else
        randomFault().arm(iErrno);
}

} // namespace nxr::os
