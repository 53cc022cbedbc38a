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

// A key class's cipher routine over raw bytes: ulOutLength is the capacity
// of pOut on entry and the bytes written on return; true or throws.
using CSymKeyRoutine =
    std::function<bool(uint32_t ulInLength, const NXR_BYTE* pIn, uint32_t& ulOutLength, NXR_BYTE* pOut)>;

// The bodies that the key classes' encrypt, decrypt and decryptInPieces
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
// False when pieces.pull stopped the run.
bool decryptWholeInPieces(const CSymKeyCipher& cipher, const CNXRBuffer<NXR_BYTE>& key, uint32_t ulKeyLength,
                          const NXR_BYTE* pIn, uint32_t ulInLength, CNXRBuffer<NXR_BYTE>& plain,
                          const CSymKeyPieces& pieces, std::source_location where = std::source_location::current());

} // namespace nxr
