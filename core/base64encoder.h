// Base64 (RFC 4648 alphabet, '=' padding, no line breaks) between byte
// buffers and narrow text buffers.
//
// The encoder writes exactly 4 * ceil(n / 3) characters and no terminator.
// The decoder wants its input to end in a zero or '=', reads the text up to
// the first zero or '=', and turns characters outside the alphabet into zero
// bits rather than rejecting them. Every read of the input goes through the
// buffer's checked index, so text that would need a character past its end
// (such as an unpadded length two over a multiple of four) is refused.
//
// Every operation catches what goes wrong inside it, leaves a record in the
// log and reports false (or a zero character for the alphabet lookups).
#pragma once
#include "nxr_buffer.h"
#include "nxr_types.h"

#include <cstdint>

namespace nxr {

class CBase64EncoderHelper {
public:
    CBase64EncoderHelper();
    ~CBase64EncoderHelper();

    // 6-bit value (0..63) to its alphabet character; 0 after a refusal.
    static NXR_CHAR _encode(NXR_CHAR c);
    // Alphabet character to its 6-bit value; any other 7-bit character gives
    // 0, a character with the top bit set is refused (and gives 0).
    static NXR_CHAR _decode(const NXR_CHAR c);

    // Number of characters before the first zero or '=' (the whole buffer
    // when it holds neither).
    bool b64strlen(const CNXRBuffer<NXR_CHAR>& a, uint32_t* pulLength);

    bool Base64_Encode(const CNXRBuffer<NXR_BYTE>& Data, CNXRBuffer<NXR_CHAR>& encoded);
    bool Base64_Decode(const CNXRBuffer<NXR_CHAR>& szEncoded, CNXRBuffer<NXR_BYTE>& data);
};

class CBase64Encoder {
public:
    CBase64Encoder();
    virtual ~CBase64Encoder();

    // Base64 text of all of data's elements; data must not be empty.
    bool encode(const CNXRBuffer<NXR_BYTE>& data, CNXRBuffer<NXR_CHAR>& encoded);
    // Bytes of the Base64 text; its last element must be a zero or '='.
    bool decode(const CNXRBuffer<NXR_CHAR>& encodedData, CNXRBuffer<NXR_BYTE>& data);

private:
    CBase64EncoderHelper m_helper;
};

} // namespace nxr
