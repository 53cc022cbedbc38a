#include "nxr_symkey_derivekey_thread.h"

#include "bsafehash.h"
#include "nxr_guard.h"
#include "nxr_os_error.h"
#include "nxr_os_thread.h"
#include "nxr_os_time.h"

namespace nxr {

namespace {

// The exit code of a derivation that did not complete.
constexpr uint32_t kDeriveFailed = 1;

void signalEvent(os::Handle hEvent, const char16_t* pszMember)
{
    if (!os::setEvent(hEvent))
        NXR_THROW_CODE(CSetEventException, os::getLastError(), pszMember);
}

} // namespace

// ---------------------------------------------------------------------------

CSymKeyDeriveKeyThread::CSymKeyDeriveKeyThread() : CNXRThreadObject(CNXRWCharString(u"CSymKeyDeriveKeyThread"), false)
{
    NXR_TRACE(u"CSymKeyDeriveKeyThread", u"CSymKeyDeriveKeyThread - default constructor");
    nxrTrace.setResult(true);
}

CSymKeyDeriveKeyThread::CSymKeyDeriveKeyThread(const CNXRBuffer<NXR_BYTE>& input, uint32_t ulIterations)
    : CNXRThreadObject(CNXRWCharString(u"CSymKeyDeriveKeyThread"), false), m_ulIterations(ulIterations)
{
    NXR_TRACE(u"CSymKeyDeriveKeyThread", u"CSymKeyDeriveKeyThread");
    m_hashingInput = input;
    nxrTrace.setResult(m_hashingInput.getNumElems() == input.getNumElems());
}

bool CSymKeyDeriveKeyThread::getHashedData(CNXRBuffer<NXR_BYTE>& hashed) const
{
    NXR_TRACE(u"CSymKeyDeriveKeyThread", u"getHashedData");
    hashed = m_hashedData;
    return nxrTrace.setResult(true);
}

void CSymKeyDeriveKeyThread::thread()
{
    NXR_TRACE(u"CSymKeyDeriveKeyThread", u"thread");
    // Success only once every iteration has hashed the whole previous
    // digest: a chain cut short (a hash that threw, a copy that could not
    // get its memory and came out empty) would otherwise pass for the key
    // material.
    m_dwExitCode = kDeriveFailed;
    nxrGuard(
        nxrTrace, false,
        [&] {
            signalEvent(m_hStartEvent, u"m_hStartEvent");
            CSha1Hash sha1;
            CNXRBuffer<NXR_BYTE> work(m_hashingInput);
            bool bHashed = work.isValid();
            for (uint32_t i = 0; i < m_ulIterations && bHashed; ++i) {
                bHashed = sha1.hashAll(work, m_hashedData);
                if (bHashed) {
                    work = m_hashedData;
                    bHashed = work.getNumElems() == m_hashedData.getNumElems();
                }
                os::yieldThread();
            }
            if (bHashed)
                m_dwExitCode = 0;
        },
        NxrErrorSource::LastError);
    nxrGuard(nxrTrace, false, [&] { signalEvent(m_hFinishEvent, u"m_hFinishEvent"); }, NxrErrorSource::LastError);
}

// ---------------------------------------------------------------------------

CSymKeyTimedDeriveKeyThread::CSymKeyTimedDeriveKeyThread()
    : CNXRThreadObject(CNXRWCharString(u"CSymKeyTimedDeriveKeyThread"), false)
{
    NXR_TRACE(u"CSymKeyTimedDeriveKeyThread", u"CSymKeyTimedDeriveKeyThread - default constructor");
    nxrTrace.setResult(true);
}

CSymKeyTimedDeriveKeyThread::CSymKeyTimedDeriveKeyThread(const CNXRBuffer<NXR_BYTE>& input, uint16_t usSeconds)
    : CNXRThreadObject(CNXRWCharString(u"CSymKeyTimedDeriveKeyThread"), false), m_usSeconds(usSeconds)
{
    NXR_TRACE(u"CSymKeyTimedDeriveKeyThread", u"CSymKeyTimedDeriveKeyThread");
    m_hashingInput = input;
    nxrTrace.setResult(m_hashingInput.getNumElems() == input.getNumElems());
}

bool CSymKeyTimedDeriveKeyThread::getHashedData(CNXRBuffer<NXR_BYTE>& hashed) const
{
    NXR_TRACE(u"CSymKeyTimedDeriveKeyThread", u"getHashedData");
    hashed = m_hashedData;
    return nxrTrace.setResult(true);
}

uint32_t CSymKeyTimedDeriveKeyThread::getNumberOfHashesDone() const
{
    NXR_TRACE(u"CSymKeyTimedDeriveKeyThread", u"getNumberOfHashesDone");
    return nxrTrace.setReturnCode(m_ulHashesDone);
}

void CSymKeyTimedDeriveKeyThread::thread()
{
    NXR_TRACE(u"CSymKeyTimedDeriveKeyThread", u"thread");
    // As above: success only when the chain was not cut short.
    m_dwExitCode = kDeriveFailed;
    nxrGuard(
        nxrTrace, false,
        [&] {
            signalEvent(m_hStartEvent, u"m_hStartEvent");
            CNXRBuffer<NXR_BYTE> work(m_hashingInput);
            const int64_t llStart = os::timeNow();
            m_ulHashesDone = 0;
            CSha1Hash sha1;
            if (!work.isValid())
                return;
            for (;;) {
                // The count goes back to the caller to repeat the chain with:
                // a chain longer than it can say is refused, never wrapped.
                if (m_ulHashesDone >= m_ulMaxHashes)
                    NXR_THROW(CBadArgException, u"m_ulHashesDone", u"more hashes than the count can hold");
                if (!sha1.hashAll(work, m_hashedData))
                    return;
                ++m_ulHashesDone;
                work = m_hashedData;
                if (work.getNumElems() != m_hashedData.getNumElems())
                    return;
                // The clock counts whole seconds; the difference is taken
                // to 32 bits as a signed number.
                const int32_t lElapsed = static_cast<int32_t>(static_cast<uint32_t>(os::timeNow() - llStart));
                os::yieldThread();
                if (lElapsed >= m_usSeconds)
                    break;
            }
            m_dwExitCode = 0;
        },
        NxrErrorSource::LastError);
    nxrGuard(nxrTrace, false, [&] { signalEvent(m_hFinishEvent, u"m_hFinishEvent"); }, NxrErrorSource::LastError);
}

} // namespace nxr
