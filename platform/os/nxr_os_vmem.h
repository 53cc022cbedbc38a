// Whole pages straight from the kernel, for secrets: kept out of core dumps,
// and lockable so they are not written to swap.
#pragma once
#include <cstddef>

#include "nxr_os_fault.h"

namespace nxr::os {

// Reserves and commits at least ulBytes of zeroed, readable and writable
// memory on fresh pages, excluded from core dumps. Null on failure (0 bytes
// included), with the last-error value set.
void* vmemAlloc(size_t ulBytes);

// Keeps the pages of [p, p + ulBytes) in physical memory. Fails (false, last
// error set) for instance over RLIMIT_MEMLOCK; the memory stays usable.
bool vmemLock(void* p, size_t ulBytes);
bool vmemUnlock(void* p, size_t ulBytes);

// Releases a whole block obtained from vmemAlloc. A pointer that is not the
// start of a live block fails with EINVAL and releases nothing.
bool vmemFree(void* p);

// Test seam: make chosen calls of one operation fail (see CFaultPoint::arm).
// An injected failure performs nothing: a block whose release failed stays
// allocated.
enum class VmemOp { Alloc, Lock, Unlock, Free };
void setVmemFaultForTesting(VmemOp op, int iErrno, uint32_t ulFirst = 1, uint32_t ulCount = kFaultAlways) noexcept;

// Test seam: an observer called with every block that vmemFree is about to
// hand back to the kernel, while its pages are still mapped (a test can check
// what the block holds when it is released). It runs with the table of
// blocks locked, so it must not call the functions of this file. Null
// removes it.
using VmemReleaseObserver = void (*)(const void* p, size_t ulBytes);
void setVmemReleaseObserverForTesting(VmemReleaseObserver pfnObserver) noexcept;

class CScopedVmemFault {
public:
    CScopedVmemFault(VmemOp op, int iErrno, uint32_t ulFirst = 1, uint32_t ulCount = kFaultAlways) noexcept
        : m_op(op)
    {
        setVmemFaultForTesting(op, iErrno, ulFirst, ulCount);
    }
    ~CScopedVmemFault() { setVmemFaultForTesting(m_op, 0); }
    CScopedVmemFault(const CScopedVmemFault&) = delete;
    CScopedVmemFault& operator=(const CScopedVmemFault&) = delete;

private:
    VmemOp m_op;
};

} // namespace nxr::os
