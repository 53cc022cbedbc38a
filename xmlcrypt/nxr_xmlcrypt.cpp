#include "nxr_xmlcrypt.h"

#include "_3deskey.h"
#include "aeskey.h"
#include "nxr_guard.h"
#include "nxr_os_error.h"
#include "nxr_os_file.h"
#include "nxr_os_random.h"
#include "xmlxercesvm.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <unistd.h>

namespace nxr {

const char16_t* g_pszBuiltInPassphrase = u"{3C7A9F12-B4E6-4a0b-9A5C-7E21D8F4B603}";
const char16_t* g_pszXmlSuffix = u".xml";
const char16_t* g_pszEncSuffix = u".enc";

namespace {

constexpr uint32_t HEADER_BYTES = 8;
constexpr uint32_t DERIVE_ITERATIONS = 10;
// Documents are read in pieces of this size, so the check can follow.
constexpr uint32_t READ_PIECE_BYTES = 4u << 20;

bool isKnownKeyMode(int32_t lKeyMode) { return lKeyMode >= 1 && lKeyMode <= 3; }

// Whether name ends with suffix, as found by a reverse search for its last
// occurrence.
bool endsWith(const CNXRWCharString& name, const CNXRWCharString& suffix)
{
    uint32_t ulPos = 0;
    if (!name.getSubStringPos(suffix, 1, CNXRWCharString::pmReverse, &ulPos))
        return false;
    return name.getLength() != 0 && suffix.getLength() != 0 && name.getLength() - ulPos == suffix.getLength();
}

// An open file handle that is closed when it goes out of scope. The owner
// closes it itself where a failed close matters.
class CFileGuard {
public:
    explicit CFileGuard(os::FileHandle hFile = os::kInvalidFile) : m_hFile(hFile) {}
    ~CFileGuard()
    {
        if (m_hFile != os::kInvalidFile)
            os::fileClose(m_hFile);
    }
    CFileGuard(const CFileGuard&) = delete;
    CFileGuard& operator=(const CFileGuard&) = delete;

    os::FileHandle get() const { return m_hFile; }
    bool isOpen() const { return m_hFile != os::kInvalidFile; }
    void reset(os::FileHandle hFile) { m_hFile = hFile; }
    // Closes now; false when the close reported an error.
    bool close()
    {
        const os::FileHandle h = m_hFile;
        m_hFile = os::kInvalidFile;
        return h == os::kInvalidFile || os::fileClose(h);
    }

private:
    os::FileHandle m_hFile;
};

// A temporary output beside its final name. Removed when it goes out of
// scope unless it was committed (renamed to the final name).
class CTempOutput {
public:
    explicit CTempOutput(const std::string& target) : m_target(target) {}
    ~CTempOutput()
    {
        m_file.close();
        if (!m_path.empty() && !m_bCommitted)
            os::fileUnlink(m_path);
    }
    CTempOutput(const CTempOutput&) = delete;
    CTempOutput& operator=(const CTempOutput&) = delete;

