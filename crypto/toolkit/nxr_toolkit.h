// The cipher toolkit: an object-style interface to AES, Triple-DES, SHA-1 and
// MD5 over OpenSSL libcrypto.
//
// Users create a key object and an algorithm object, describe the key and the
// algorithm to them, then run init, update and final. Every operation returns
// a status, 0 for success. Objects are created and destroyed in pairs by their
// user; destroying frees the object and sets the caller's handle to null, and
// destroying a null handle does nothing. After a failed init, update or final
// the algorithm object refuses further updates until it is initialised again.
//
// Ciphers run in CBC mode with PKCS #5 padding (p = B - (L mod B) bytes of
// value p, 1 <= p <= B, B the block size). Decryption holds back the last
// complete block of ciphertext until final, which checks the padding and writes
// the last block without it.
//
// Objects are private to the caller that made them; the method registry is a
// read-only constant. No locking is needed.
#pragma once

#include <cstdint>

namespace nxr::toolkit {

using Status = int32_t;

inline constexpr Status kOk = 0;
// The cipher library failed in a way none of the statuses below covers.
inline constexpr Status kLibraryFailure = 512;
// The algorithm object handle is not a live algorithm object.
inline constexpr Status kBadAlgorithmObject = 516;
// Memory could not be allocated.
inline constexpr Status kNoMemory = 518;
// A required pointer is null (output length, handle, or data with a non-zero
// length).
inline constexpr Status kBadArgument = 520;
// An unknown key kind or algorithm description, or an IV of the wrong length.
inline constexpr Status kBadParameter = 521;
// Decryption found bad padding: last byte 0 or above the block size, or the
// padding bytes differ.
inline constexpr Status kBadPadding = 524;
// Decryption final found no complete last block: the ciphertext is empty or
// its length is not a multiple of the block size.
inline constexpr Status kIncompleteBlock = 525;
// The key object handle is not a live key object.
inline constexpr Status kBadKeyObject = 530;
// An output area is too small for what must be written.
inline constexpr Status kOutputTooSmall = 536;
// The operation does not fit the object's state: the algorithm object has no
// description (or already has one), or it is not running the operation asked
// for (update or final without init, after final, or after a failure).
inline constexpr Status kWrongState = 539;
// Key data of the wrong length for the key kind.
inline constexpr Status kBadKeyLength = 542;
// The method registry has no entry for this algorithm, direction and key kind.
inline constexpr Status kNoMethod = 545;
// A Triple-DES key third is a weak or semi-weak DES key.
inline constexpr Status kWeakKey = 546;

enum class KeyKind : uint32_t {
    // AES-256 key: exactly 32 bytes, used unchanged.
    Aes256 = 1,
    // Triple-DES key K1 || K2 || K3: exactly 24 bytes. The stored copy has
    // every byte forced to odd parity; a third that is a weak or semi-weak
    // DES key is refused with kWeakKey.
    TripleDes = 2,
    // Raw key bytes of exactly 16 bytes (AES-128).
    Raw16 = 3,
    // Raw key bytes of exactly 24 bytes (AES-192, or Triple-DES unchecked).
    Raw24 = 4,
    // Key bytes of any non-zero length; the method decides whether the length
    // fits (AES takes 16, 24 or 32).
    Data = 5,
};

enum class AlgorithmKind : uint32_t {
    // AES CBC with padding; parameter: the 16-byte IV. The key length picks
    // AES-128, -192 or -256.
    Aes256CbcPad = 1,
    // Triple-DES EDE CBC with padding, three keys; parameter: the 8-byte IV.
    TripleDesCbcPad = 2,
    // SHA-1, 20-byte digest; no parameter.
    Sha1 = 3,
    // MD5, 16-byte digest; no parameter.
    Md5 = 4,
};

struct KeyObject;
struct AlgorithmObject;

// One algorithm in one direction, with the key kinds it accepts.
struct Method;

// A list of methods that init calls search in order.
struct MethodRegistry {
    const Method* const* entries;
    uint32_t count;
};

// The process-wide registry. Its entries, in order: SHA-1; MD5; Triple-DES CBC
// with padding, encryption; the same, decryption; AES CBC with padding,
// encryption; the same, decryption.
const MethodRegistry& methodRegistry();

// Key objects.
Status createKeyObject(KeyObject** phKey);
// Stores a copy of ulLength bytes of pData as a key of the given kind. Any key
// held before is wiped first, and a refused key leaves the object empty.
Status setKeyInfo(KeyObject* hKey, KeyKind kind, const uint8_t* pData, uint32_t ulLength);
// Wipes the key, frees the object and nulls *phKey. A null *phKey does nothing.
Status destroyKeyObject(KeyObject** phKey);

// Algorithm objects.
Status createAlgorithmObject(AlgorithmObject** phAlg);
// Fixes the algorithm of the object, once. The IV is copied into the object.
// Digests take no parameter (pParam null, ulParamLength 0).
Status setAlgorithmInfo(AlgorithmObject* hAlg, AlgorithmKind kind, const uint8_t* pParam,
                        uint32_t ulParamLength);
// Wipes any running state, frees the object and nulls *phAlg. A null *phAlg
// does nothing.
Status destroyAlgorithmObject(AlgorithmObject** phAlg);

// Encryption. Update writes every complete block it can and keeps the
// incomplete rest; final pads it and writes the last block. Output must not
// overlap input.
Status encryptInit(AlgorithmObject* hAlg, const KeyObject* hKey, const MethodRegistry& registry);
Status encryptUpdate(AlgorithmObject* hAlg, uint8_t* pOut, uint32_t* pulOutLength,
                     uint32_t ulOutCapacity, const uint8_t* pIn, uint32_t ulInLength);
Status encryptFinal(AlgorithmObject* hAlg, uint8_t* pOut, uint32_t* pulOutLength,
                    uint32_t ulOutCapacity);

// Decryption. Update never writes the block that may turn out to be the last
// one; final deciphers it, checks the padding and writes it without the
// padding. Output must not overlap input.
Status decryptInit(AlgorithmObject* hAlg, const KeyObject* hKey, const MethodRegistry& registry);
Status decryptUpdate(AlgorithmObject* hAlg, uint8_t* pOut, uint32_t* pulOutLength,
                     uint32_t ulOutCapacity, const uint8_t* pIn, uint32_t ulInLength);
Status decryptFinal(AlgorithmObject* hAlg, uint8_t* pOut, uint32_t* pulOutLength,
                    uint32_t ulOutCapacity);

// Digests. The key object is not used and may be null.
Status digestInit(AlgorithmObject* hAlg, const KeyObject* hKey, const MethodRegistry& registry);
Status digestUpdate(AlgorithmObject* hAlg, const uint8_t* pIn, uint32_t ulInLength);
// Writes the digest (20 bytes for SHA-1, 16 for MD5) and reports its length.
Status digestFinal(AlgorithmObject* hAlg, uint8_t* pOut, uint32_t* pulOutLength,
                   uint32_t ulOutCapacity);

} // namespace nxr::toolkit
