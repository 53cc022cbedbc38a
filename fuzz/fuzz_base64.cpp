// Base64: the input is decoded as text (it must end in a zero or '=' to be
// taken at all, so the seeds do), and encoded then decoded as bytes.
//
// Properties: decoding never reads past the text; the encoder writes exactly
// 4 * ceil(n / 3) characters from the alphabet and '='; what it writes,
// followed by a zero, decodes to the same bytes.
#include "base64encoder.h"
#include "fuzz_common.h"

#include <cstring>

using namespace nxr;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    docseal_fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    CBase64Encoder codec;

    const CNXRBuffer<NXR_CHAR> text(reinterpret_cast<const NXR_CHAR*>(data), static_cast<uint32_t>(size), 0);
    CNXRBuffer<NXR_BYTE> decoded;
    (void)codec.decode(text, decoded);

    const CNXRBuffer<NXR_BYTE> bytes(data, static_cast<uint32_t>(size), 0);
    CNXRBuffer<NXR_CHAR> encoded;
    FUZZ_REQUIRE(codec.encode(bytes, encoded));
    FUZZ_REQUIRE(encoded.getNumElems() == (size + 2) / 3 * 4);
    for (uint32_t i = 0; i < encoded.getNumElems(); ++i) {
        const char c = encoded.getBuffer()[i];
        FUZZ_REQUIRE((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                     c == '/' || (c == '=' && i + 2 >= encoded.getNumElems()));
    }
    const CNXRBuffer<NXR_CHAR> zero(1);
    FUZZ_REQUIRE(encoded.appendBuffer(zero));
    CNXRBuffer<NXR_BYTE> back;
    FUZZ_REQUIRE(codec.decode(encoded, back));
    FUZZ_REQUIRE(back.getNumElems() == size);
    FUZZ_REQUIRE(std::memcmp(back.getBuffer(), data, size) == 0);
    return 0;
}