    // Creates a new, uniquely named file in the target's folder.
    bool create(uint32_t ulMode)
    {
        const auto slash = m_target.find_last_of('/');
        const std::string folder = slash == std::string::npos ? std::string() : m_target.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? m_target : m_target.substr(slash + 1);
        static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
        for (int attempt = 0; attempt < 100; ++attempt) {
            // Random where the kernel gives it; the process id and attempt
            // number keep names apart when it does not.
            uint8_t random[8] = {};
            os::genRandom(random, sizeof(random));
            std::string suffix = std::to_string(::getpid()) + "-" + std::to_string(attempt) + "-";
            for (const uint8_t b : random)
                suffix += digits[b % 36];
            const std::string path = folder + "." + base + "." + suffix + ".tmp";
            const os::FileHandle h = os::fileOpenWrite(path, os::FileDisposition::CreateNew, ulMode);
            if (h != os::kInvalidFile) {
                m_file.reset(h);
                m_path = path;
                return true;
            }
            if (os::getLastError() != EEXIST)
                return false;
        }
        return false;
    }
    os::FileHandle handle() const { return m_file.get(); }
    bool close() { return m_file.close(); }
    bool commit()
    {
        if (!os::fileRename(m_path, m_target))
            return false;
        m_bCommitted = true;
        return true;
    }

private:
    std::string m_target;
    std::string m_path;
    CFileGuard m_file;
    bool m_bCommitted = false;
};

// Makes the folder's entry for a renamed file durable; best effort.
void syncFolderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    CFileGuard dir(os::fileOpenRead(folder));
    if (dir.isOpen())
        os::fileSync(dir.get());
}

// Opens a file for reading without sharing (an exclusive lock) and learns its
// size; false when it cannot be opened or locked, or is 4 GiB or larger.
bool openForReading(const std::string& path, CFileGuard& file, os::FileInfo& info)
{
    file.reset(os::fileOpenRead(path));
    return file.isOpen() && os::fileLockExclusive(file.get()) && os::fileGetInfo(file.get(), info) &&
           info.ullSize <= 0xFFFFFFFFull;
}

// Closes a file that was read; a failed close is recorded, not thrown.
void closeAfterReading(CFileGuard& file, const CNXRWCharString& fileName)
{
    if (file.isOpen() && !file.close())
        CCloseHandleWarning(fileName.view(), __FILE__, __LINE__, os::getLastError());
}

// Whether a container's recorded document length fits the deciphered data. A
// length beyond it belongs to a damaged container or another program's: it
// is refused rather than padded. A length of 0 makes no document.
bool recordedLengthFits(uint32_t ulPlainLength, uint32_t ulAvailable)
{
    if (ulPlainLength == 0)
        NXR_THROW(CBadArgException, u"ulSize", u"value is 0");
    return ulPlainLength <= ulAvailable;
}

// The passphrase, as the bytes the key derivation takes: the UTF-16LE
// characters with their terminating zero. Mode 1 takes the built-in one.
bool passphraseBytes(int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase,
                     CNXRBuffer<NXR_BYTE>& bytes)
{
    CNXRSecureBuffer<NXR_USHORT> working(*pPassphrase);
    if (lKeyMode == 1) {
        const CNXRWCharString builtIn(g_pszBuiltInPassphrase);
        const CNXRSecureBuffer<NXR_USHORT> secure(builtIn.getBuffer(), builtIn.getLength() + 1, 0);
        working = secure;
    }
    if (!working.isValid())
        return false;
    bytes = working.asBuffer();
    return bytes.isValid();
}

// Builds the key of a mode from the passphrase; null for an unknown mode or
// a failed derivation.
std::unique_ptr<CSymKeyBase> deriveModeKey(int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    if (!isKnownKeyMode(lKeyMode) || pPassphrase == nullptr)
        return nullptr;
    CNXRBuffer<NXR_BYTE> bytes;
    if (!passphraseBytes(lKeyMode, pPassphrase, bytes))
        return nullptr;
    std::unique_ptr<CSymKeyBase> key;
    if (lKeyMode == 3)
        key = std::make_unique<C3DesKey>();
    else
        key = std::make_unique<CAesKey>();
    const CNXRBuffer<NXR_BYTE> salt;
    if (!key->deriveKey(bytes, salt, DERIVE_ITERATIONS))
        return nullptr;
    return key;
}


} // namespace

// The XML check of a document, on a thread of its own, following its bytes as
// they are read or deciphered; so the check overlaps reading, deciphering,
// enciphering and writing. Until started, it is idle and passes nothing.
class CArrivingCheck {
public:
    CArrivingCheck() = default;
    ~CArrivingCheck() { finish(); }
    CArrivingCheck(const CArrivingCheck&) = delete;
    CArrivingCheck& operator=(const CArrivingCheck&) = delete;

