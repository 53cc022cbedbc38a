#include "swrng.h"

#include "nxr_guard.h"
#include "nxr_os_error.h"
#include "nxr_os_random.h"

namespace nxr {

CSwRNG::CSwRNG()
{
    NXR_TRACE(u"CSwRNG", u"CSwRNG");
    nxrTrace.setResult(true);
}

CSwRNG::~CSwRNG() { NXR_TRACE(u"CSwRNG", u"~CSwRNG"); }

bool CSwRNG::performRand(uint32_t ulNumBytes, CNXRBuffer<NXR_BYTE>& buffer)
{
    NXR_TRACE(u"CSwRNG", u"performRand");
    // The system source writes straight into the block: never past its end.
    if (ulNumBytes > buffer.getNumElems())
        NXR_THROW(CIndexOutOfBoundsException);

    const bool bFromSystem = nxrGuardRethrow<CRngCapi>(
        nxrTrace, false,
        [&] {
            if (ulNumBytes != 0 && !os::genRandom(buffer.getBuffer(), ulNumBytes))
                NXR_THROW_CODE(CRngCapi, os::getLastError());
            return true;
        },
        NxrOnForeign::Silent);
    if (!bFromSystem) {
        // The failure is in the log; the classic generator stands in.
        for (uint32_t i = 0; i < ulNumBytes; ++i)
            buffer[i] = static_cast<NXR_BYTE>(os::randFallback() & 0xFF);
    }
    return nxrTrace.setResult(true);
}

} // namespace nxr
