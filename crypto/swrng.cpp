#include "swrng.h"

#include "nxr_guard.h"
#include "nxr_os_error.h"
#include "nxr_os_file.h"
#include "nxr_os_random.h"

namespace nxr {

namespace {

// The kernel's random device, read through an ordinary open: the second
// strong source, for when getrandom itself fails (an old kernel, a seccomp
// filter that refuses the call).
bool readRandomDevice(NXR_BYTE* pBuffer, uint32_t ulNumBytes)
{
    const os::FileHandle hFile = os::fileOpenRead("/dev/urandom");
    if (hFile == os::kInvalidFile)
        return false;
    size_t ulRead = 0;
    const bool bRead = os::fileRead(hFile, pBuffer, ulNumBytes, ulRead) && ulRead == ulNumBytes;
    os::fileClose(hFile);
    return bRead;
}

} // namespace

CSwRNG::CSwRNG()
{
    NXR_TRACE(u"CSwRNG", u"CSwRNG");
    nxrTrace.setResult(true);
}

CSwRNG::~CSwRNG() { NXR_TRACE(u"CSwRNG", u"~CSwRNG"); }

bool CSwRNG::performRand(uint32_t ulNumBytes, CNXRBuffer<NXR_BYTE>& buffer)
{
    NXR_TRACE(u"CSwRNG", u"performRand");
    // The system sources write straight into the block: never past its end.
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
        // The failure is in the log; the record after it says which source
        // stood in. The classic generator, the same sequence in every
        // process, is the last resort.
        if (readRandomDevice(buffer.getBuffer(), ulNumBytes)) {
            nxrWarn(u"Random bytes read from /dev/urandom", NXR_NO_ERROR_CODE, __FILE__, __LINE__);
        } else {
            nxrWarn(u"Random bytes from the unseeded fallback generator", os::getLastError(), __FILE__, __LINE__);
            for (uint32_t i = 0; i < ulNumBytes; ++i)
                buffer[i] = static_cast<NXR_BYTE>(os::randFallback() & 0xFF);
        }
    }
    return nxrTrace.setResult(true);
}

} // namespace nxr
