#include "nxr_symkey_cipher.h"

#include "nxr_exceptions.h"
#include "nxr_securebuffer.h"

#include <algorithm>
#include <utility>

namespace nxr {

namespace {

// Toolkit objects live for one run; the holders destroy them (the toolkit
// wipes them) whether the run ends normally or by an exception.
class CKeyObjectHolder {
public:
    CKeyObjectHolder() = default;
    ~CKeyObjectHolder() { toolkit::destroyKeyObject(&m_hKey); }
    CKeyObjectHolder(const CKeyObjectHolder&) = delete;
    CKeyObjectHolder& operator=(const CKeyObjectHolder&) = delete;
    toolkit::KeyObject** address() { return &m_hKey; }
    toolkit::KeyObject* get() const { return m_hKey; }

private:
    toolkit::KeyObject* m_hKey = nullptr;
};

class CAlgorithmObjectHolder {
public:
    CAlgorithmObjectHolder() = default;
    ~CAlgorithmObjectHolder() { toolkit::destroyAlgorithmObject(&m_hAlgorithm); }
    CAlgorithmObjectHolder(const CAlgorithmObjectHolder&) = delete;
    CAlgorithmObjectHolder& operator=(const CAlgorithmObjectHolder&) = delete;
    toolkit::AlgorithmObject** address() { return &m_hAlgorithm; }
    toolkit::AlgorithmObject* get() const { return m_hAlgorithm; }

private:
    toolkit::AlgorithmObject* m_hAlgorithm = nullptr;
};

void check(toolkit::Status status, const std::source_location& where)
{
    if (status != toolkit::kOk)
        throw CSymKeyBsafeException(where.file_name(), where.line(), static_cast<uint32_t>(status));
}

} // namespace

uint32_t runSymKeyCipher(CipherDirection direction, const CSymKeyCipher& cipher, const NXR_BYTE* pKey,
                         uint32_t ulKeyLength, const NXR_BYTE* pIn, uint32_t ulInLength, NXR_BYTE* pOut,
                         uint32_t ulOutCapacity, std::source_location where)
{
    const NXR_BYTE iv[16] = {};
    const bool bEncrypt = direction == CipherDirection::Encrypt;

    CKeyObjectHolder key;
    check(toolkit::createKeyObject(key.address()), where);
    check(toolkit::setKeyInfo(key.get(), cipher.keyKind, pKey, ulKeyLength), where);

    CAlgorithmObjectHolder algorithm;
    check(toolkit::createAlgorithmObject(algorithm.address()), where);
    check(toolkit::setAlgorithmInfo(algorithm.get(), cipher.algorithmKind, iv, cipher.ulBlockSize), where);

    const toolkit::MethodRegistry& registry = toolkit::methodRegistry();
    check(bEncrypt ? toolkit::encryptInit(algorithm.get(), key.get(), registry)
                   : toolkit::decryptInit(algorithm.get(), key.get(), registry),
          where);

    uint32_t ulFirst = 0;
    check(bEncrypt ? toolkit::encryptUpdate(algorithm.get(), pOut, &ulFirst, ulOutCapacity, pIn, ulInLength)
                   : toolkit::decryptUpdate(algorithm.get(), pOut, &ulFirst, ulOutCapacity, pIn, ulInLength),
          where);

    uint32_t ulSecond = 0;
    NXR_BYTE* pRest = pOut + ulFirst;
    check(bEncrypt ? toolkit::encryptFinal(algorithm.get(), pRest, &ulSecond, ulOutCapacity - ulFirst)
                   : toolkit::decryptFinal(algorithm.get(), pRest, &ulSecond, ulOutCapacity - ulFirst),
          where);
    return ulFirst + ulSecond;
}

CSymKeyStream::CSymKeyStream(CipherDirection direction, const CSymKeyCipher& cipher, const NXR_BYTE* pKey,
                             uint32_t ulKeyLength, const NXR_BYTE* pIv, std::source_location where)
    : m_bEncrypt(direction == CipherDirection::Encrypt), m_ulBlockSize(cipher.ulBlockSize), m_where(where)
{
    const NXR_BYTE zeroIv[16] = {};
    try {
        check(toolkit::createKeyObject(&m_hKey));
        check(toolkit::setKeyInfo(m_hKey, cipher.keyKind, pKey, ulKeyLength));
        check(toolkit::createAlgorithmObject(&m_hAlgorithm));
        check(toolkit::setAlgorithmInfo(m_hAlgorithm, cipher.algorithmKind, pIv ? pIv : zeroIv, cipher.ulBlockSize));
        const toolkit::MethodRegistry& registry = toolkit::methodRegistry();
        check(m_bEncrypt ? toolkit::encryptInit(m_hAlgorithm, m_hKey, registry)
                         : toolkit::decryptInit(m_hAlgorithm, m_hKey, registry));
    } catch (...) {
        toolkit::destroyAlgorithmObject(&m_hAlgorithm);
        toolkit::destroyKeyObject(&m_hKey);
        throw;
    }
}

CSymKeyStream::~CSymKeyStream()
{
    toolkit::destroyAlgorithmObject(&m_hAlgorithm);
    toolkit::destroyKeyObject(&m_hKey);
}

void CSymKeyStream::check(int32_t status) const { nxr::check(status, m_where); }

uint32_t CSymKeyStream::update(const NXR_BYTE* pIn, uint32_t ulIn, NXR_BYTE* pOut, uint32_t ulOutCapacity)
{
    uint32_t ulWritten = 0;
    check(m_bEncrypt ? toolkit::encryptUpdate(m_hAlgorithm, pOut, &ulWritten, ulOutCapacity, pIn, ulIn)
                     : toolkit::decryptUpdate(m_hAlgorithm, pOut, &ulWritten, ulOutCapacity, pIn, ulIn));
    return ulWritten;
}

uint32_t CSymKeyStream::final(NXR_BYTE* pOut, uint32_t ulOutCapacity)
{
    uint32_t ulWritten = 0;
    check(m_bEncrypt ? toolkit::encryptFinal(m_hAlgorithm, pOut, &ulWritten, ulOutCapacity)
                     : toolkit::decryptFinal(m_hAlgorithm, pOut, &ulWritten, ulOutCapacity));
    return ulWritten;
}

namespace {

// Replaces output with the first ulLength bytes of work, which it takes over
// (cut in place, not copied); with 0 bytes output is emptied.
void deliverOutput(CNXRBuffer<NXR_BYTE>&& work, uint32_t ulLength, CNXRBuffer<NXR_BYTE>& output,
                   const std::source_location& where)
{
    if (ulLength == 0) {
        output.flush();
        return;
    }
    if (ulLength > work.getNumElems() || !work.reAllocBuffer(ulLength))
        throw CMemAllocException(u"output", where.file_name(), where.line());
    output = std::move(work);
    // A secure buffer holds the bytes enciphered, in a block of its own size.
    const auto* pSecure = dynamic_cast<const CNXRSecureBuffer<NXR_BYTE>*>(&output);
    if ((pSecure ? pSecure->getPlainLength() : output.getNumElems()) != ulLength)
        throw CMemAllocException(u"output", where.file_name(), where.line());
}

void requireKeyLength(const CNXRBuffer<NXR_BYTE>& key, uint32_t ulKeyLength, const std::source_location& where)
{
    if (key.getNumElems() != ulKeyLength)
        throw CSymKeyBadArg(where.file_name(), where.line());
}

} // namespace

void encryptWhole(const CNXRBuffer<NXR_BYTE>& key, uint32_t ulKeyLength, uint32_t ulBlockSize,
                  const CNXRBuffer<NXR_BYTE>& plain, CNXRBuffer<NXR_BYTE>& cipher, const CSymKeyRoutine& routine,
                  std::source_location where)
{
    requireKeyLength(key, ulKeyLength, where);
    const uint32_t ulPlain = plain.getNumElems();
    if (ulPlain > UINT32_MAX - ulBlockSize)
        throw CSymKeyBadArg(where.file_name(), where.line());
    CNXRBuffer<NXR_BYTE> work(ulPlain + ulBlockSize);
    uint32_t ulOut = work.getNumElems();
    if (!routine(ulPlain, plain.getBuffer(), ulOut, work.getBuffer()))
        throw CSymKeyUnhandledException(where.file_name(), where.line());
    deliverOutput(std::move(work), ulOut, cipher, where);
}

void decryptWhole(const CNXRBuffer<NXR_BYTE>& key, uint32_t ulKeyLength, const CNXRBuffer<NXR_BYTE>& cipher,
                  CNXRBuffer<NXR_BYTE>& plain, const CSymKeyRoutine& routine, std::source_location where)
{
    requireKeyLength(key, ulKeyLength, where);
    const uint32_t ulCipher = cipher.getNumElems();
    // The plaintext is never longer than the ciphertext. An empty ciphertext
    // still gets an output area, so that the toolkit judges it (525).
    CNXRBuffer<NXR_BYTE> work(std::max<uint32_t>(ulCipher, 1));
    uint32_t ulOut = ulCipher;
    if (!routine(ulCipher, cipher.getBuffer(), ulOut, work.getBuffer()))
        throw CSymKeyUnhandledException(where.file_name(), where.line());
    deliverOutput(std::move(work), ulOut, plain, where);
}

std::unique_ptr<CSymKeyStream> openSymKeyStream(CipherDirection direction, const CSymKeyCipher& cipher,
                                                const CNXRBuffer<NXR_BYTE>& key, uint32_t ulKeyLength,
                                                const NXR_BYTE* pIv, std::source_location where)
{
    requireKeyLength(key, ulKeyLength, where);
    return std::make_unique<CSymKeyStream>(direction, cipher, key.getBuffer(), ulKeyLength, pIv, where);
}

} // namespace nxr
