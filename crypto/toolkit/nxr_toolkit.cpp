// Cipher toolkit over OpenSSL libcrypto. EVP does the block ciphers and the
// digests; the toolkit does the CBC padding itself (EVP runs without its own
// padding) so that it can hold back blocks and report padding faults with its
// own statuses.
#include "nxr_toolkit.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <new>

namespace nxr::toolkit {

namespace {

constexpr uint32_t kKeyMagic = 0x4E58524B;       // "NXRK"
constexpr uint32_t kAlgorithmMagic = 0x4E585241; // "NXRA"
constexpr uint32_t kMaxBlock = 16;

enum class Direction { Encrypt, Decrypt, Digest };

} // namespace

struct KeyObject {
    uint32_t magic = kKeyMagic;
    KeyKind kind{};
    uint8_t* pKey = nullptr; // null while the object holds no key
    uint32_t ulKeyLength = 0;
};

struct AlgorithmObject {
    enum class State { Empty, Ready, Encrypting, Decrypting, Digesting, Failed };

    uint32_t magic = kAlgorithmMagic;
    State state = State::Empty;
    AlgorithmKind kind{};
    uint8_t iv[kMaxBlock] = {};
    uint32_t ulBlock = 0; // cipher block size, 0 for digests
    // The cipher or digest context; which one depends on the description.
    EVP_CIPHER_CTX* pCipher = nullptr;
    EVP_MD_CTX* pDigest = nullptr;
    // Input not yet run through the cipher: the incomplete tail of the
    // plaintext when encrypting; when decrypting, up to one block of
    // ciphertext that may be the last block.
    uint8_t pending[kMaxBlock] = {};
    uint32_t ulPending = 0;
};

struct Method {
    AlgorithmKind algorithm;
    Direction direction;
    const KeyKind* pKeyKinds; // key kinds the method accepts
    uint32_t ulKeyKinds;
    // Ciphers: whether a key length fits, and the cipher for that length.
    // Digests have both null and pickDigest set.
    bool (*fitsKeyLength)(uint32_t ulKeyLength);
    const EVP_CIPHER* (*pickCipher)(uint32_t ulKeyLength);
    const EVP_MD* (*pickDigest)();
};

namespace {

// The library is started without reading the system's OpenSSL configuration:
// the toolkit names its algorithms itself and takes them from the default
// provider, so what a container holds never depends on a machine's settings,
// and a short run does not pay for parsing them.
bool startLibrary() {
    static const bool s_bStarted = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
    return s_bStarted;
}

// Fetched once per process: looking the algorithms up on every init would cost
// more than hashing a short input.
const EVP_CIPHER* fetchedCipher(const char* pName) {
    startLibrary();
    return EVP_CIPHER_fetch(nullptr, pName, nullptr);
}

const EVP_MD* fetchedDigest(const char* pName) {
    startLibrary();
    return EVP_MD_fetch(nullptr, pName, nullptr);
}

bool fitsAes(uint32_t ulKeyLength) {
    return ulKeyLength == 16 || ulKeyLength == 24 || ulKeyLength == 32;
}

bool fitsTripleDes(uint32_t ulKeyLength) {
    return ulKeyLength == 24;
}

const EVP_CIPHER* aesCbc(uint32_t ulKeyLength) {
    static const EVP_CIPHER* const s_aes128 = fetchedCipher("AES-128-CBC");
    static const EVP_CIPHER* const s_aes192 = fetchedCipher("AES-192-CBC");
    static const EVP_CIPHER* const s_aes256 = fetchedCipher("AES-256-CBC");
    return ulKeyLength == 16 ? s_aes128 : ulKeyLength == 24 ? s_aes192 : s_aes256;
}

const EVP_CIPHER* tripleDesCbc(uint32_t) {
    static const EVP_CIPHER* const s_ede3 = fetchedCipher("DES-EDE3-CBC");
    return s_ede3;
}

const EVP_MD* sha1() {
    static const EVP_MD* const s_md = fetchedDigest("SHA1");
    return s_md;
}

const EVP_MD* md5() {
    static const EVP_MD* const s_md = fetchedDigest("MD5");
    return s_md;
}

constexpr KeyKind kAesKeyKinds[] = {KeyKind::Aes256, KeyKind::Raw16, KeyKind::Raw24,
                                    KeyKind::Data};
// The Triple-DES kind hands its checked bytes on as raw 24-byte key bytes.
constexpr KeyKind kTripleDesKeyKinds[] = {KeyKind::TripleDes, KeyKind::Raw24};

constexpr Method kSha1Method{AlgorithmKind::Sha1, Direction::Digest, nullptr, 0,
                             nullptr,             nullptr,           sha1};
constexpr Method kMd5Method{AlgorithmKind::Md5, Direction::Digest, nullptr, 0,
                            nullptr,            nullptr,           md5};
constexpr Method kTripleDesEncrypt{AlgorithmKind::TripleDesCbcPad, Direction::Encrypt,
                                   kTripleDesKeyKinds, 2, fitsTripleDes, tripleDesCbc, nullptr};
constexpr Method kTripleDesDecrypt{AlgorithmKind::TripleDesCbcPad, Direction::Decrypt,
                                   kTripleDesKeyKinds, 2, fitsTripleDes, tripleDesCbc, nullptr};
constexpr Method kAesEncrypt{AlgorithmKind::Aes256CbcPad, Direction::Encrypt, kAesKeyKinds, 4,
                             fitsAes, aesCbc, nullptr};
constexpr Method kAesDecrypt{AlgorithmKind::Aes256CbcPad, Direction::Decrypt, kAesKeyKinds, 4,
                             fitsAes, aesCbc, nullptr};

constexpr const Method* kRegistryEntries[] = {&kSha1Method,       &kMd5Method, &kTripleDesEncrypt,
                                              &kTripleDesDecrypt, &kAesEncrypt, &kAesDecrypt};
constexpr MethodRegistry kRegistry{kRegistryEntries, 6};

// DES keys that are weak or semi-weak, compared after parity forcing.
constexpr uint8_t kWeakDesKeys[16][8] = {
    {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01},
    {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE},
    {0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F},
    {0xE0, 0xE0, 0xE0, 0xE0, 0xE0, 0xE0, 0xE0, 0xE0},
    {0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE},
    {0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01},
    {0x1F, 0xE0, 0x1F, 0xE0, 0x0E, 0xF1, 0x0E, 0xF1},
    {0xE0, 0x1F, 0xE0, 0x1F, 0xF1, 0x0E, 0xF1, 0x0E},
    {0x01, 0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1},
    {0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1, 0x01},
    {0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E, 0xFE},
    {0xFE, 0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E},
    {0x01, 0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E},
    {0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E, 0x01},
    {0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1, 0xFE},
    {0xFE, 0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1},
};

bool isLive(const KeyObject* hKey) {
    return hKey != nullptr && hKey->magic == kKeyMagic;
}

bool isLive(const AlgorithmObject* hAlg) {
    return hAlg != nullptr && hAlg->magic == kAlgorithmMagic;
}

void wipeKey(KeyObject* hKey) {
    if (hKey->pKey != nullptr) {
        OPENSSL_cleanse(hKey->pKey, hKey->ulKeyLength);
        delete[] hKey->pKey;
    }
    hKey->pKey = nullptr;
    hKey->ulKeyLength = 0;
}

void clearPending(AlgorithmObject* hAlg) {
    OPENSSL_cleanse(hAlg->pending, sizeof hAlg->pending);
    hAlg->ulPending = 0;
}

// Keeps the top seven bits of each byte and sets the lowest so that the byte
// has an odd number of one bits.
void forceOddParity(uint8_t* pKey, uint32_t ulLength) {
    for (uint32_t i = 0; i < ulLength; ++i) {
        const uint8_t top = static_cast<uint8_t>(pKey[i] & 0xFE);
        pKey[i] = static_cast<uint8_t>(top | ((std::popcount(top) & 1) == 0 ? 1 : 0));
    }
}

bool isWeakDesKey(const uint8_t* pKey) {
    for (const auto& row : kWeakDesKeys) {
        if (std::memcmp(row, pKey, sizeof row) == 0) {
            return true;
        }
    }
    return false;
}

Status expectedKeyLength(KeyKind kind, uint32_t& ulLength) {
    switch (kind) {
    case KeyKind::Aes256: ulLength = 32; return kOk;
    case KeyKind::TripleDes: ulLength = 24; return kOk;
    case KeyKind::Raw16: ulLength = 16; return kOk;
    case KeyKind::Raw24: ulLength = 24; return kOk;
    case KeyKind::Data: ulLength = 0; return kOk; // any non-zero length
    }
    return kBadParameter;
}

const Method* findMethod(const MethodRegistry& registry, AlgorithmKind algorithm,
                         Direction direction, const KeyObject* hKey) {
    for (uint32_t i = 0; i < registry.count; ++i) {
        const Method* pMethod = registry.entries[i];
        if (pMethod == nullptr || pMethod->algorithm != algorithm ||
            pMethod->direction != direction) {
            continue;
        }
        if (direction == Direction::Digest) {
            return pMethod;
        }
        if (hKey->pKey == nullptr) {
            continue;
        }
        const KeyKind* pEnd = pMethod->pKeyKinds + pMethod->ulKeyKinds;
        if (std::find(pMethod->pKeyKinds, pEnd, hKey->kind) != pEnd) {
            return pMethod;
        }
    }
    return nullptr;
}

Status cipherInit(AlgorithmObject* hAlg, const KeyObject* hKey, const MethodRegistry& registry,
                  Direction direction) {
    if (!isLive(hAlg)) {
        return kBadAlgorithmObject;
    }
    if (!isLive(hKey)) {
        return kBadKeyObject;
    }
    if (hAlg->state == AlgorithmObject::State::Empty) {
        return kWrongState;
    }
    clearPending(hAlg);
    hAlg->state = AlgorithmObject::State::Failed;

    const Method* pMethod = findMethod(registry, hAlg->kind, direction, hKey);
    if (pMethod == nullptr) {
        return kNoMethod;
    }
    if (!pMethod->fitsKeyLength(hKey->ulKeyLength)) {
        return kBadKeyLength;
    }
    const EVP_CIPHER* pCipher = pMethod->pickCipher(hKey->ulKeyLength);
    if (pCipher == nullptr) {
        return kLibraryFailure;
    }
    if (hAlg->pCipher == nullptr) {
        hAlg->pCipher = EVP_CIPHER_CTX_new();
        if (hAlg->pCipher == nullptr) {
            return kNoMemory;
        }
    }
    const int enc = direction == Direction::Encrypt ? 1 : 0;
    if (EVP_CipherInit_ex2(hAlg->pCipher, pCipher, hKey->pKey, hAlg->iv, enc, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(hAlg->pCipher, 0) != 1) {
        return kLibraryFailure;
    }
    hAlg->state = direction == Direction::Encrypt ? AlgorithmObject::State::Encrypting
                                                  : AlgorithmObject::State::Decrypting;
    return kOk;
}

// Runs whole blocks through the cipher context. EVP counts in int, so long
// runs go in slices.
bool cipherBlocks(EVP_CIPHER_CTX* pCtx, uint8_t* pOut, const uint8_t* pIn, uint32_t ulLength) {
    constexpr uint32_t kSlice = 1u << 30; // a multiple of every block size
    while (ulLength > 0) {
        const uint32_t ulPart = std::min(ulLength, kSlice);
        int written = 0;
        if (EVP_CipherUpdate(pCtx, pOut, &written, pIn, static_cast<int>(ulPart)) != 1 ||
            static_cast<uint32_t>(written) != ulPart) {
            return false;
        }
        pOut += ulPart;
        pIn += ulPart;
        ulLength -= ulPart;
    }
    return true;
}

Status cipherUpdate(AlgorithmObject* hAlg, AlgorithmObject::State expected, uint8_t* pOut,
                    uint32_t* pulOutLength, uint32_t ulOutCapacity, const uint8_t* pIn,
                    uint32_t ulInLength) {
    if (!isLive(hAlg)) {
        return kBadAlgorithmObject;
    }
    if (pulOutLength == nullptr || (pIn == nullptr && ulInLength > 0)) {
        return kBadArgument;
    }
    *pulOutLength = 0;
    if (hAlg->state != expected) {
        return kWrongState;
    }
    const uint32_t ulBlock = hAlg->ulBlock;
    const uint64_t ullTotal = uint64_t{hAlg->ulPending} + ulInLength;
    uint64_t ullKeep = ullTotal % ulBlock;
    if (ullKeep == 0 && ullTotal > 0 && expected == AlgorithmObject::State::Decrypting) {
        ullKeep = ulBlock; // this block may be the last one
    }
    const uint64_t ullWrite = ullTotal - ullKeep;
    if (ullWrite > ulOutCapacity) {
        hAlg->state = AlgorithmObject::State::Failed;
        return kOutputTooSmall;
    }
    if (ullWrite > 0 && pOut == nullptr) {
        hAlg->state = AlgorithmObject::State::Failed;
        return kBadArgument;
    }

    uint32_t ulWritten = 0;
    uint32_t ulConsumed = 0;
    if (ullWrite > 0 && hAlg->ulPending > 0) {
        // Complete the held block from the input and run it first.
        ulConsumed = ulBlock - hAlg->ulPending;
        std::memcpy(hAlg->pending + hAlg->ulPending, pIn, ulConsumed);
        if (!cipherBlocks(hAlg->pCipher, pOut, hAlg->pending, ulBlock)) {
            clearPending(hAlg);
            hAlg->state = AlgorithmObject::State::Failed;
            return kLibraryFailure;
        }
        clearPending(hAlg);
        ulWritten = ulBlock;
    }
    const uint32_t ulBulk = static_cast<uint32_t>(ullWrite) - ulWritten;
    if (!cipherBlocks(hAlg->pCipher, pOut + ulWritten, pIn + ulConsumed, ulBulk)) {
        clearPending(hAlg);
        hAlg->state = AlgorithmObject::State::Failed;
        return kLibraryFailure;
    }
    ulWritten += ulBulk;
    ulConsumed += ulBulk;
    const uint32_t ulRest = ulInLength - ulConsumed;
    if (ulRest > 0) {
        std::memcpy(hAlg->pending + hAlg->ulPending, pIn + ulConsumed, ulRest);
        hAlg->ulPending += ulRest;
    }
    *pulOutLength = ulWritten;
    return kOk;
}

Status checkFinalArgs(AlgorithmObject* hAlg, AlgorithmObject::State expected,
                      uint32_t* pulOutLength) {
    if (!isLive(hAlg)) {
        return kBadAlgorithmObject;
    }
    if (pulOutLength == nullptr) {
        return kBadArgument;
    }
    *pulOutLength = 0;
    return hAlg->state == expected ? kOk : kWrongState;
}

} // namespace

const MethodRegistry& methodRegistry() {
    return kRegistry;
}

Status createKeyObject(KeyObject** phKey) {
    if (phKey == nullptr) {
        return kBadArgument;
    }
    *phKey = new (std::nothrow) KeyObject;
    return *phKey != nullptr ? kOk : kNoMemory;
}

Status setKeyInfo(KeyObject* hKey, KeyKind kind, const uint8_t* pData, uint32_t ulLength) {
    if (!isLive(hKey)) {
        return kBadKeyObject;
    }
    wipeKey(hKey);
    uint32_t ulExpected = 0;
    if (expectedKeyLength(kind, ulExpected) != kOk) {
        return kBadParameter;
    }
    if (ulLength == 0 || (ulExpected != 0 && ulLength != ulExpected)) {
        return kBadKeyLength;
    }
    if (pData == nullptr) {
        return kBadArgument;
    }
    uint8_t* pCopy = new (std::nothrow) uint8_t[ulLength];
    if (pCopy == nullptr) {
        return kNoMemory;
    }
    std::memcpy(pCopy, pData, ulLength);
    if (kind == KeyKind::TripleDes) {
        forceOddParity(pCopy, ulLength);
        for (uint32_t ulThird = 0; ulThird < ulLength; ulThird += 8) {
            if (isWeakDesKey(pCopy + ulThird)) {
                OPENSSL_cleanse(pCopy, ulLength);
                delete[] pCopy;
                return kWeakKey;
            }
        }
    }
    hKey->kind = kind;
    hKey->pKey = pCopy;
    hKey->ulKeyLength = ulLength;
    return kOk;
}

Status destroyKeyObject(KeyObject** phKey) {
    if (phKey == nullptr || *phKey == nullptr) {
        return kOk;
    }
    KeyObject* hKey = *phKey;
    if (!isLive(hKey)) {
        return kBadKeyObject;
    }
    wipeKey(hKey);
    hKey->magic = 0;
    delete hKey;
    *phKey = nullptr;
    return kOk;
}

Status createAlgorithmObject(AlgorithmObject** phAlg) {
    if (phAlg == nullptr) {
        return kBadArgument;
    }
    *phAlg = new (std::nothrow) AlgorithmObject;
    return *phAlg != nullptr ? kOk : kNoMemory;
}

Status setAlgorithmInfo(AlgorithmObject* hAlg, AlgorithmKind kind, const uint8_t* pParam,
                        uint32_t ulParamLength) {
    if (!isLive(hAlg)) {
        return kBadAlgorithmObject;
    }
    if (hAlg->state != AlgorithmObject::State::Empty) {
        return kWrongState;
    }
    uint32_t ulBlock = 0;
    switch (kind) {
    case AlgorithmKind::Aes256CbcPad: ulBlock = 16; break;
    case AlgorithmKind::TripleDesCbcPad: ulBlock = 8; break;
    case AlgorithmKind::Sha1:
    case AlgorithmKind::Md5: ulBlock = 0; break;
    default: return kBadParameter;
    }
    // The IV is exactly one block; digests take no parameter.
    if (ulParamLength != ulBlock) {
        return kBadParameter;
    }
    if (ulBlock > 0 && pParam == nullptr) {
        return kBadArgument;
    }
    if (ulBlock > 0) {
        std::memcpy(hAlg->iv, pParam, ulBlock);
    }
    hAlg->kind = kind;
    hAlg->ulBlock = ulBlock;
    hAlg->state = AlgorithmObject::State::Ready;
    return kOk;
}

Status destroyAlgorithmObject(AlgorithmObject** phAlg) {
    if (phAlg == nullptr || *phAlg == nullptr) {
        return kOk;
    }
    AlgorithmObject* hAlg = *phAlg;
    if (!isLive(hAlg)) {
        return kBadAlgorithmObject;
    }
    // Freeing the contexts wipes the key schedules and digest state they hold.
    EVP_CIPHER_CTX_free(hAlg->pCipher);
    EVP_MD_CTX_free(hAlg->pDigest);
    clearPending(hAlg);
    OPENSSL_cleanse(hAlg->iv, sizeof hAlg->iv);
    hAlg->magic = 0;
    delete hAlg;
    *phAlg = nullptr;
    return kOk;
}

Status encryptInit(AlgorithmObject* hAlg, const KeyObject* hKey, const MethodRegistry& registry) {
    return cipherInit(hAlg, hKey, registry, Direction::Encrypt);
}

Status encryptUpdate(AlgorithmObject* hAlg, uint8_t* pOut, uint32_t* pulOutLength,
                     uint32_t ulOutCapacity, const uint8_t* pIn, uint32_t ulInLength) {
    return cipherUpdate(hAlg, AlgorithmObject::State::Encrypting, pOut, pulOutLength,
                        ulOutCapacity, pIn, ulInLength);
}

Status encryptFinal(AlgorithmObject* hAlg, uint8_t* pOut, uint32_t* pulOutLength,
                    uint32_t ulOutCapacity) {
    const Status status = checkFinalArgs(hAlg, AlgorithmObject::State::Encrypting, pulOutLength);
    if (status != kOk) {
        return status;
    }
    const uint32_t ulBlock = hAlg->ulBlock;
    if (ulOutCapacity < ulBlock || pOut == nullptr) {
        clearPending(hAlg);
        hAlg->state = AlgorithmObject::State::Failed;
        return ulOutCapacity < ulBlock ? kOutputTooSmall : kBadArgument;
    }
    // The held tail is always shorter than a block, so 1 <= p <= B.
    const uint8_t p = static_cast<uint8_t>(ulBlock - hAlg->ulPending);
    std::memset(hAlg->pending + hAlg->ulPending, p, p);
    const bool ok = cipherBlocks(hAlg->pCipher, pOut, hAlg->pending, ulBlock);
    clearPending(hAlg);
    if (!ok) {
        hAlg->state = AlgorithmObject::State::Failed;
        return kLibraryFailure;
    }
    hAlg->state = AlgorithmObject::State::Ready;
    *pulOutLength = ulBlock;
    return kOk;
}

Status decryptInit(AlgorithmObject* hAlg, const KeyObject* hKey, const MethodRegistry& registry) {
    return cipherInit(hAlg, hKey, registry, Direction::Decrypt);
}

Status decryptUpdate(AlgorithmObject* hAlg, uint8_t* pOut, uint32_t* pulOutLength,
                     uint32_t ulOutCapacity, const uint8_t* pIn, uint32_t ulInLength) {
    return cipherUpdate(hAlg, AlgorithmObject::State::Decrypting, pOut, pulOutLength,
                        ulOutCapacity, pIn, ulInLength);
}

Status decryptFinal(AlgorithmObject* hAlg, uint8_t* pOut, uint32_t* pulOutLength,
                    uint32_t ulOutCapacity) {
    const Status status = checkFinalArgs(hAlg, AlgorithmObject::State::Decrypting, pulOutLength);
    if (status != kOk) {
        return status;
    }
    const uint32_t ulBlock = hAlg->ulBlock;
    hAlg->state = AlgorithmObject::State::Failed;
    if (hAlg->ulPending != ulBlock) {
        clearPending(hAlg);
        return kIncompleteBlock;
    }
    uint8_t last[kMaxBlock];
    const bool ok = cipherBlocks(hAlg->pCipher, last, hAlg->pending, ulBlock);
    clearPending(hAlg);
    Status result = kOk;
    uint32_t ulData = 0;
    if (!ok) {
        result = kLibraryFailure;
    } else {
        const uint8_t p = last[ulBlock - 1];
        bool padOk = p >= 1 && p <= ulBlock;
        if (padOk) {
            ulData = ulBlock - p;
            padOk = std::all_of(last + ulData, last + ulBlock, [p](uint8_t b) { return b == p; });
        }
        if (!padOk) {
            result = kBadPadding;
        } else if (ulData > ulOutCapacity) {
            result = kOutputTooSmall;
        } else if (ulData > 0 && pOut == nullptr) {
            result = kBadArgument;
        }
    }
    if (result == kOk) {
        if (ulData > 0) {
            std::memcpy(pOut, last, ulData);
        }
        *pulOutLength = ulData;
        hAlg->state = AlgorithmObject::State::Ready;
    }
    OPENSSL_cleanse(last, sizeof last);
    return result;
}

Status digestInit(AlgorithmObject* hAlg, const KeyObject* hKey, const MethodRegistry& registry) {
    if (!isLive(hAlg)) {
        return kBadAlgorithmObject;
    }
    if (hKey != nullptr && !isLive(hKey)) {
        return kBadKeyObject;
    }
    if (hAlg->state == AlgorithmObject::State::Empty) {
        return kWrongState;
    }
    hAlg->state = AlgorithmObject::State::Failed;
    const Method* pMethod = findMethod(registry, hAlg->kind, Direction::Digest, hKey);
    if (pMethod == nullptr) {
        return kNoMethod;
    }
    const EVP_MD* pMd = pMethod->pickDigest();
    if (pMd == nullptr) {
        return kLibraryFailure;
    }
    if (hAlg->pDigest == nullptr) {
        hAlg->pDigest = EVP_MD_CTX_new();
        if (hAlg->pDigest == nullptr) {
            return kNoMemory;
        }
    }
    if (EVP_DigestInit_ex2(hAlg->pDigest, pMd, nullptr) != 1) {
        return kLibraryFailure;
    }
    hAlg->state = AlgorithmObject::State::Digesting;
    return kOk;
}

Status digestUpdate(AlgorithmObject* hAlg, const uint8_t* pIn, uint32_t ulInLength) {
    if (!isLive(hAlg)) {
        return kBadAlgorithmObject;
    }
    if (pIn == nullptr && ulInLength > 0) {
        return kBadArgument;
    }
    if (hAlg->state != AlgorithmObject::State::Digesting) {
        return kWrongState;
    }
    if (EVP_DigestUpdate(hAlg->pDigest, pIn, ulInLength) != 1) {
        hAlg->state = AlgorithmObject::State::Failed;
        return kLibraryFailure;
    }
    return kOk;
}

Status digestFinal(AlgorithmObject* hAlg, uint8_t* pOut, uint32_t* pulOutLength,
                   uint32_t ulOutCapacity) {
    const Status status = checkFinalArgs(hAlg, AlgorithmObject::State::Digesting, pulOutLength);
    if (status != kOk) {
        return status;
    }
    hAlg->state = AlgorithmObject::State::Failed;
    const int size = EVP_MD_CTX_get_size(hAlg->pDigest);
    if (size <= 0) {
        return kLibraryFailure;
    }
    const uint32_t ulSize = static_cast<uint32_t>(size);
    if (ulSize > ulOutCapacity) {
        return kOutputTooSmall;
    }
    if (pOut == nullptr) {
        return kBadArgument;
    }
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(hAlg->pDigest, pOut, &written) != 1 || written != ulSize) {
        return kLibraryFailure;
    }
    *pulOutLength = ulSize;
    hAlg->state = AlgorithmObject::State::Ready;
    return kOk;
}

} // namespace nxr::toolkit
