#include "nxr_xmlcrypt_road.h"

#include "_3deskey.h"
#include "aeskey.h"
#include "nxr_format.h"
#include "nxr_guard.h"
#include "nxr_symkey_cipher.h"
#include "nxr_xmlcrypt.h"
#include "xmlxercesvm.h"

#include <algorithm>
#include <utility>
#include <system_error>

namespace nxr {

namespace {

constexpr uint32_t DERIVE_ITERATIONS = 10;

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

// Reads the next ulCount bytes of a file whose size promised them.
void readExactly(CNXRInputFile& file, NXR_BYTE* pBuffer, size_t ulCount)
{
    for (size_t ulGot = 0; ulGot < ulCount;) {
        const size_t ulRead = file.read(pBuffer + ulGot, ulCount - ulGot);
        if (ulRead == 0)
            NXR_THROW(CBadArgException, u"ulSize", u"the file changed while it was read");
        ulGot += ulRead;
    }
}

uint32_t blockSizeOf(int32_t lKeyMode) { return lKeyMode == 3 ? C3DesKey::kBlockSize : CAesKey::kBlockSize; }

// The key of a container's or caller's mode; the refusals the road records.
std::unique_ptr<CSymKeyBase> roadKey(int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    if (!nxrIsKnownKeyMode(lKeyMode))
        NXR_THROW(CBadArgException, u"lKeyMode", u"value is not 1, 2 or 3");
    std::unique_ptr<CSymKeyBase> key = nxrDeriveModeKey(lKeyMode, pPassphrase);
    if (!key)
        NXR_THROW(CBadArgException, u"pPassphrase", u"no passphrase was given");
    return key;
}

} // namespace

bool nxrIsKnownKeyMode(int32_t lKeyMode) { return lKeyMode >= 1 && lKeyMode <= 3; }

std::unique_ptr<CSymKeyBase> nxrDeriveModeKey(int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    if (!nxrIsKnownKeyMode(lKeyMode) || pPassphrase == nullptr)
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

bool nxrFitsContainer(uint64_t ullLength, int32_t lKeyMode)
{
    const uint64_t ullBlock = blockSizeOf(lKeyMode);
    return ullLength <= 0xFFFFFFFFull &&
           NXR_CONTAINER_HEADER_BYTES + (ullLength / ullBlock + 1) * ullBlock <= NXR_MAX_CONTAINER_BYTES;
}

void nxrWarnDroppedTail(uint64_t ullRecorded, uint64_t ullDeciphered)
{
    if (ullRecorded < ullDeciphered)
        nxrWarn(nxrFormat(u"The recorded length, %u bytes, is shorter than the deciphered data: %u bytes dropped",
                          {ullRecorded, ullDeciphered - ullRecorded}),
                NXR_NO_ERROR_CODE, __FILE__, __LINE__);
}

// ---------------------------------------------------------------------------

#define NXR_READER_TRACE(method) NXR_TRACE(u"CNXRDocumentReader", method)

CNXRDocumentReader::CNXRDocumentReader(CNXRInputFile& file) : m_file(file)
{
    NXR_READER_TRACE(u"Constructor");
    m_bStream = !file.sizeKnown();
    m_ullLength = m_bStream ? NXR_ROAD_PIECE_BYTES : file.size();
    if (m_ullLength > 0xFFFFFFFFull)
        NXR_THROW(CBadArgException, u"ulSize", u"value is too large for the container format");
    m_out = CNXRBuffer<NXR_BYTE>(static_cast<uint32_t>(std::clamp<uint64_t>(m_ullLength, 1, NXR_ROAD_PIECE_BYTES)));
    if (!m_out.isValid())
        NXR_THROW(CMemAllocException, u"m_out");
    if (m_bStream)
        m_ullLength = 0;
    nxrTrace.setResult(true);
}

CNXRDocumentReader::CNXRDocumentReader(CNXRInputFile& file, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
    : m_file(file)
{
    NXR_READER_TRACE(u"Constructor");
    const uint64_t ullSize = file.size();
    if (ullSize < NXR_CONTAINER_HEADER_BYTES)
        NXR_THROW(CIndexOutOfBoundsException);
    if (ullSize == NXR_CONTAINER_HEADER_BYTES)
        NXR_THROW(CBadArgException, u"ulSize", u"value is 0");
    if (ullSize > NXR_MAX_CONTAINER_BYTES)
        NXR_THROW(CBadArgException, u"ulSize", u"value is too large for the container format");
    NXR_BYTE header[NXR_CONTAINER_HEADER_BYTES] = {};
    readExactly(file, header, sizeof(header));
    const uint32_t ulRecorded = uint32_t(header[4]) | uint32_t(header[5]) << 8 | uint32_t(header[6]) << 16 |
                                uint32_t(header[7]) << 24;
    m_key = roadKey(header[0], pPassphrase);

    // The last block deciphers from itself and the block before it (the IV
    // for the first block). Its padding tells the document's exact length.
    const uint32_t ulBlock = m_key->blockSize();
    const uint64_t ullCipher = ullSize - NXR_CONTAINER_HEADER_BYTES;
    const uint32_t ulTail = ullCipher % ulBlock ? static_cast<uint32_t>(ullCipher % ulBlock) : ulBlock;
    const uint64_t ullTailAt = ullCipher < ulBlock ? 0 : ullCipher - ulTail;
    NXR_BYTE iv[16] = {};
    NXR_BYTE tail[32] = {};
    const uint32_t ulTailBytes = static_cast<uint32_t>(ullCipher - ullTailAt);
    if (ullTailAt >= ulBlock)
        file.readAt(NXR_CONTAINER_HEADER_BYTES + ullTailAt - ulBlock, iv, ulBlock);
    file.readAt(NXR_CONTAINER_HEADER_BYTES + ullTailAt, tail, ulTailBytes);
    {
        const std::unique_ptr<CSymKeyStream> last = m_key->openStream(CipherDirection::Decrypt, iv);
        NXR_BYTE plain[48] = {};
        uint32_t ulPlain = last->update(tail, ulTailBytes, plain, sizeof(plain));
        ulPlain += last->final(plain + ulPlain, sizeof(plain) - ulPlain);
        ::explicit_bzero(plain, sizeof(plain));
        m_ullLength = ullTailAt + ulPlain;
    }
    if (ulRecorded == 0)
        NXR_THROW(CBadArgException, u"ulSize", u"value is 0");
    if (ulRecorded > m_ullLength)
        NXR_THROW(CBadArgException, u"ulPlainLength", u"value is beyond the deciphered data");
    nxrWarnDroppedTail(ulRecorded, m_ullLength);
    m_ullLength = ulRecorded;

    m_stream = m_key->openStream(CipherDirection::Decrypt);
    m_ullCipherLeft = ullCipher;
    const uint32_t ulPiece = static_cast<uint32_t>(std::min<uint64_t>(ullCipher, NXR_ROAD_PIECE_BYTES));
    m_in = CNXRBuffer<NXR_BYTE>(ulPiece);
    m_out = CNXRBuffer<NXR_BYTE>(ulPiece + ulBlock);
    if (!m_in.isValid() || !m_out.isValid())
        NXR_THROW(CMemAllocException, u"m_out");
    nxrTrace.setResult(true);
}

CNXRDocumentReader::~CNXRDocumentReader() { NXR_READER_TRACE(u"Destructor"); }

std::span<const NXR_BYTE> CNXRDocumentReader::next()
{
    NXR_READER_TRACE(u"next");
    uint32_t ulCount = 0;
    if (m_bStream) {
        ulCount = static_cast<uint32_t>(m_file.read(m_out.getBuffer(), m_out.getNumElems()));
    } else if (!m_stream) {
        // A plain file: exactly the length its size promised.
        const uint64_t ullLeft = m_ullLength - m_ullDelivered;
        ulCount = static_cast<uint32_t>(std::min<uint64_t>(ullLeft, m_out.getNumElems()));
        readExactly(m_file, m_out.getBuffer(), ulCount);
    } else {
        while (ulCount == 0 && !m_bFinal) {
            if (m_ullCipherLeft != 0) {
                const uint32_t ulIn = static_cast<uint32_t>(std::min<uint64_t>(m_ullCipherLeft, m_in.getNumElems()));
                readExactly(m_file, m_in.getBuffer(), ulIn);
                m_ullCipherLeft -= ulIn;
                ulCount = m_stream->update(m_in.getBuffer(), ulIn, m_out.getBuffer(), m_out.getNumElems());
            } else {
                ulCount = m_stream->final(m_out.getBuffer(), m_out.getNumElems());
                m_bFinal = true;
            }
        }
        // Bytes beyond the recorded length are not the document's.
        ulCount = static_cast<uint32_t>(std::min<uint64_t>(ulCount, m_ullLength - m_ullDelivered));
    }
    m_ullDelivered += ulCount;
    nxrTrace.setResult(true);
    return {m_out.getBuffer(), ulCount};
}

// ---------------------------------------------------------------------------

CNXRReadAhead::CNXRReadAhead(CNXRDocumentReader& reader, uint32_t ulBytes) : m_reader(reader)
{
    NXR_TRACE(u"CNXRReadAhead", u"Constructor");
    m_held.reserve(ulBytes / NXR_ROAD_PIECE_BYTES + 2);
    while (m_ulHeld < ulBytes) {
        std::span<const NXR_BYTE> piece = reader.next();
        if (piece.empty()) {
            m_bWhole = true;
            break;
        }
        // What does not fit is passed on right after the held bytes: the
        // reader is not asked again before that.
        const uint32_t ulTaken = static_cast<uint32_t>(std::min<size_t>(piece.size(), ulBytes - m_ulHeld));
        m_held.emplace_back(piece.data(), ulTaken, 0);
        m_ulHeld += ulTaken;
        m_rest = piece.subspan(ulTaken);
    }
    nxrTrace.setResult(true);
}

CNXRReadAhead::~CNXRReadAhead() { NXR_TRACE(u"CNXRReadAhead", u"Destructor"); }

std::span<const NXR_BYTE> CNXRReadAhead::next()
{
    NXR_TRACE(u"CNXRReadAhead", u"next");
    if (m_ulNext != 0 && m_ulNext <= m_held.size())
        m_held[m_ulNext - 1] = CNXRBuffer<NXR_BYTE>();
    nxrTrace.setResult(true);
    if (m_ulNext < m_held.size()) {
        const CNXRBuffer<NXR_BYTE>& piece = m_held[m_ulNext++];
        return {piece.getBuffer(), piece.getNumElems()};
    }
    m_ulNext = m_held.size() + 1;
    if (!m_rest.empty())
        return std::exchange(m_rest, {});
    return m_reader.next();
}

// ---------------------------------------------------------------------------

namespace {

// A thread for the check; one that cannot be had (its stack could not be
// mapped, or the process has too many) is the check running out of memory.
template <class Body>
std::jthread checkThread(Body&& body)
{
    try {
        return std::jthread(std::forward<Body>(body));
    } catch (const std::system_error&) {
        NXR_THROW(CMemAllocException, u"the XML check's thread");
    }
}

} // namespace

CNXRRoadCheck::CNXRRoadCheck(uint64_t ullLength, NxrMarkupLimits limits, bool bAtLeast)
    : m_bytes(bAtLeast ? NXR_ARRIVING_UNKNOWN_TOTAL : ullLength, NXR_ROAD_CHECK_WINDOW, ullLength)
{
    NXR_TRACE(u"CNXRRoadCheck", u"Constructor");
    m_thread = checkThread([this, limits] {
        {
            const CNXRHeldRecords::CScope hold(m_held);
            // Nothing may leave a thread: the wrapper's constructor throws
            // when it cannot get its memory, and that is only recorded.
            nxrGuardDtor([&] {
                CXmlXercesVM vm;
                m_bPassed = vm.checkXMLArriving(m_bytes, limits);
            });
        }
        m_bytes.close();
    });
    nxrTrace.setResult(true);
}

CNXRRoadCheck::~CNXRRoadCheck()
{
    NXR_TRACE(u"CNXRRoadCheck", u"Destructor");
    m_bytes.finish();
    m_bytes.close();
    if (m_thread.joinable())
        m_thread.join();
    nxrTrace.setResult(true);
}

bool CNXRRoadCheck::feed(std::span<const NXR_BYTE> piece)
{
    NXR_TRACE(u"CNXRRoadCheck", u"feed");
    return nxrTrace.setResult(m_bytes.append(piece.data(), piece.size()));
}

bool CNXRRoadCheck::overBudget()
{
    NXR_TRACE(u"CNXRRoadCheck", u"overBudget");
    m_bytes.finish();
    if (m_thread.joinable())
        m_thread.join();
    return nxrTrace.setResult(!m_bPassed && m_bytes.overBudget());
}

bool CNXRRoadCheck::verdict()
{
    NXR_TRACE(u"CNXRRoadCheck", u"verdict");
    overBudget();
    m_held.replay();
    return nxrTrace.setResult(m_bPassed);
}

// ---------------------------------------------------------------------------

CNXRContainerWriter::CNXRContainerWriter(CNXRByteSink& output, int32_t lKeyMode,
                                         const CNXRSecureBuffer<NXR_USHORT>* pPassphrase, uint32_t ulLength)
    : m_output(output), m_lKeyMode(lKeyMode), m_ulLength(ulLength)
{
    NXR_TRACE(u"CNXRContainerWriter", u"Constructor");
    m_key = roadKey(lKeyMode, pPassphrase);
    m_stream = m_key->openStream(CipherDirection::Encrypt);
    // A piece, or the whole document when it is smaller (as the reader's):
    // a small document's run does not zero, fault in and wipe a mebibyte.
    m_ulPiece = ulLength == 0 ? NXR_ROAD_PIECE_BYTES : std::clamp<uint32_t>(ulLength, 1, NXR_ROAD_PIECE_BYTES);
    m_out = CNXRBuffer<NXR_BYTE>(m_ulPiece + m_key->blockSize());
    if (!m_out.isValid())
        NXR_THROW(CMemAllocException, u"m_out");
    const NXR_BYTE header[NXR_CONTAINER_HEADER_BYTES] = {
        NXR_BYTE(lKeyMode & 0xFF), 0, 0, 0, NXR_BYTE(ulLength), NXR_BYTE(ulLength >> 8), NXR_BYTE(ulLength >> 16),
        NXR_BYTE(ulLength >> 24)};
    m_output.write(header, sizeof(header));
    nxrTrace.setResult(true);
}

CNXRContainerWriter::~CNXRContainerWriter() { NXR_TRACE(u"CNXRContainerWriter", u"Destructor"); }

void CNXRContainerWriter::write(std::span<const NXR_BYTE> piece)
{
    NXR_TRACE(u"CNXRContainerWriter", u"write");
    m_ullWritten += piece.size();
    if (!nxrFitsContainer(m_ullWritten, m_lKeyMode))
        NXR_THROW(CBadArgException, u"ulSize", u"value is too large for the container format");
    while (!piece.empty()) {
        const uint32_t ulIn = static_cast<uint32_t>(std::min<size_t>(piece.size(), m_ulPiece));
        const uint32_t ulOut = m_stream->update(piece.data(), ulIn, m_out.getBuffer(), m_out.getNumElems());
        m_output.write(m_out.getBuffer(), ulOut);
        piece = piece.subspan(ulIn);
    }
    nxrTrace.setResult(true);
}

void CNXRContainerWriter::finish()
{
    NXR_TRACE(u"CNXRContainerWriter", u"finish");
    const uint32_t ulOut = m_stream->final(m_out.getBuffer(), m_out.getNumElems());
    m_output.write(m_out.getBuffer(), ulOut);
    if (m_ullWritten != m_ulLength) {
        const uint32_t ulLength = static_cast<uint32_t>(m_ullWritten);
        const NXR_BYTE length[4] = {NXR_BYTE(ulLength), NXR_BYTE(ulLength >> 8), NXR_BYTE(ulLength >> 16),
                                    NXR_BYTE(ulLength >> 24)};
        m_output.writeAt(NXR_CONTAINER_HEADER_BYTES - sizeof(length), length, sizeof(length));
    }
    nxrTrace.setResult(true);
}

} // namespace nxr
