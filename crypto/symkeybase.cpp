#include "symkeybase.h"

#include "bsafehash.h"
#include "nxr_guard.h"
#include "nxr_symkey_derivekey_thread.h"

#include <algorithm>

namespace nxr {

CSymKeyBase::CSymKeyBase(const CNXRBuffer<NXR_BYTE>& key)
{
    NXR_TRACE(u"CSymKeyBase", u"CSymKeyBase Constructor 1");
    m_keyBytes = key;
    nxrTrace.setResult(true);
}

CSymKeyBase::CSymKeyBase()
{
    NXR_TRACE(u"CSymKeyBase", u"CSymKeyBase Constructor 2");
    nxrTrace.setResult(true);
}

CSymKeyBase::CSymKeyBase(const CSymKeyBase& src)
{
    NXR_TRACE(u"CSymKeyBase", u"CSymKeyBase Constructor 3");
    *this = src;
    nxrTrace.setResult(true);
}

CSymKeyBase::~CSymKeyBase() { NXR_TRACE(u"CSymKeyBase", u"~CSymKeyBase"); }

CSymKeyBase& CSymKeyBase::operator=(const CSymKeyBase& src)
{
    NXR_TRACE(u"CSymKeyBase", u"operator=");
    if (this != &src)
        m_keyBytes = src.m_keyBytes;
    nxrTrace.setResult(m_keyBytes.getNumElems() == src.m_keyBytes.getNumElems());
    return *this;
}

bool CSymKeyBase::getType(uint32_t& ulType) const
{
    NXR_TRACE(u"CSymKeyBase", u"getType");
    ulType = m_ulKeyType;
    return nxrTrace.setResult(true);
}

bool CSymKeyBase::setKey(const CNXRBuffer<NXR_BYTE>& key)
{
    NXR_TRACE(u"CSymKeyBase", u"setKey");
    return nxrGuard(nxrTrace, false, [&] {
        m_keyBytes = key;
        return m_keyBytes.getNumElems() == key.getNumElems();
    });
}

bool CSymKeyBase::getKey(CNXRBuffer<NXR_BYTE>& key) const
{
    NXR_TRACE(u"CSymKeyBase", u"getKey");
    return nxrGuard(nxrTrace, false, [&] {
        key = m_keyBytes;
        return key.getNumElems() == m_keyBytes.getNumElems();
    });
}

bool CSymKeyBase::isValid() const
{
    NXR_TRACE(u"CSymKeyBase", u"isValid");
    return nxrTrace.setLogicalResult(m_keyBytes.isValid());
}

namespace {

// The hashing input: the passphrase followed by the salt, if there is one.
CNXRBuffer<NXR_BYTE> hashingInput(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt)
{
    CNXRBuffer<NXR_BYTE> input(passphrase);
    if (salt.isValid() && !input.appendBuffer(salt))
        NXR_THROW(CMemAllocException, u"input");
    return input;
}

} // namespace

bool CSymKeyBase::doKeyDerivation(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                                  uint32_t ulIterations, uint16_t usKeyLength)
{
    NXR_TRACE(u"CSymKeyBase", u"doKeyDerivation");
    return nxrGuard(nxrTrace, false, [&] {
        if (!passphrase.isValid() || ulIterations == 0)
            NXR_THROW(CSymKeyBadArg);
        CSymKeyDeriveKeyThread worker(hashingInput(passphrase, salt), ulIterations);
        if (worker.startAndWaitForFinish(false) != 0)
            return false;
        CNXRBuffer<NXR_BYTE> hashed;
        return worker.getHashedData(hashed) && completeKeyGeneration(passphrase, hashed, usKeyLength);
    });
}

bool CSymKeyBase::doKeyDerivationBasedOnTime(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                                             uint16_t usKeyLength, uint32_t& ulHashCount, uint16_t usSeconds)
{
    NXR_TRACE(u"CSymKeyBase", u"doKeyDerivationBasedOnTime");
    return nxrGuard(nxrTrace, false, [&] {
        if (!passphrase.isValid() || usSeconds == 0)
            NXR_THROW(CSymKeyBadArg);
        CSymKeyTimedDeriveKeyThread worker(hashingInput(passphrase, salt), usSeconds);
        if (worker.startAndWaitForFinish(false) != 0)
            return false;
        ulHashCount = worker.getNumberOfHashesDone();
        CNXRBuffer<NXR_BYTE> hashed;
        return worker.getHashedData(hashed) && completeKeyGeneration(passphrase, hashed, usKeyLength);
    });
}

bool CSymKeyBase::completeKeyGeneration(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& hashed,
                                        uint16_t usKeyLength)
{
    NXR_TRACE(u"CSymKeyBase", u"completeKeyGeneration");
    return nxrGuard(nxrTrace, false, [&] {
        const uint32_t ulHashed = hashed.getNumElems();
        uint32_t ulHead = std::min<uint32_t>(usKeyLength, ulHashed);
        CNXRBuffer<NXR_BYTE> key;
        // Nothing hashed (or a key length of 0) fails here: no 0-element reads.
        if (!hashed.readBuffer(key, 0, ulHead))
            return false;
        if (usKeyLength > ulHashed) {
            // The rest comes from E = SHA-1(passphrase) and from nowhere else:
            // a key longer than the hashed data plus E fails on this read.
            CSha1Hash sha1;
            CNXRBuffer<NXR_BYTE> e;
            sha1.hashAll(passphrase, e);
            uint32_t ulTail = usKeyLength - ulHashed;
            CNXRBuffer<NXR_BYTE> tail;
            if (!e.readBuffer(tail, 0, ulTail) || !key.appendBuffer(tail))
                return false;
        }
        m_keyBytes = key;
        return m_keyBytes.getNumElems() == usKeyLength;
    });
}

} // namespace nxr
