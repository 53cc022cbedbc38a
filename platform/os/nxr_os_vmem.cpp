#include "nxr_os_vmem.h"

#include "nxr_os_error.h"

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace nxr::os {

namespace {

CFaultPoint& fault(VmemOp op)
{
    static CFaultPoint s_points[4];
    return s_points[static_cast<int>(op)];
}

bool injected(VmemOp op)
{
    if (const int err = fault(op).hit()) {
        errno = err;
        setLastErrorFromErrno();
        return true;
    }
    return false;
}

// Live blocks and their mapped sizes: munmap(2) needs the size, the callers
// release a block by its address alone.
struct Blocks {
    std::mutex mutex;
    std::map<void*, size_t> sizes;
};

Blocks& blocks()
{
    static Blocks* s_blocks = new Blocks; // never destroyed: blocks may be freed during exit
    return *s_blocks;
}

std::atomic<VmemReleaseObserver> g_pfnReleaseObserver{nullptr};

// Straight to the kernel: AddressSanitizer replaces mlock(3) and munlock(3)
// with calls that do nothing and report success, which would hide the very
// failures callers must handle.
int sysLock(void* p, size_t n) { return static_cast<int>(::syscall(SYS_mlock, p, n)); }
int sysUnlock(void* p, size_t n) { return static_cast<int>(::syscall(SYS_munlock, p, n)); }

bool fail(int err)
{
    errno = err;
    setLastErrorFromErrno();
    return false;
}

} // namespace

void* vmemAlloc(size_t ulBytes)
{
    if (injected(VmemOp::Alloc))
        return nullptr;
    if (ulBytes == 0) {
        fail(EINVAL);
        return nullptr;
    }
    // Anonymous private mappings come zero-filled.
    void* p = ::mmap(nullptr, ulBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        setLastErrorFromErrno();
        return nullptr;
    }
    // Keeping the secret out of core dumps is a precaution; a kernel that
    // refuses it does not make the block unusable.
    ::madvise(p, ulBytes, MADV_DONTDUMP);
    try {
        Blocks& b = blocks();
        std::lock_guard<std::mutex> lock(b.mutex);
        b.sizes[p] = ulBytes;
    } catch (...) {
        ::munmap(p, ulBytes);
        fail(ENOMEM);
        return nullptr;
    }
    return p;
}

bool vmemLock(void* p, size_t ulBytes)
{
    if (injected(VmemOp::Lock))
        return false;
    if (sysLock(p, ulBytes) != 0) {
        setLastErrorFromErrno();
        return false;
    }
    return true;
}

bool vmemUnlock(void* p, size_t ulBytes)
{
    if (injected(VmemOp::Unlock))
        return false;
    if (sysUnlock(p, ulBytes) != 0) {
        setLastErrorFromErrno();
        return false;
    }
    return true;
}

bool vmemFree(void* p)
{
    if (injected(VmemOp::Free))
        return false;
    Blocks& b = blocks();
    std::lock_guard<std::mutex> lock(b.mutex);
    const auto it = b.sizes.find(p);
    if (it == b.sizes.end())
        return fail(EINVAL);
    if (const VmemReleaseObserver pfnObserver = g_pfnReleaseObserver.load())
        pfnObserver(p, it->second);
    if (::munmap(p, it->second) != 0) {
        setLastErrorFromErrno();
        return false;
    }
    b.sizes.erase(it);
    return true;
}

void setVmemReleaseObserverForTesting(VmemReleaseObserver pfnObserver) noexcept
{
    g_pfnReleaseObserver.store(pfnObserver);
}

void setVmemFaultForTesting(VmemOp op, int iErrno, uint32_t ulFirst, uint32_t ulCount) noexcept
{
    fault(op).arm(iErrno, ulFirst, ulCount);
}

} // namespace nxr::os
