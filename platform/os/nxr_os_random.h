// Random numbers: the system's cryptographically strong source, and the
// unseeded generator that callers fall back on when that source fails.
#pragma once
#include <cstddef>
#include <cstdint>

namespace nxr::os {

// Fills n bytes at pBuffer from the kernel's cryptographically strong source.
// On failure returns false with the last-error value set; the buffer may then
// hold some random bytes. A request for 0 bytes succeeds.
bool genRandom(void* pBuffer, size_t n);

// The classic run-time library generator: a 32-bit state per thread, 1 in a
// thread that has not used it; each call does
// state = state * 214013 + 2531011 (mod 2^32) and returns
// (state >> 16) & 0x7FFF. Nothing seeds it, so every thread draws the same
// sequence: 41, 18467, 6334, ...
int32_t randFallback() noexcept;
// Puts the calling thread's generator back to its initial state.
void resetRandFallback() noexcept;

// Test seam: while iErrno is non-zero, genRandom fails with it.
void setRandomFailureForTesting(int iErrno) noexcept;

class CScopedRandomFailure {
public:
    explicit CScopedRandomFailure(int iErrno) noexcept { setRandomFailureForTesting(iErrno); }
    ~CScopedRandomFailure() { setRandomFailureForTesting(0); }
    CScopedRandomFailure(const CScopedRandomFailure&) = delete;
    CScopedRandomFailure& operator=(const CScopedRandomFailure&) = delete;
};

} // namespace nxr::os
