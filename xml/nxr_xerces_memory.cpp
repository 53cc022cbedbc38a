#include "nxr_xerces_memory.h"

#include "nxr_buffer.h"

#include <xercesc/util/OutOfMemoryException.hpp>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace nxr {

namespace {

// The header keeps the block's size and the blocks aligned as malloc's are.
constexpr size_t kHeader = 16;
static_assert(alignof(std::max_align_t) <= kHeader);

std::atomic<bool> g_bWipe{true};
std::atomic<CNXRParserMemory::ReleaseObserver> g_pfnObserver{nullptr};

} // namespace

CNXRParserMemory& CNXRParserMemory::instance()
{
    // Never destroyed: the library may release blocks while the process ends.
    static CNXRParserMemory* s_pMemory = new CNXRParserMemory;
    return *s_pMemory;
}

void* CNXRParserMemory::allocate(XMLSize_t ulBytes)
{
    void* p = ulBytes <= SIZE_MAX - kHeader ? std::malloc(ulBytes + kHeader) : nullptr;
    if (p == nullptr)
        throw xercesc::OutOfMemoryException();
    *static_cast<size_t*>(p) = ulBytes;
    return static_cast<unsigned char*>(p) + kHeader;
}

void CNXRParserMemory::deallocate(void* p)
{
    if (p == nullptr)
        return;
    unsigned char* pBlock = static_cast<unsigned char*>(p) - kHeader;
    const size_t ulBytes = *reinterpret_cast<size_t*>(pBlock);
    if (g_bWipe.load(std::memory_order_relaxed))
        nxrWipe(p, ulBytes);
    if (const ReleaseObserver pfnObserver = g_pfnObserver.load(std::memory_order_relaxed))
        pfnObserver(p, ulBytes);
    std::free(pBlock);
}

void CNXRParserMemory::setWiping(bool bWipe) noexcept { g_bWipe.store(bWipe); }

void CNXRParserMemory::setReleaseObserverForTesting(ReleaseObserver pfnObserver) noexcept
{
    g_pfnObserver.store(pfnObserver);
}

} // namespace nxr