    // Starts the check of the ulTotal bytes that will arrive at pBase.
    void start(const NXR_BYTE* pBase, uint32_t ulTotal)
    {
        m_bytes.emplace(pBase, ulTotal);
        m_thread = std::jthread([this] {
            // Nothing may leave a thread: the wrapper's constructor throws
            // when it cannot get its memory, and that is only recorded.
            nxrGuardDtor([&] {
                CXmlXercesVM vm;
                m_bPassed = vm.checkXMLArriving(*m_bytes);
            });
        });
    }
    void publish(uint32_t ulReady)
    {
        if (m_bytes)
            m_bytes->publish(ulReady);
    }
    // No more bytes will come, whether or not all did.
    void finish()
    {
        if (m_bytes)
            m_bytes->finish();
    }
    // Waits for the check; whether the document passed.
    bool result()
    {
        finish();
        if (m_thread.joinable())
            m_thread.join();
        return m_bPassed;
    }

private:
    std::optional<CNXRArrivingBytes> m_bytes;
    bool m_bPassed = false;
    std::jthread m_thread; // last: joined before the bytes go
};

namespace {

// Waits for a check before a block it may still be reading is freed, unless
// the block was handed on (the buffer is empty then). Declared after the
// buffer, so that it goes first.
class CCheckBlockGuard {
public:
    CCheckBlockGuard(CArrivingCheck& check, const CNXRBuffer<NXR_BYTE>& block) : m_check(check), m_block(block) {}
    ~CCheckBlockGuard()
    {
        if (m_block.getNumElems() != 0)
            m_check.result();
    }
    CCheckBlockGuard(const CCheckBlockGuard&) = delete;
    CCheckBlockGuard& operator=(const CCheckBlockGuard&) = delete;

private:
    CArrivingCheck& m_check;
    const CNXRBuffer<NXR_BYTE>& m_block;
};

} // namespace

#define NXR_CRYPT_TRACE(method) NXR_TRACE(u"CNXRXmlCrypt", method)

CNXRXmlCrypt::CNXRXmlCrypt()
{
    NXR_CRYPT_TRACE(u"Default Constructor");
    nxrTrace.setResult(true);
}

CNXRXmlCrypt::~CNXRXmlCrypt()
{
    NXR_CRYPT_TRACE(u"Destructor");
    nxrTrace.setResult(true);
}

bool CNXRXmlCrypt::encryptXMLBuffer(const CNXRBuffer<NXR_BYTE>* pPlain, CNXRBuffer<NXR_BYTE>* pCipher,
                                    int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"encryptXMLBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        if (pPlain == nullptr || pCipher == nullptr)
            return false;
        const std::unique_ptr<CSymKeyBase> key = deriveModeKey(lKeyMode, pPassphrase);
        if (!key)
            return false;
        CNXRBuffer<NXR_BYTE> cipher;
        if (!key->encrypt(*pPlain, cipher))
            return false;
        const uint32_t ulCipher = cipher.getNumElems();
        *pCipher = std::move(cipher);
        return pCipher->getNumElems() == ulCipher;
    });
}

bool CNXRXmlCrypt::decryptXMLBuffer(const CNXRBuffer<NXR_BYTE>* pCipher, CNXRBuffer<NXR_BYTE>* pPlain,
                                    uint32_t ulPlainLength, int32_t lKeyMode,
                                    const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"decryptXMLBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        if (pCipher == nullptr || pPlain == nullptr)
            return false;
        const std::unique_ptr<CSymKeyBase> key = deriveModeKey(lKeyMode, pPassphrase);
        if (!key)
            return false;
        CNXRBuffer<NXR_BYTE> plain;
        if (!key->decrypt(*pCipher, plain))
            return false;
        if (!recordedLengthFits(ulPlainLength, plain.getNumElems()) || !plain.reAllocBuffer(ulPlainLength))
            return false;
        *pPlain = std::move(plain);
        return pPlain->getNumElems() == ulPlainLength;
    });
}

bool CNXRXmlCrypt::getFileBuffer(CNXRWCharString fileName, CNXRBuffer<NXR_BYTE>* pBuffer)
{
    CArrivingCheck noCheck;
    return pBuffer != nullptr && readFile(fileName, *pBuffer, noCheck);
}

