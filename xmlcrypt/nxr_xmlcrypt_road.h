// The stages of the file road: a document and its container pass through in
// pieces of a fixed size, so that memory stays the same whatever the size.
//
//   CNXRDocumentReader  the document's bytes, read from a plain file or
//                       deciphered from a container
//   CNXRRoadCheck       the XML check, on a thread of its own, fed the same
//                       bytes as they pass
//   CNXRContainerWriter the container: header, then the enciphered pieces
//
// The output itself is a CNXROutputFile, which takes its name only when the
// road commits it.
#pragma once
#include "nxr_buffer.h"
#include "nxr_logging.h"
#include "nxr_securebuffer.h"
#include "nxr_wchar_string.h"
#include "nxr_xerces_check.h"
#include "nxr_xmlcrypt_files.h"
#include "symkeybase.h"

#include <cstdint>
#include <memory>
#include <span>
#include <thread>
#include <vector>

namespace nxr {

// The bytes the road moves at a time.
inline constexpr uint32_t NXR_ROAD_PIECE_BYTES = 1u << 20;
// The most of a document the check holds while it follows the road; a
// document of at most this size is held whole.
inline constexpr uint32_t NXR_ROAD_CHECK_WINDOW = 8u << 20;
// The container's header: key mode, three zero bytes, document length.
inline constexpr uint32_t NXR_CONTAINER_HEADER_BYTES = 8;
// The largest container file any opener of the format reads.
inline constexpr uint64_t NXR_MAX_CONTAINER_BYTES = 0xFFFFFFFFull;

bool nxrIsKnownKeyMode(int32_t lKeyMode);

// The key of a mode, derived from the passphrase (mode 1: the built-in one);
// null for an unknown mode, a missing passphrase or a failed derivation.
std::unique_ptr<CSymKeyBase> nxrDeriveModeKey(int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase);

// Whether a document of ullLength bytes makes a container that fits its
// 32-bit length field and a file of at most 4 GiB - 1, the most any opener
// of the format reads.
bool nxrFitsContainer(uint64_t ullLength, int32_t lKeyMode);

// Records, when a container's recorded length is shorter than the data it
// deciphers to, how many bytes beyond the length are dropped.
void nxrWarnDroppedTail(uint64_t ullRecorded, uint64_t ullDeciphered);

// A document's bytes, a piece at a time. Every refusal throws a family
// exception that recorded its cause.
class CNXRDocumentReader {
public:
    // The file as it is (a plain XML document). A file without a known size
    // (a pipe) is read to its end; its length is then not known.
    explicit CNXRDocumentReader(CNXRInputFile& file);
    // A container, deciphered with the key of its header's mode. Before any
    // piece is read, the header, the key and the padding (from the last two
    // ciphertext blocks, which is all CBC needs) are checked, and with them
    // the recorded length: a wrong passphrase is refused here.
    CNXRDocumentReader(CNXRInputFile& file, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase);
    ~CNXRDocumentReader();
    CNXRDocumentReader(const CNXRDocumentReader&) = delete;
    CNXRDocumentReader& operator=(const CNXRDocumentReader&) = delete;

    // The document's length in bytes, where it is known up front.
    uint64_t length() const { return m_ullLength; }
    // The next piece; empty at the end. Valid until the next call.
    std::span<const NXR_BYTE> next();

private:
    CNXRInputFile& m_file;
    uint64_t m_ullLength = 0;
    uint64_t m_ullDelivered = 0;
    uint64_t m_ullCipherLeft = 0; // containers: ciphertext bytes not yet read
    bool m_bFinal = false;
    bool m_bStream = false; // plain, read to the end of the file
    std::unique_ptr<CSymKeyBase> m_key;
    std::unique_ptr<CSymKeyStream> m_stream;
    CNXRBuffer<NXR_BYTE> m_in;  // ciphertext piece (containers)
    CNXRBuffer<NXR_BYTE> m_out; // the document's piece
};

// A document whose length is not known up front, with its first bytes read
// ahead and held: a document that ends within them is then known whole, and
// its length with it, before any of it is passed on. Its pieces come as the
// reader's, the held bytes first.
class CNXRReadAhead {
public:
    // Reads up to ulBytes of the reader's document.
    CNXRReadAhead(CNXRDocumentReader& reader, uint32_t ulBytes);
    ~CNXRReadAhead();
    CNXRReadAhead(const CNXRReadAhead&) = delete;
    CNXRReadAhead& operator=(const CNXRReadAhead&) = delete;

