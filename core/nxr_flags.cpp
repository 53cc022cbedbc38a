#include "nxr_flags.h"

#include "nxr_guard.h"

namespace nxr {

#define NXR_FLAGS_TRACE(method) NXR_TRACE(u"CNXRFlags", method)

CNXRFlags::CNXRFlags(uint32_t ulFlags) : m_ulFlags(ulFlags)
{
    NXR_FLAGS_TRACE(u"CNXRFlags");
    nxrTrace.setResult(true);
}

CNXRFlags::CNXRFlags(const CNXRFlags& src) : m_ulFlags(src.m_ulFlags)
{
    NXR_FLAGS_TRACE(u"CNXRFlags");
    nxrTrace.setResult(true);
}

CNXRFlags& CNXRFlags::operator=(const CNXRFlags& src)
{
    NXR_FLAGS_TRACE(u"operator=");
    m_ulFlags = src.m_ulFlags;
    nxrTrace.setResult(true);
    return *this;
}

bool CNXRFlags::operator==(const CNXRFlags& other) const
{
    NXR_FLAGS_TRACE(u"operator==");
    return nxrTrace.setLogicalResult(m_ulFlags == other.m_ulFlags);
}

bool CNXRFlags::operator!=(const CNXRFlags& other) const
{
    NXR_FLAGS_TRACE(u"operator!=");
    return nxrTrace.setLogicalResult(m_ulFlags != other.m_ulFlags);
}

bool CNXRFlags::hasFlags(uint32_t ulFlags) const
{
    NXR_FLAGS_TRACE(u"hasFlags");
    return nxrTrace.setLogicalResult((m_ulFlags & ulFlags) == ulFlags);
}

bool CNXRFlags::operator<<(uint32_t ulFlags)
{
    NXR_FLAGS_TRACE(u"operator<<");
    if (ulFlags == 0 || (m_ulFlags & ulFlags) == ulFlags)
        return nxrTrace.setResult(false);
    m_ulFlags |= ulFlags;
    return nxrTrace.setResult(true);
}

bool CNXRFlags::operator>>(uint32_t ulFlags)
{
    NXR_FLAGS_TRACE(u"operator>>");
    if (ulFlags == 0 || (m_ulFlags & ulFlags) != ulFlags)
        return nxrTrace.setResult(false);
    m_ulFlags &= ~ulFlags;
    return nxrTrace.setResult(true);
}

uint32_t CNXRFlags::getFlags() const
{
    NXR_FLAGS_TRACE(u"getFlags");
    return nxrTrace.setReturnCode(m_ulFlags);
}

#undef NXR_FLAGS_TRACE

} // namespace nxr
