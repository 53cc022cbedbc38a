#include "aeskey.h"

#include "nxr_guard.h"
#include "nxr_symkey_cipher.h"

#include <algorithm>
#include <utility>

namespace nxr {

namespace {

constexpr CSymKeyCipher kAes256Cbc = {toolkit::KeyKind::Aes256, toolkit::AlgorithmKind::Aes256CbcPad,
                                      CAesKey::kBlockSize};

} // namespace

CAesKey::CAesKey(const CNXRBuffer<NXR_BYTE>& key) : CSymKeyBase(key)
{
    NXR_TRACE(u"CAesKey", u"CAesKey Constructor 1");
    if (key.getNumElems() != kKeyLength)
        NXR_THROW(CSymKeyBadArg);
    m_ulKeyType = 0;
    nxrTrace.setResult(true);
}

CAesKey::CAesKey()
{
    NXR_TRACE(u"CAesKey", u"CSymKeyBase");
    m_ulKeyType = 0;
    nxrTrace.setResult(true);
}

CAesKey::CAesKey(const CAesKey& src) : CSymKeyBase()
{
    NXR_TRACE(u"CAesKey", u"CAesKey Constructor 2");
    *this = src;
    nxrTrace.setResult(true);
}

CAesKey::~CAesKey() { NXR_TRACE(u"CAesKey", u"~CAesKey"); }

CAesKey& CAesKey::operator=(const CAesKey& src)
{
    NXR_TRACE(u"CAesKey", u"operator=");
    CSymKeyBase::operator=(src);
    m_ulKeyType = src.m_ulKeyType;
    nxrTrace.setResult(true);
    return *this;
}

bool CAesKey::deriveKey(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt, uint32_t ulIterations)
{
    NXR_TRACE(u"CAesKey", u"deriveKey");
    return nxrTrace.setResult(doKeyDerivation(passphrase, salt, ulIterations, kKeyLength));
}

bool CAesKey::generateUsingTimeBasedHashing(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                                            uint32_t& ulHashCount, uint16_t usSeconds)
{
    NXR_TRACE(u"CAesKey", u"generateUsingTimeBasedHashing");
    return nxrTrace.setResult(doKeyDerivationBasedOnTime(passphrase, salt, kKeyLength, ulHashCount, usSeconds));
}

bool CAesKey::encrypt(const CNXRBuffer<NXR_BYTE>& plain, CNXRBuffer<NXR_BYTE>& cipher) const
{
    NXR_TRACE(u"CAesKey", u"encrypt");
    encryptWhole(m_keyBytes, kKeyLength, kBlockSize, plain, cipher,
                 [this](uint32_t ulIn, const NXR_BYTE* pIn, uint32_t& ulOut, NXR_BYTE* pOut) {
                     return AESEncrypt(kKeyLength, m_keyBytes.getBuffer(), ulIn, pIn, ulOut, pOut);
                 });
    return nxrTrace.setResult(true);
}

bool CAesKey::decrypt(const CNXRBuffer<NXR_BYTE>& cipher, CNXRBuffer<NXR_BYTE>& plain) const
{
    NXR_TRACE(u"CAesKey", u"decrypt");
    decryptWhole(m_keyBytes, kKeyLength, cipher, plain,
                 [this](uint32_t ulIn, const NXR_BYTE* pIn, uint32_t& ulOut, NXR_BYTE* pOut) {
                     return AESDecrypt(kKeyLength, m_keyBytes.getBuffer(), ulIn, pIn, ulOut, pOut);
                 });
    return nxrTrace.setResult(true);
}

std::unique_ptr<CSymKeyStream> CAesKey::openStream(CipherDirection direction, const NXR_BYTE* pIv) const
{
    NXR_TRACE(u"CAesKey", u"openStream");
    auto stream = openSymKeyStream(direction, kAes256Cbc, m_keyBytes, kKeyLength, pIv);
    nxrTrace.setResult(true);
    return stream;
}

bool CAesKey::AESEncrypt(uint32_t ulKeyLength, const NXR_BYTE* pKey, uint32_t ulInLength, const NXR_BYTE* pIn,
                         uint32_t& ulOutLength, NXR_BYTE* pOut) const
{
    NXR_TRACE(u"CAesKey", u"AESEncrypt");
    if (pOut == nullptr)
        NXR_THROW(CSymKeyBadArg);
    ulOutLength =
        runSymKeyCipher(CipherDirection::Encrypt, kAes256Cbc, pKey, ulKeyLength, pIn, ulInLength, pOut, ulOutLength);
    return nxrTrace.setResult(true);
}

bool CAesKey::AESDecrypt(uint32_t ulKeyLength, const NXR_BYTE* pKey, uint32_t ulInLength, const NXR_BYTE* pIn,
                         uint32_t& ulOutLength, NXR_BYTE* pOut) const
{
    NXR_TRACE(u"CAesKey", u"AESDecrypt");
    if (pOut == nullptr)
        NXR_THROW(CSymKeyBadArg);
    ulOutLength =
        runSymKeyCipher(CipherDirection::Decrypt, kAes256Cbc, pKey, ulKeyLength, pIn, ulInLength, pOut, ulOutLength);
    return nxrTrace.setResult(true);
}

} // namespace nxr
