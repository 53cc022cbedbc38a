#include "_3deskey.h"

#include "nxr_guard.h"
#include "nxr_symkey_cipher.h"

#include <algorithm>
#include <utility>

namespace nxr {

namespace {

constexpr CSymKeyCipher kTripleDesCbc = {toolkit::KeyKind::TripleDes, toolkit::AlgorithmKind::TripleDesCbcPad,
                                         C3DesKey::kBlockSize};

} // namespace

C3DesKey::C3DesKey(const CNXRBuffer<NXR_BYTE>& key) : CSymKeyBase(key)
{
    NXR_TRACE(u"C3DesKey", u"C3DesKey Constructor 1");
    if (key.getNumElems() != kKeyLength)
        NXR_THROW(CSymKeyBadArg);
    m_ulKeyType = 1;
    nxrTrace.setResult(true);
}

C3DesKey::C3DesKey()
{
    NXR_TRACE(u"C3DesKey", u"C3DesKey Constructor 2");
    m_ulKeyType = 1;
    nxrTrace.setResult(true);
}

C3DesKey::C3DesKey(const C3DesKey& src) : CSymKeyBase()
{
    NXR_TRACE(u"C3DesKey", u"C3DesKey Constructor 3");
    *this = src;
    nxrTrace.setResult(true);
}

C3DesKey::~C3DesKey() { NXR_TRACE(u"C3DesKey", u"~C3DesKey"); }

C3DesKey& C3DesKey::operator=(const C3DesKey& src)
{
    NXR_TRACE(u"C3DesKey", u"operator=");
    CSymKeyBase::operator=(src);
    m_ulKeyType = src.m_ulKeyType;
    nxrTrace.setResult(true);
    return *this;
}

bool C3DesKey::deriveKey(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                         uint32_t ulIterations)
{
    NXR_TRACE(u"C3DesKey", u"deriveKey");
    return nxrTrace.setResult(doKeyDerivation(passphrase, salt, ulIterations, kKeyLength));
}

bool C3DesKey::generateUsingTimeBasedHashing(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                                             uint32_t& ulHashCount, uint16_t usSeconds)
{
    NXR_TRACE(u"C3DesKey", u"generateUsingTimeBasedHashing");
    return nxrTrace.setResult(doKeyDerivationBasedOnTime(passphrase, salt, kKeyLength, ulHashCount, usSeconds));
}

bool C3DesKey::encrypt(const CNXRBuffer<NXR_BYTE>& plain, CNXRBuffer<NXR_BYTE>& cipher) const
{
    NXR_TRACE(u"C3DesKey", u"encrypt");
    encryptWhole(m_keyBytes, kKeyLength, kBlockSize, plain, cipher,
                 [this](uint32_t ulIn, const NXR_BYTE* pIn, uint32_t& ulOut, NXR_BYTE* pOut) {
                     return _3DESEncrypt(kKeyLength, m_keyBytes.getBuffer(), ulIn, pIn, ulOut, pOut);
                 });
    return nxrTrace.setResult(true);
}

bool C3DesKey::decrypt(const CNXRBuffer<NXR_BYTE>& cipher, CNXRBuffer<NXR_BYTE>& plain) const
{
    NXR_TRACE(u"C3DesKey", u"decrypt");
    decryptWhole(m_keyBytes, kKeyLength, cipher, plain,
                 [this](uint32_t ulIn, const NXR_BYTE* pIn, uint32_t& ulOut, NXR_BYTE* pOut) {
                     return _3DESDecrypt(kKeyLength, m_keyBytes.getBuffer(), ulIn, pIn, ulOut, pOut);
                 });
    return nxrTrace.setResult(true);
}

std::unique_ptr<CSymKeyStream> C3DesKey::openStream(CipherDirection direction, const NXR_BYTE* pIv) const
{
    NXR_TRACE(u"C3DesKey", u"openStream");
    auto stream = openSymKeyStream(direction, kTripleDesCbc, m_keyBytes, kKeyLength, pIv);
    nxrTrace.setResult(true);
    return stream;
}

bool C3DesKey::_3DESEncrypt(uint32_t ulKeyLength, const NXR_BYTE* pKey, uint32_t ulInLength, const NXR_BYTE* pIn,
                            uint32_t& ulOutLength, NXR_BYTE* pOut) const
{
    NXR_TRACE(u"C3DesKey", u"_3DESEncrypt");
    if (ulKeyLength != kKeyLength)
        NXR_THROW(CSymKeyBadArg);
    if (pOut == nullptr)
        NXR_THROW(CSymKeyBadArg);
    ulOutLength =
        runSymKeyCipher(CipherDirection::Encrypt, kTripleDesCbc, pKey, ulKeyLength, pIn, ulInLength, pOut, ulOutLength);
    return nxrTrace.setResult(true);
}

bool C3DesKey::_3DESDecrypt(uint32_t ulKeyLength, const NXR_BYTE* pKey, uint32_t ulInLength, const NXR_BYTE* pIn,
                            uint32_t& ulOutLength, NXR_BYTE* pOut) const
{
    NXR_TRACE(u"C3DesKey", u"_3DESDecrypt");
    if (pOut == nullptr)
        NXR_THROW(CSymKeyBadArg);
    ulOutLength =
        runSymKeyCipher(CipherDirection::Decrypt, kTripleDesCbc, pKey, ulKeyLength, pIn, ulInLength, pOut, ulOutLength);
    return nxrTrace.setResult(true);
}

} // namespace nxr
