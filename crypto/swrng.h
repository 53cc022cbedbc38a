// Random bytes from the system's cryptographically strong source (getrandom).
// When that source fails, the failure is logged as CRngCapi with its error
// code and the bytes come from the run-time library's classic generator
// instead (unseeded: the same sequence in every thread).
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
