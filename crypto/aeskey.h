// CAesKey: a 32-byte AES-256 key. encrypt gives the CBC ciphertext of the
// plaintext padded PKCS #5 style to whole 16-byte blocks (1 to 16 bytes of
// value p), under a fixed IV of 16 zero bytes, with nothing else around it:
// L plaintext bytes become L + 16 - (L mod 16) bytes. decrypt undoes it and
// checks the padding (toolkit status 524 for bad padding, 525 for an empty
// ciphertext or one that is not whole blocks).
//
// encrypt and decrypt return true or throw: CSymKeyBadArg when the key is not
// 32 bytes, CSymKeyBsafeException with the toolkit status, and leave their
// output as it was on failure.
#pragma once
#include "symkeybase.h"

namespace nxr {

class CAesKey : public CSymKeyBase {
public:
    // Throws CSymKeyBadArg unless key holds exactly 32 bytes.
    explicit CAesKey(const CNXRBuffer<NXR_BYTE>& key);
    // No key bytes yet.
    CAesKey();
    CAesKey(const CAesKey& src);
    ~CAesKey() override;

    // Copies the key bytes and the key type.
    CAesKey& operator=(const CAesKey& src);

    bool deriveKey(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                   uint32_t ulIterations) override;
    bool generateUsingTimeBasedHashing(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                                       uint32_t& ulHashCount, uint16_t usSeconds) override;
    bool encrypt(const CNXRBuffer<NXR_BYTE>& plain, CNXRBuffer<NXR_BYTE>& cipher) const override;
    bool decrypt(const CNXRBuffer<NXR_BYTE>& cipher, CNXRBuffer<NXR_BYTE>& plain) const override;
    std::unique_ptr<CSymKeyStream> openStream(CipherDirection direction,
                                              const NXR_BYTE* pIv = nullptr) const override;
    uint32_t blockSize() const override { return kBlockSize; }

    static constexpr uint16_t kKeyLength = 32;
    static constexpr uint32_t kBlockSize = 16;

protected:
    // The cipher routines: ulOutLength is the capacity of pOut on entry and
    // the number of bytes written on return. True or throw.
    bool AESEncrypt(uint32_t ulKeyLength, const NXR_BYTE* pKey, uint32_t ulInLength, const NXR_BYTE* pIn,
                    uint32_t& ulOutLength, NXR_BYTE* pOut) const;
    bool AESDecrypt(uint32_t ulKeyLength, const NXR_BYTE* pKey, uint32_t ulInLength, const NXR_BYTE* pIn,
                    uint32_t& ulOutLength, NXR_BYTE* pOut) const;
};

} // namespace nxr
