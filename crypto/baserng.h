// Sources of random bytes. CBaseRNG asks its subclass's performRand for the
// bytes and hands them over; CSwRNG (swrng.h) draws them from the system.
#pragma once
#include "nxr_buffer.h"
#include "nxr_types.h"

#include <cstdint>

namespace nxr {

template <class T>
class CNXRSecureBuffer;

class CBaseRNG {
public:
    CBaseRNG();
    CBaseRNG(const CBaseRNG&) = delete;
    CBaseRNG& operator=(const CBaseRNG&) = delete;

    // Fills the first ulNumBytes bytes of buffer.
    virtual bool performRand(uint32_t ulNumBytes, CNXRBuffer<NXR_BYTE>& buffer) = 0;
    virtual ~CBaseRNG();

    // Replaces the buffer's contents with as many random bytes as it has
    // elements. An empty buffer: false, the buffer unchanged. Failures other
    // than that are recorded and thrown to the caller.
    bool getRandomBytes(CNXRBuffer<NXR_BYTE>& buffer);
    // The same for a secure buffer: as many bytes as its plain length, stored
    // enciphered. Users of this form include nxr_securebuffer.h.
    bool getRandomBytes(CNXRSecureBuffer<NXR_BYTE>& buffer);
};

} // namespace nxr
