#include "bsafehash.h"

#include "nxr_guard.h"
#include "nxr_securebuffer.h"

namespace nxr {

namespace {

// Whether an output took the whole digest (assignments report failure only
// in the log).
bool holds(const CNXRBuffer<NXR_BYTE>& output, uint32_t ulLength) { return output.getNumElems() == ulLength; }
bool holds(const CNXRSecureBuffer<NXR_BYTE>& output, uint32_t ulLength) { return output.getPlainLength() == ulLength; }

} // namespace

// ---------------------------------------------------------------------------
// The shared steps. None of them catches anything: temporaries are local
// buffers that wipe themselves, and every failure goes to the caller as the
// exception that reported it.

template <class Buffer>
bool CHashBase::runAll(const char16_t* pszClass, const Buffer& input, Buffer& output)
{
    NXR_TRACE(pszClass, u"hashAll");
    if (!hashInit())
        NXR_THROW(CHashGenericException);
    if (!hashUpdate(input))
        NXR_THROW(CHashGenericException);
    if (!hashFinal(output))
        NXR_THROW(CHashGenericException);
    return nxrTrace.setResult(true);
}

bool CHashBase::runInit(const char16_t* pszClass, toolkit::AlgorithmKind kind)
{
    NXR_TRACE(pszClass, u"hashInit");
    // A digest that an earlier failure left behind is replaced.
    toolkit::destroyAlgorithmObject(&m_hAlgorithm);
    // A failure here leaves the handle null or undescribed, which the init
    // below reports with its own status.
    toolkit::createAlgorithmObject(&m_hAlgorithm);
    toolkit::setAlgorithmInfo(m_hAlgorithm, kind, nullptr, 0);
    const toolkit::Status status = toolkit::digestInit(m_hAlgorithm, nullptr, toolkit::methodRegistry());
    if (status != toolkit::kOk)
        NXR_THROW_CODE(CHashBsafeException, status);
    return nxrTrace.setResult(true);
}

bool CHashBase::runUpdate(const char16_t* pszClass, const CNXRBuffer<NXR_BYTE>& input)
{
    NXR_TRACE(pszClass, u"hashUpdate");
    if (input.getNumElems() == 0)
        NXR_THROW(CHashBadArg);
    const toolkit::Status status = toolkit::digestUpdate(m_hAlgorithm, input.getBuffer(), input.getNumElems());
    if (status != toolkit::kOk)
        NXR_THROW_CODE(CHashBsafeException, status);
    return nxrTrace.setResult(true);
}

bool CHashBase::runUpdate(const char16_t* pszClass, const CNXRSecureBuffer<NXR_BYTE>& input)
{
    NXR_TRACE(pszClass, u"hashUpdate");
    uint32_t ulCount = input.getPlainLength();
    if (ulCount == 0)
        NXR_THROW(CHashBadArg);
    CNXRBuffer<NXR_BYTE> plain;
    if (!input.readBuffer(plain, 0, ulCount))
        return nxrTrace.setResult(false);
    runUpdate(pszClass, plain);
    return nxrTrace.setResult(true);
}

template <class Buffer>
bool CHashBase::runFinal(const char16_t* pszClass, Buffer& output)
{
    NXR_TRACE(pszClass, u"hashFinal");
    CNXRBuffer<NXR_BYTE> area(20);
    uint32_t ulLength = 0;
    const toolkit::Status status = toolkit::digestFinal(m_hAlgorithm, area.getBuffer(), &ulLength, area.getNumElems());
    if (status != toolkit::kOk)
        NXR_THROW_CODE(CHashBsafeException, status);
    const CNXRBuffer<NXR_BYTE> digest(area.getBuffer(), ulLength, 0);
    output = digest;
    toolkit::destroyAlgorithmObject(&m_hAlgorithm);
    return nxrTrace.setResult(holds(output, ulLength));
}

// ---------------------------------------------------------------------------

CSha1Hash::CSha1Hash()
{
    NXR_TRACE(u"CSha1Hash", u"CSha1Hash");
    nxrTrace.setResult(true);
}

CSha1Hash::~CSha1Hash()
{
    NXR_TRACE(u"CSha1Hash", u"~CSha1Hash");
    toolkit::destroyAlgorithmObject(&m_hAlgorithm);
}

bool CSha1Hash::hashAll(const CNXRSecureBuffer<NXR_BYTE>& input, CNXRSecureBuffer<NXR_BYTE>& output)
{
    return runAll(u"CSha1Hash", input, output);
}

bool CSha1Hash::hashAll(const CNXRBuffer<NXR_BYTE>& input, CNXRBuffer<NXR_BYTE>& output)
{
    return runAll(u"CSha1Hash", input, output);
}

bool CSha1Hash::hashInit() { return runInit(u"CSha1Hash", toolkit::AlgorithmKind::Sha1); }

bool CSha1Hash::hashUpdate(const CNXRSecureBuffer<NXR_BYTE>& input) { return runUpdate(u"CSha1Hash", input); }

bool CSha1Hash::hashUpdate(const CNXRBuffer<NXR_BYTE>& input) { return runUpdate(u"CSha1Hash", input); }

bool CSha1Hash::hashFinal(CNXRSecureBuffer<NXR_BYTE>& output) { return runFinal(u"CSha1Hash", output); }

bool CSha1Hash::hashFinal(CNXRBuffer<NXR_BYTE>& output) { return runFinal(u"CSha1Hash", output); }

// ---------------------------------------------------------------------------

CMd5Hash::CMd5Hash()
{
    NXR_TRACE(u"CMd5Hash", u"CMd5Hash");
    nxrTrace.setResult(true);
}

CMd5Hash::~CMd5Hash()
{
    NXR_TRACE(u"CMd5Hash", u"~CMd5Hash");
    toolkit::destroyAlgorithmObject(&m_hAlgorithm);
}

bool CMd5Hash::hashAll(const CNXRSecureBuffer<NXR_BYTE>& input, CNXRSecureBuffer<NXR_BYTE>& output)
{
    return runAll(u"CMd5Hash", input, output);
}

bool CMd5Hash::hashAll(const CNXRBuffer<NXR_BYTE>& input, CNXRBuffer<NXR_BYTE>& output)
{
    return runAll(u"CMd5Hash", input, output);
}

bool CMd5Hash::hashInit() { return runInit(u"CMd5Hash", toolkit::AlgorithmKind::Md5); }

bool CMd5Hash::hashUpdate(const CNXRSecureBuffer<NXR_BYTE>& input) { return runUpdate(u"CMd5Hash", input); }

bool CMd5Hash::hashUpdate(const CNXRBuffer<NXR_BYTE>& input) { return runUpdate(u"CMd5Hash", input); }

bool CMd5Hash::hashFinal(CNXRSecureBuffer<NXR_BYTE>& output) { return runFinal(u"CMd5Hash", output); }

bool CMd5Hash::hashFinal(CNXRBuffer<NXR_BYTE>& output) { return runFinal(u"CMd5Hash", output); }

} // namespace nxr
