#include "baserng.h"

#include "nxr_guard.h"
#include "nxr_securebuffer.h"

namespace nxr {

CBaseRNG::CBaseRNG()
{
    NXR_TRACE(u"CBaseRNG", u"CBaseRNG");
    nxrTrace.setResult(true);
}

CBaseRNG::~CBaseRNG() { NXR_TRACE(u"CBaseRNG", u"~CBaseRNG"); }

bool CBaseRNG::getRandomBytes(CNXRBuffer<NXR_BYTE>& buffer)
{
    NXR_TRACE(u"CBaseRNG", u"getRandomBytes #1");
    return nxrGuardRethrow<CRngBadArg>(nxrTrace, false, [&] {
        const uint32_t ulCount = buffer.getNumElems();
        if (ulCount == 0)
            NXR_THROW(CRngBadArg);
        CNXRBuffer<NXR_BYTE> random(ulCount);
        if (!performRand(ulCount, random))
            return false;
        buffer = random;
        return buffer.getNumElems() == ulCount;
    });
}

bool CBaseRNG::getRandomBytes(CNXRSecureBuffer<NXR_BYTE>& buffer)
{
    NXR_TRACE(u"CBaseRNG", u"getRandomBytes #2");
    return nxrGuardRethrow<CRngBadArg>(nxrTrace, false, [&] {
        const uint32_t ulCount = buffer.getPlainLength();
        if (ulCount == 0)
            NXR_THROW(CRngBadArg);
        CNXRBuffer<NXR_BYTE> random(ulCount);
        if (!performRand(ulCount, random))
            return false;
        buffer = random;
        return buffer.getPlainLength() == ulCount;
    });
}

} // namespace nxr
