// The workers that chain SHA-1 for the key derivations of CSymKeyBase: a
// counted one (H1 = SHA-1(input), Hk = SHA-1(Hk-1), N times) and a timed one
// (the same chain for a number of whole seconds, at least once, counted; a
// chain longer than a 32-bit count fails rather than wrap the count).
//
// Run them with startAndWaitForFinish; when it returns 0, getHashedData holds
// the last digest completed (20 bytes), or nothing when no hash completed.
// The bodies log their failures and never throw.
#pragma once
#include "nxr_buffer.h"
#include "nxr_thread_obiect.h"
#include "nxr_types.h"

#include <cstdint>

namespace nxr {

class CSymKeyDeriveKeyThread : public CNXRThreadObject {
public:
    // An empty input and a count of 0 (nothing in the system uses it).
    CSymKeyDeriveKeyThread();
    CSymKeyDeriveKeyThread(const CNXRBuffer<NXR_BYTE>& input, uint32_t ulIterations);
    ~CSymKeyDeriveKeyThread() override = default;

    bool getHashedData(CNXRBuffer<NXR_BYTE>& hashed) const;

    void thread() override;

protected:
    CNXRBuffer<NXR_BYTE> m_hashingInput;
    CNXRBuffer<NXR_BYTE> m_hashedData;
    uint32_t m_ulIterations = 0;
};

class CSymKeyTimedDeriveKeyThread : public CNXRThreadObject {
public:
    // An empty input and a duration of 0 (nothing in the system uses it).
    CSymKeyTimedDeriveKeyThread();
    CSymKeyTimedDeriveKeyThread(const CNXRBuffer<NXR_BYTE>& input, uint16_t usSeconds);
    ~CSymKeyTimedDeriveKeyThread() override = default;

    bool getHashedData(CNXRBuffer<NXR_BYTE>& hashed) const;
    uint32_t getNumberOfHashesDone() const;

    void thread() override;

protected:
    CNXRBuffer<NXR_BYTE> m_hashingInput;
    CNXRBuffer<NXR_BYTE> m_hashedData;
    uint32_t m_ulHashesDone = 0;
    // The longest chain the count can describe; a derivation that would go
    // past it fails.
    uint32_t m_ulMaxHashes = UINT32_MAX;
    uint16_t m_usSeconds = 0;
};

} // namespace nxr