    // Whether the document ended within the bytes read ahead.
    bool whole() const { return m_bWhole; }
    // How many bytes were read ahead: the document's length when whole().
    uint32_t held() const { return m_ulHeld; }
    // The next piece; empty at the end. Valid until the next call.
    std::span<const NXR_BYTE> next();

private:
    CNXRDocumentReader& m_reader;
    // The reader's pieces, each released once the next is asked for: the
    // memory held shrinks as the document moves on.
    std::vector<CNXRBuffer<NXR_BYTE>> m_held;
    size_t m_ulNext = 0;
    std::span<const NXR_BYTE> m_rest; // the reader's piece beyond the held bytes
    uint32_t m_ulHeld = 0;
    bool m_bWhole = false;
};

// The XML check of the bytes that pass, on a thread of its own. What it
// records is held until its verdict is used, and dropped when the road
// failed before that.
class CNXRRoadCheck {
public:
    // limits: Apply when sealing, Waive when opening (see NxrMarkupLimits).
    // ullLength: the document's length; or, with bAtLeast, a lower bound of
    // it: the document then ends where the bytes fed end, and the limits
    // that grow with its size are those of the bound (stricter than the
    // true ones, see overBudget()).
    CNXRRoadCheck(uint64_t ullLength, NxrMarkupLimits limits, bool bAtLeast = false);
    ~CNXRRoadCheck();
    CNXRRoadCheck(const CNXRRoadCheck&) = delete;
    CNXRRoadCheck& operator=(const CNXRRoadCheck&) = delete;

    // Hands on the next bytes; false when the check has already ended (the
    // document was refused): the road stops there.
    bool feed(std::span<const NXR_BYTE> piece);
    // The end of the document: waits for the check and records its findings.
    bool verdict();
    // The end of the document: waits for the check and tells whether it
    // refused the document at a limit that grows with its size. Nothing is
    // recorded: where the check was given a lower bound, only a check with
    // the true length has a verdict then; otherwise verdict() follows.
    bool overBudget();

private:
    CNXRArrivingBytes m_bytes;
    CNXRHeldRecords m_held;
    bool m_bPassed = false;
    std::jthread m_thread; // last: joined before the rest goes
};

// Writes a container: the header, then the document enciphered piece by
// piece under the key of the mode. A document whose length was not known up
// front (ulLength 0) gets its length recorded by finish().
class CNXRContainerWriter {
public:
    CNXRContainerWriter(CNXRByteSink& output, int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase,
                        uint32_t ulLength);
    ~CNXRContainerWriter();
    CNXRContainerWriter(const CNXRContainerWriter&) = delete;
    CNXRContainerWriter& operator=(const CNXRContainerWriter&) = delete;

    // CBadArgException once the document outgrows the container format.
    void write(std::span<const NXR_BYTE> piece);
    // The last block, with the padding; the length where it differs.
    void finish();

private:
    CNXRByteSink& m_output;
    int32_t m_lKeyMode;
    uint32_t m_ulLength;
    uint64_t m_ullWritten = 0;
    std::unique_ptr<CSymKeyBase> m_key;
    std::unique_ptr<CSymKeyStream> m_stream;
    uint32_t m_ulPiece = 0; // the most plaintext enciphered at a time
    CNXRBuffer<NXR_BYTE> m_out;
};

} // namespace nxr