bool CNXRXmlCrypt::readFile(const CNXRWCharString& fileName, CNXRBuffer<NXR_BYTE>& data, CArrivingCheck& check)
{
    NXR_CRYPT_TRACE(u"getFileBuffer");
    const std::string path = fileName.toUtf8();
    CFileGuard file;
    const bool bRead = nxrGuard(nxrTrace, false, [&] {
        os::FileInfo info;
        if (!openForReading(path, file, info))
            return false;
        const uint32_t ulSize = static_cast<uint32_t>(info.ullSize);
        CNXRBuffer<NXR_BYTE> contents(ulSize);
        check.start(contents.getBuffer(), ulSize);
        const CCheckBlockGuard guard(check, contents);
        // In pieces, so that the check can follow the reading.
        for (uint32_t ulDone = 0; ulDone < ulSize;) {
            const uint32_t ulPiece = std::min(ulSize - ulDone, READ_PIECE_BYTES);
            size_t ulRead = 0;
            if (!os::fileRead(file.get(), contents.getBuffer() + ulDone, ulPiece, ulRead) || ulRead != ulPiece)
                return false;
            ulDone += ulPiece;
            check.publish(ulDone);
        }
        data = std::move(contents);
        return data.getNumElems() == ulSize;
    });
    check.finish();
    closeAfterReading(file, fileName);
    return nxrTrace.setResult(bRead);
}

bool CNXRXmlCrypt::canReadFile(const CNXRWCharString& fileName, uint32_t& ulPermissions)
{
    NXR_CRYPT_TRACE(u"canReadFile");
    return nxrGuard(nxrTrace, false, [&] {
        CFileGuard file;
        os::FileInfo info;
        if (!openForReading(fileName.toUtf8(), file, info) || !info.bRegular)
            return false;
        uint8_t probe = 0;
        size_t ulRead = 0;
        if (!os::fileRead(file.get(), &probe, info.ullSize ? 1 : 0, ulRead))
            return false;
        ulPermissions = info.ulMode & 0777;
        return true;
    });
}

bool CNXRXmlCrypt::flushBufferToDisk(CNXRWCharString fileName, const CNXRBuffer<NXR_BYTE>* pData,
                                     uint32_t ulPermissions)
{
    return writeFile(fileName, {pData}, ulPermissions, CommitGate());
}

bool CNXRXmlCrypt::writeFile(const CNXRWCharString& fileName,
                             std::initializer_list<const CNXRBuffer<NXR_BYTE>*> parts, uint32_t ulPermissions,
                             const CommitGate& gate)
{
    NXR_CRYPT_TRACE(u"flushBufferToDisk");
    return nxrGuard(nxrTrace, false, [&] {
        for (const CNXRBuffer<NXR_BYTE>* pPart : parts)
            if (pPart == nullptr)
                return false;
        os::ignoreFileSizeSignal();
        const std::string path = fileName.toUtf8();

        // An existing file of that name is locked for the whole write, so a
        // second writer fails as it would on a file opened without sharing.
        CFileGuard existing;
        if (os::pathExists(path)) {
            existing.reset(os::fileOpenRead(path));
            if (!existing.isOpen() || !os::fileLockExclusive(existing.get()))
                NXR_THROW_CODE(CCreateFileException, os::getLastError(), fileName.view());
        }

        CTempOutput output(path);
        if (!output.create(ulPermissions & 0777))
            NXR_THROW_CODE(CCreateFileException, os::getLastError(), fileName.view());
        bool bWritten = true;
        for (const CNXRBuffer<NXR_BYTE>* pPart : parts)
            bWritten = bWritten && os::fileWriteAll(output.handle(), pPart->getBuffer(), pPart->getNumElems());
        if (!bWritten || !os::fileSync(output.handle())) {
            const uint32_t ulError = os::getLastError();
            output.close();
            NXR_THROW_CODE(CWriteFileException, ulError, fileName.view());
        }
        if (!output.close())
            return false;
        if (gate && !gate())
            return false;
        if (!output.commit())
            NXR_THROW_CODE(CWriteFileException, os::getLastError(), fileName.view());
        syncFolderOf(path);
        return true;
    });
}

