#include "nxr_buffer.h"

#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

namespace nxr {

namespace {

// Each default block starts with a header that says how it was obtained:
// small blocks come from calloc, large ones straight from the kernel as
// whole (huge where possible) pages, which arrive zeroed and go back to the
// kernel when freed instead of lingering in the heap.
struct alignas(16) CBlockHeader {
    size_t ulMappedBytes; // 0: from calloc
};
constexpr size_t kMapThreshold = size_t(1) << 20;

void* defaultAlloc(size_t ulBytes)
{
    if (ulBytes > SIZE_MAX - sizeof(CBlockHeader))
        return nullptr;
    const size_t ulTotal = ulBytes + sizeof(CBlockHeader);
    CBlockHeader* pHeader = nullptr;
    if (ulTotal >= kMapThreshold) {
        void* p = ::mmap(nullptr, ulTotal, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return nullptr;
        ::madvise(p, ulTotal, MADV_HUGEPAGE);
        pHeader = static_cast<CBlockHeader*>(p);
        pHeader->ulMappedBytes = ulTotal;
    } else {
        pHeader = static_cast<CBlockHeader*>(std::calloc(1, ulTotal));
        if (pHeader == nullptr)
            return nullptr;
        pHeader->ulMappedBytes = 0;
    }
    return pHeader + 1;
}

void defaultFree(void* p, size_t)
{
    if (p == nullptr)
        return;
    CBlockHeader* pHeader = static_cast<CBlockHeader*>(p) - 1;
    if (pHeader->ulMappedBytes != 0)
        ::munmap(pHeader, pHeader->ulMappedBytes);
    else
        std::free(pHeader);
}

const CNXRHeapHooks g_defaultHooks = {defaultAlloc, defaultFree, true};
const CNXRHeapHooks* g_pHooks = &g_defaultHooks;

} // namespace

void nxrSetHeapHooks(const CNXRHeapHooks* pHooks) noexcept { g_pHooks = pHooks ? pHooks : &g_defaultHooks; }

void* nxrHeapAlloc(size_t ulBytes) { return g_pHooks->pfnAlloc(ulBytes); }

void nxrHeapFree(void* p, size_t ulBytes) noexcept { g_pHooks->pfnFree(p, ulBytes); }

bool nxrHeapZeroes() noexcept { return g_pHooks->bZeroed; }

void nxrWipe(void* p, size_t ulBytes) noexcept
{
    if (p != nullptr && ulBytes != 0)
        ::explicit_bzero(p, ulBytes);
}

template class CNXRBuffer<NXR_BYTE>;
template class CNXRBuffer<NXR_CHAR>;
template class CNXRBuffer<NXR_USHORT>;

} // namespace nxr
