// The cipher run that the two key classes share: one whole buffer through the
// toolkit in CBC mode with padding and a zero IV, and the hand-over of the
// result to the caller's buffer.
#pragma once
#include "nxr_buffer.h"
#include "nxr_toolkit.h"
#include "nxr_types.h"
#include "symkeybase.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <source_location>

namespace nxr {

// A block cipher as the toolkit names it.
struct CSymKeyCipher {
    toolkit::KeyKind keyKind;
    toolkit::AlgorithmKind algorithmKind;
    uint32_t ulBlockSize; // also the length of the zero IV
};

// Creates a key and an algorithm object, runs init, one update over the whole
// input and final into pOut (ulOutCapacity bytes) and returns the number of
// bytes written. A non-zero toolkit status throws CSymKeyBsafeException
// carrying it, recorded at the caller's site. The toolkit objects are
// destroyed however the run ends.
uint32_t runSymKeyCipher(CipherDirection direction, const CSymKeyCipher& cipher, const NXR_BYTE* pKey,
                         uint32_t ulKeyLength, const NXR_BYTE* pIn, uint32_t ulInLength, NXR_BYTE* pOut,
                         uint32_t ulOutCapacity, std::source_location where = std::source_location::current());

// One cipher run over data that comes in pieces: init when made, then any
// number of update calls and one final. Deciphering holds back the last block
// until final, which checks the padding. A non-zero toolkit status throws
// CSymKeyBsafeException carrying it, recorded at the site that opened the
// stream. The toolkit objects are destroyed with the stream.
class CSymKeyStream {
public:
    CSymKeyStream(CipherDirection direction, const CSymKeyCipher& cipher, const NXR_BYTE* pKey,
                  uint32_t ulKeyLength, const NXR_BYTE* pIv, std::source_location where);
    ~CSymKeyStream();
    CSymKeyStream(const CSymKeyStream&) = delete;
    CSymKeyStream& operator=(const CSymKeyStream&) = delete;

    // Runs ulIn bytes through; pOut takes at most ulIn plus one block. Returns
    // the number of bytes written.
    uint32_t update(const NXR_BYTE* pIn, uint32_t ulIn, NXR_BYTE* pOut, uint32_t ulOutCapacity);
    // The last bytes (at most one block); deciphering checks the padding.
    uint32_t final(NXR_BYTE* pOut, uint32_t ulOutCapacity);
    uint32_t blockSize() const { return m_ulBlockSize; }

private:
    void check(int32_t status) const;

    bool m_bEncrypt;
    uint32_t m_ulBlockSize;
    toolkit::KeyObject* m_hKey = nullptr;
    toolkit::AlgorithmObject* m_hAlgorithm = nullptr;
    std::source_location m_where;
};

// What the key classes' openStream share: refuses key bytes of another
// length than ulKeyLength with CSymKeyBadArg.
std::unique_ptr<CSymKeyStream> openSymKeyStream(CipherDirection direction, const CSymKeyCipher& cipher,
                                                const CNXRBuffer<NXR_BYTE>& key, uint32_t ulKeyLength,
                                                const NXR_BYTE* pIv,
                                                std::source_location where = std::source_location::current());

// A key class's cipher routine over raw bytes: ulOutLength is the capacity
// of pOut on entry and the bytes written on return; true or throws.
using CSymKeyRoutine =
    std::function<bool(uint32_t ulInLength, const NXR_BYTE* pIn, uint32_t& ulOutLength, NXR_BYTE* pOut)>;

// The bodies that the key classes' encrypt and decrypt
// share. Each refuses key bytes of another length than ulKeyLength with
// CSymKeyBadArg, runs the cipher over a work buffer (input length plus one
// block when enciphering, the input length when deciphering) and hands the
// result over to the caller's buffer, which is left as it was on failure.
// Exceptions are recorded at the caller's site.
void encryptWhole(const CNXRBuffer<NXR_BYTE>& key, uint32_t ulKeyLength, uint32_t ulBlockSize,
                  const CNXRBuffer<NXR_BYTE>& plain, CNXRBuffer<NXR_BYTE>& cipher, const CSymKeyRoutine& routine,
                  std::source_location where = std::source_location::current());
void decryptWhole(const CNXRBuffer<NXR_BYTE>& key, uint32_t ulKeyLength, const CNXRBuffer<NXR_BYTE>& cipher,
                  CNXRBuffer<NXR_BYTE>& plain, const CSymKeyRoutine& routine,
                  std::source_location where = std::source_location::current());

} // namespace nxr