bool CNXRXmlCrypt::readContainer(const CNXRWCharString& fileName, CNXRBuffer<NXR_BYTE>& document,
                                 const CNXRSecureBuffer<NXR_USHORT>* pPassphrase, CArrivingCheck& check)
{
    NXR_CRYPT_TRACE(u"getFileBuffer");
    const std::string path = fileName.toUtf8();
    CFileGuard file;
    const bool bRead = nxrGuard(nxrTrace, false, [&] {
        os::FileInfo info;
        if (!openForReading(path, file, info))
            return false;
        NXR_BYTE header[HEADER_BYTES] = {};
        size_t ulRead = 0;
        if (!os::fileRead(file.get(), header, HEADER_BYTES, ulRead))
            return false;
        // Too short to hold a header, or a header with no ciphertext behind
        // it: not a container.
        if (ulRead < HEADER_BYTES)
            NXR_THROW(CIndexOutOfBoundsException);
        if (info.ullSize <= HEADER_BYTES)
            NXR_THROW(CBadArgException, u"ulSize", u"value is 0");
        const int32_t lKeyMode = header[0];
        const uint32_t ulPlainLength = uint32_t(header[4]) | uint32_t(header[5]) << 8 |
                                       uint32_t(header[6]) << 16 | uint32_t(header[7]) << 24;
        const uint32_t ulCipher = static_cast<uint32_t>(info.ullSize) - HEADER_BYTES;
        CNXRBuffer<NXR_BYTE> cipher(ulCipher);
        uint32_t ulCipherRead = 0;
        const CSymKeyPieces pieces{
            [&](uint32_t ulEnd) {
                size_t ulGot = 0;
                const bool bGot = os::fileRead(file.get(), cipher.getBuffer() + ulCipherRead, ulEnd - ulCipherRead,
                                               ulGot) &&
                                  ulGot == ulEnd - ulCipherRead;
                ulCipherRead = ulEnd;
                return bGot;
            },
            [&](uint32_t ulReady) { check.publish(std::min(ulReady, ulPlainLength)); }};
        return decipherPieces(cipher, ulPlainLength, lKeyMode, pPassphrase, document, check, pieces);
    });
    check.finish();
    closeAfterReading(file, fileName);
    return nxrTrace.setResult(bRead);
}

bool CNXRXmlCrypt::decipherPieces(const CNXRBuffer<NXR_BYTE>& cipher, uint32_t ulPlainLength, int32_t lKeyMode,
                                  const CNXRSecureBuffer<NXR_USHORT>* pPassphrase, CNXRBuffer<NXR_BYTE>& document,
                                  CArrivingCheck& check, const CSymKeyPieces& pieces)
{
    NXR_CRYPT_TRACE(u"decryptXMLBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        const std::unique_ptr<CSymKeyBase> key = deriveModeKey(lKeyMode, pPassphrase);
        if (!key)
            return false;
        if (!recordedLengthFits(ulPlainLength, cipher.getNumElems()))
            return false;
        CNXRBuffer<NXR_BYTE> plain(std::max<uint32_t>(cipher.getNumElems(), 1));
        check.start(plain.getBuffer(), ulPlainLength);
        const CCheckBlockGuard guard(check, plain);
        if (!key->decryptInPieces(cipher.getBuffer(), cipher.getNumElems(), plain, pieces))
            return false;
        if (ulPlainLength > plain.getNumElems() || !plain.reAllocBuffer(ulPlainLength))
            return false;
        document = std::move(plain);
        return document.getNumElems() == ulPlainLength;
    });
}

bool CNXRXmlCrypt::loadXMLBufferFromEncryptedFile(CNXRWCharString fileName, CNXRBuffer<NXR_BYTE>* pXml,
                                                  const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    CArrivingCheck noCheck;
    return pXml != nullptr && loadDocument(fileName, *pXml, pPassphrase, noCheck);
}

bool CNXRXmlCrypt::loadDocument(const CNXRWCharString& fileName, CNXRBuffer<NXR_BYTE>& document,
                                const CNXRSecureBuffer<NXR_USHORT>* pPassphrase, CArrivingCheck& check)
{
    NXR_CRYPT_TRACE(u"loadXMLBufferFromEncryptedFile");
    return nxrGuard(nxrTrace, false, [&] {
        CNXRWCharString lower(fileName);
        lower.toLower();
        if (endsWith(lower, CNXRWCharString(g_pszXmlSuffix)))
            return readFile(fileName, document, check);
        return readContainer(fileName, document, pPassphrase, check);
    });
}

