// The cipher run that the two key classes share: one whole buffer through the
// toolkit in CBC mode with padding and a zero IV, and the hand-over of the
// result to the caller's buffer.
#pragma once
#include "nxr_buffer.h"
#include "nxr_toolkit.h"
#include "nxr_types.h"
#include "symkeybase.h"

#include <cstdint>
#include <source_location>

namespace nxr {

// A block cipher as the toolkit names it.
struct CSymKeyCipher {
    toolkit::KeyKind keyKind;
    toolkit::AlgorithmKind algorithmKind;
    uint32_t ulBlockSize; // also the length of the zero IV
};

enum class CipherDirection { Encrypt, Decrypt };

// Creates a key and an algorithm object, runs init, one update over the whole
// input and final into pOut (ulOutCapacity bytes) and returns the number of
// bytes written. A non-zero toolkit status throws CSymKeyBsafeException
// carrying it, recorded at the caller's site. The toolkit objects are
// destroyed however the run ends.
uint32_t runSymKeyCipher(CipherDirection direction, const CSymKeyCipher& cipher, const NXR_BYTE* pKey,
                         uint32_t ulKeyLength, const NXR_BYTE* pIn, uint32_t ulInLength, NXR_BYTE* pOut,
                         uint32_t ulOutCapacity, std::source_location where = std::source_location::current());

// The decryption of runSymKeyCipher, fed a piece at a time through pieces;
// returns false when pieces.pull stopped it, else true with the number of
// plaintext bytes in ulOut.
bool runSymKeyDecryptPieces(const CSymKeyCipher& cipher, const NXR_BYTE* pKey, uint32_t ulKeyLength,
                            const NXR_BYTE* pIn, uint32_t ulInLength, NXR_BYTE* pOut, uint32_t ulOutCapacity,
                            const CSymKeyPieces& pieces, uint32_t& ulOut,
                            std::source_location where = std::source_location::current());

// Finishes decryptInPieces: cuts plain to ulLength in place (empties it for
// 0). Throws CMemAllocException if it cannot.
void cutPlainOutput(CNXRBuffer<NXR_BYTE>& plain, uint32_t ulLength,
                    std::source_location where = std::source_location::current());

// Replaces output with the first ulLength bytes of work, which it takes over
// (cut in place, not copied); with 0 bytes output is emptied. Throws
// CMemAllocException if output could not take them.
void deliverCipherOutput(CNXRBuffer<NXR_BYTE>&& work, uint32_t ulLength, CNXRBuffer<NXR_BYTE>& output,
                         std::source_location where = std::source_location::current());

} // namespace nxr
