// Random bytes from the system's cryptographically strong source (getrandom).
// When that source fails, the failure is logged as CRngCapi with its error
// code and the bytes come from /dev/urandom instead; only when that cannot be
// read either do they come from the run-time library's classic generator
// (unseeded: the same sequence in every thread). A warning record says which
// of the two stood in.
#pragma once
#include "baserng.h"

namespace nxr {

class CSwRNG : public CBaseRNG {
public:
    CSwRNG();
    ~CSwRNG() override;

    // True, or throws for a count beyond the buffer's element count.
    bool performRand(uint32_t ulNumBytes, CNXRBuffer<NXR_BYTE>& buffer) override;
};

} // namespace nxr
