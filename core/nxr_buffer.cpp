#include "nxr_buffer.h"

#include <new>

namespace nxr {

namespace {

void* defaultAlloc(size_t ulBytes) { return ::operator new[](ulBytes, std::nothrow); }

void defaultFree(void* p, size_t) { ::operator delete[](p); }

const CNXRHeapHooks g_defaultHooks = {defaultAlloc, defaultFree};
const CNXRHeapHooks* g_pHooks = &g_defaultHooks;

} // namespace

void nxrSetHeapHooks(const CNXRHeapHooks* pHooks) noexcept { g_pHooks = pHooks ? pHooks : &g_defaultHooks; }

void* nxrHeapAlloc(size_t ulBytes) { return g_pHooks->pfnAlloc(ulBytes); }

void nxrHeapFree(void* p, size_t ulBytes) noexcept { g_pHooks->pfnFree(p, ulBytes); }

template class CNXRBuffer<NXR_BYTE>;
template class CNXRBuffer<NXR_CHAR>;
template class CNXRBuffer<NXR_USHORT>;

} // namespace nxr
