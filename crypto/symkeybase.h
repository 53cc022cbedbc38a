// CSymKeyBase: the raw bytes and the type of a symmetric key, and the
// derivation of key bytes from a passphrase by chained SHA-1 that both key
// classes share.
//
// Derivation: D = SHA-1 applied N times to (passphrase || salt); the key is
// D[0 .. n-1] for a key length n of up to 20 bytes; for longer keys the bytes
// after D are taken from E = SHA-1(passphrase) (the salt and the count do not
// enter them). Key lengths above 40 bytes are refused.
#pragma once
#include "nxr_buffer.h"
#include "nxr_types.h"

#include <cstdint>
#include <memory>

namespace nxr {

enum class CipherDirection { Encrypt, Decrypt };
class CSymKeyStream;

class CSymKeyBase {
public:
    // Constructor 1: a copy of the key bytes (the subclasses check the length).
    explicit CSymKeyBase(const CNXRBuffer<NXR_BYTE>& key);
    // Constructor 2: no key bytes.
    CSymKeyBase();
    // Constructor 3: the key bytes of src; the key type stays this class's.
    CSymKeyBase(const CSymKeyBase& src);
    virtual ~CSymKeyBase();

    // Passphrase and salt are byte buffers; the salt may be empty.
    virtual bool deriveKey(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                           uint32_t ulIterations) = 0;
    virtual bool generateUsingTimeBasedHashing(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                                               uint32_t& ulHashCount, uint16_t usSeconds) = 0;
    // True or throws; the output is untouched on failure.
    virtual bool encrypt(const CNXRBuffer<NXR_BYTE>& plain, CNXRBuffer<NXR_BYTE>& cipher) const = 0;
    virtual bool decrypt(const CNXRBuffer<NXR_BYTE>& cipher, CNXRBuffer<NXR_BYTE>& plain) const = 0;
    // The same cipher over data that comes in pieces (nxr_symkey_cipher.h),
    // from the given IV (the zero IV of encrypt and decrypt when null; one
    // block long otherwise). Throws as encrypt and decrypt do.
    virtual std::unique_ptr<CSymKeyStream> openStream(CipherDirection direction,
                                                      const NXR_BYTE* pIv = nullptr) const = 0;
    // The cipher's block length in bytes.
    virtual uint32_t blockSize() const = 0;

    // Copies the key bytes only, not the key type.
    CSymKeyBase& operator=(const CSymKeyBase& src);

    // 0 for an AES key, 1 for a Triple-DES key.
    bool getType(uint32_t& ulType) const;
    // Any length is accepted here; encrypt and decrypt refuse a wrong one.
    bool setKey(const CNXRBuffer<NXR_BYTE>& key);
    bool getKey(CNXRBuffer<NXR_BYTE>& key) const;
    // Whether there are key bytes.
    bool isValid() const;

protected:
    // Counted derivation: ulIterations chained hashes. False (and a logged
    // "Bad Arguement") for an empty passphrase or a count of 0.
    bool doKeyDerivation(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                         uint32_t ulIterations, uint16_t usKeyLength);
    // Timed derivation: hashes for usSeconds whole seconds (at least once)
    // and reports how many in ulHashCount.
    bool doKeyDerivationBasedOnTime(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& salt,
                                    uint16_t usKeyLength, uint32_t& ulHashCount, uint16_t usSeconds);
    // Makes the key bytes from the hashed data, topped up from
    // SHA-1(passphrase) when the key is longer than the hashed data. The key
    // bytes are replaced only when the whole key could be made.
    bool completeKeyGeneration(const CNXRBuffer<NXR_BYTE>& passphrase, const CNXRBuffer<NXR_BYTE>& hashed,
                               uint16_t usKeyLength);

    CNXRBuffer<NXR_BYTE> m_keyBytes;
    // 0 for CAesKey, 1 for C3DesKey; set by the subclass constructors.
    uint32_t m_ulKeyType = 0;
};

} // namespace nxr