bool CNXRXmlCrypt::storeXMLBufferToEncryptedFile(const CNXRBuffer<NXR_BYTE>* pXml, CNXRWCharString outFileName,
                                                 int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase,
                                                 uint32_t ulPermissions)
{
    return storeContainer(pXml, outFileName, lKeyMode, pPassphrase, ulPermissions, CommitGate());
}

bool CNXRXmlCrypt::storeContainer(const CNXRBuffer<NXR_BYTE>* pXml, const CNXRWCharString& outFileName,
                                  int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase,
                                  uint32_t ulPermissions, const CommitGate& gate)
{
    NXR_CRYPT_TRACE(u"storeXMLBufferToEncryptedFile");
    return nxrGuard(nxrTrace, false, [&] {
        if (pXml == nullptr)
            return false;
        const uint32_t ulLength = pXml->getNumElems();
        const NXR_BYTE header[HEADER_BYTES] = {NXR_BYTE(lKeyMode & 0xFF), 0, 0, 0, NXR_BYTE(ulLength),
                                               NXR_BYTE(ulLength >> 8), NXR_BYTE(ulLength >> 16),
                                               NXR_BYTE(ulLength >> 24)};
        const CNXRBuffer<NXR_BYTE> headerBuffer(header, HEADER_BYTES, 0);
        if (!isKnownKeyMode(lKeyMode))
            return false;
        // The header and the ciphertext go to the file one after the other,
        // so the ciphertext is not copied behind the header first.
        CNXRBuffer<NXR_BYTE> cipher;
        if (!encryptXMLBuffer(pXml, &cipher, lKeyMode, pPassphrase))
            return false;
        return writeFile(outFileName, {&headerBuffer, &cipher}, ulPermissions, gate);
    });
}

bool CNXRXmlCrypt::encryptXMLFile(CNXRWCharString fileName, int32_t lKeyMode,
                                  const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"encryptXMLFile");
    return nxrGuard(nxrTrace, false, [&] {
        uint32_t ulPermissions = NXR_DEFAULT_FILE_MODE;
        if (!canReadFile(fileName, ulPermissions))
            return false;
        if (!isKnownKeyMode(lKeyMode))
            return false;
        // A string that cannot get its memory comes out empty: check the
        // name, or a failed allocation would make the output the input.
        const CNXRWCharString suffix(g_pszEncSuffix);
        const CNXRWCharString outFileName = fileName + suffix;
        if (suffix.getLength() == 0 || outFileName.getLength() != fileName.getLength() + suffix.getLength())
            return false;
        // A container as input is opened with its own mode and no passphrase:
        // only a mode-1 container can be sealed again.
        const CNXRSecureBuffer<NXR_USHORT> noPassphrase;
        // The check follows the document as it is read, and runs on while it
        // is enciphered and written; the output takes its name only if the
        // document passed.
        // The document outlives the check that reads it.
        CNXRBuffer<NXR_BYTE> document;
        CArrivingCheck check;
        if (!loadDocument(fileName, document, &noPassphrase, check))
            return false;
        return storeContainer(&document, outFileName, lKeyMode, pPassphrase, ulPermissions,
                              [&] { return check.result(); });
    });
}

bool CNXRXmlCrypt::decryptXMLFile(CNXRWCharString fileName, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"decryptXMLFile");
    return nxrGuard(nxrTrace, false, [&] {
        uint32_t ulPermissions = NXR_DEFAULT_FILE_MODE;
        if (!canReadFile(fileName, ulPermissions))
            return false;
        CNXRBuffer<NXR_BYTE> document;
        CArrivingCheck check;
        if (!loadDocument(fileName, document, pPassphrase, check))
            return false;
        if (!endsWith(fileName, CNXRWCharString(g_pszEncSuffix)))
            return false;
        // The name without its last four characters; a name that is only
        // ".enc" leaves nothing, which cannot be built.
        const CNXRBuffer<NXR_USHORT> stem(fileName.getBuffer(), fileName.getLength() - 4, 0);
        const CNXRWCharString outFileName(stem);
        if (outFileName.getLength() == 0)
            return false;
        // The output is written while the check runs and takes its name only
        // if the document passed.
        return writeFile(outFileName, {&document}, ulPermissions, [&] { return check.result(); });
    });
}

} // namespace nxr
