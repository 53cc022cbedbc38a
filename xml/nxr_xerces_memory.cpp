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
// Bytes in blocks held, headers included; the most they may reach while a
// cap lives (0: no cap); whether a cap refused a block.
std::atomic<uint64_t> g_ullHeld{0};
std::atomic<uint64_t> g_ullCeiling{0};
std::atomic<bool> g_bCapRefused{false};
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
    if (ulBytes > SIZE_MAX - kHeader)
        throw xercesc::OutOfMemoryException();
    const uint64_t ullHeld = g_ullHeld.fetch_add(ulBytes + kHeader, std::memory_order_relaxed) + ulBytes + kHeader;
    const uint64_t ullCeiling = g_ullCeiling.load(std::memory_order_relaxed);
    void* p = ullCeiling != 0 && ullHeld > ullCeiling ? nullptr : std::malloc(ulBytes + kHeader);
    if (p == nullptr) {
        g_ullHeld.fetch_sub(ulBytes + kHeader, std::memory_order_relaxed);
        if (ullCeiling != 0 && ullHeld > ullCeiling)
            g_bCapRefused.store(true, std::memory_order_relaxed);
        throw xercesc::OutOfMemoryException();
    }
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
    g_ullHeld.fetch_sub(ulBytes + kHeader, std::memory_order_relaxed);
    std::free(pBlock);
}

CNXRParserMemory::CCap::CCap(uint64_t ullBytes) noexcept
{
    g_bCapRefused.store(false, std::memory_order_relaxed);
    g_ullCeiling.store(g_ullHeld.load(std::memory_order_relaxed) + ullBytes, std::memory_order_relaxed);
}

CNXRParserMemory::CCap::~CCap() { g_ullCeiling.store(0, std::memory_order_relaxed); }

bool CNXRParserMemory::takeCapRefusal() noexcept { return g_bCapRefused.exchange(false, std::memory_order_relaxed); }

void CNXRParserMemory::setWiping(bool bWipe) noexcept { g_bWipe.store(bWipe); }

void CNXRParserMemory::setReleaseObserverForTesting(ReleaseObserver pfnObserver) noexcept
{
    g_pfnObserver.store(pfnObserver);
}

} // namespace nxr
