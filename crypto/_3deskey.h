// C3DesKey: a 24-byte Triple-DES key K1 || K2 || K3 (EDE, three keys). The
// ciphertext layout is that of CAesKey with 8-byte blocks: CBC under a fixed
// IV of 8 zero bytes, PKCS #5 padding of 1 to 8 bytes, nothing else around
// it. The toolkit forces every key byte to odd parity and refuses a key third
// that is a weak or semi-weak DES key with status 546.
//
// encrypt and decrypt return true or throw: CSymKeyBadArg when the key is not
// 24 bytes, CSymKeyBsafeException with the toolkit status, and leave their
// output as it was on failure.
#pragma once
#include "symkeybase.h"

namespace nxr {

class C3DesKey : public CSymKeyBase {
public:
    // Throws CSymKeyBadArg unless key holds exactly 24 bytes.
    explicit C3DesKey(const CNXRBuffer<NXR_BYTE>& key);
    // No key bytes yet.
    C3DesKey();
    C3DesKey(const C3DesKey& src);
    ~C3DesKey() override;

    // Copies the key bytes and the key type.
    C3DesKey& operator=(const C3DesKey& src);

    bool deriveKey(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                   uint32_t ulIterations) override;
    bool generateUsingTimeBasedHashing(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                                       uint32_t& ulHashCount, uint16_t usSeconds) override;
    bool encrypt(const CNXRBuffer<NXR_BYTE>& plain, CNXRBuffer<NXR_BYTE>& cipher) const override;
    bool decrypt(const CNXRBuffer<NXR_BYTE>& cipher, CNXRBuffer<NXR_BYTE>& plain) const override;
    std::unique_ptr<CSymKeyStream> openStream(CipherDirection direction,
                                              const NXR_BYTE* pIv = nullptr) const override;
    uint32_t blockSize() const override { return kBlockSize; }

    static constexpr uint16_t kKeyLength = 24;
    static constexpr uint32_t kBlockSize = 8;

protected:
    // As CAesKey's routines; _3DESEncrypt checks the key length itself too.
    bool _3DESEncrypt(uint32_t ulKeyLength, const NXR_BYTE* pKey, uint32_t ulInLength, const NXR_BYTE* pIn,
                      uint32_t& ulOutLength, NXR_BYTE* pOut) const;
    bool _3DESDecrypt(uint32_t ulKeyLength, const NXR_BYTE* pKey, uint32_t ulInLength, const NXR_BYTE* pIn,
                      uint32_t& ulOutLength, NXR_BYTE* pOut) const;
};

} // namespace nxr
