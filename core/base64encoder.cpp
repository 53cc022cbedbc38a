#include "base64encoder.h"

#include "nxr_format.h"
#include "nxr_guard.h"

namespace nxr {

#define NXR_B64_TRACE(method) NXR_TRACE(u"CBase64Encoder", method)
#define NXR_B64H_TRACE(method) NXR_TRACE(u"CBase64EncoderHelper", method)

namespace {

// A value error that names the class and operation that raised it, taken
// from the operation's trace; written once they are in its record.
class CCodecBadValue : public CBadValueException {
public:
    CCodecBadValue(const CFunctionTrace& where, std::u16string_view variable, std::u16string_view value,
                   std::u16string_view condition, const char* pszSourceFile, uint32_t ulSourceLine)
        : CBadValueException(variable, value, condition, pszSourceFile, ulSourceLine, NXR_NO_ERROR_CODE,
                             NXR_OUTPUT_TEXT, 0)
    {
        m_record.pszClass = where.record().pszClass;
        m_record.pszMethod = where.record().pszMethod;
        log();
    }
};

} // namespace

#define NXR_B64_BAD_VALUE(...) throw CCodecBadValue(nxrTrace, __VA_ARGS__, __FILE__, __LINE__)

// ---------------------------------------------------------------------------
// CBase64EncoderHelper

CBase64EncoderHelper::CBase64EncoderHelper()
{
    NXR_B64H_TRACE(u"CBase64EncoderHelper");
    nxrTrace.setResult(true);
}

CBase64EncoderHelper::~CBase64EncoderHelper()
{
    NXR_B64H_TRACE(u"~CBase64EncoderHelper");
    nxrTrace.setResult(true);
}

NXR_CHAR CBase64EncoderHelper::_encode(NXR_CHAR c)
{
    NXR_B64H_TRACE(u"_encode");
    const NXR_CHAR result = nxrGuard(nxrTrace, NXR_CHAR(0), [&]() -> NXR_CHAR {
        // Only 6-bit values have a character; anything else is a caller's
        // mistake, reported rather than mapped to something arbitrary.
        if (c < 0 || c > 63)
            NXR_THROW(CBadArgException, u"NXR_CHAR c", u"Parameter is NULL");
        if (c < 26)
            return static_cast<NXR_CHAR>('A' + c);
        if (c < 52)
            return static_cast<NXR_CHAR>('a' + (c - 26));
        if (c < 62)
            return static_cast<NXR_CHAR>('0' + (c - 52));
        return c == 62 ? '+' : '/';
    });
    nxrTrace.setReturnCode(static_cast<uint8_t>(result));
    return result;
}

NXR_CHAR CBase64EncoderHelper::_decode(const NXR_CHAR c)
{
    NXR_B64H_TRACE(u"_decode");
    const NXR_CHAR result = nxrGuard(nxrTrace, NXR_CHAR(0), [&]() -> NXR_CHAR {
        if (c < 0)
            NXR_THROW(CBadArgException, u"const NXR_CHAR c", u"Parameter is NULL");
        if (c >= 'A' && c <= 'Z')
            return static_cast<NXR_CHAR>(c - 'A');
        if (c >= 'a' && c <= 'z')
            return static_cast<NXR_CHAR>(c - 'a' + 26);
        if (c >= '0' && c <= '9')
            return static_cast<NXR_CHAR>(c - '0' + 52);
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        // Outside the alphabet: zero bits, not an error.
        return 0;
    });
    nxrTrace.setReturnCode(static_cast<uint8_t>(result));
    return result;
}

bool CBase64EncoderHelper::b64strlen(const CNXRBuffer<NXR_CHAR>& a, uint32_t* pulLength)
{
    NXR_B64H_TRACE(u"b64strlen");
    return nxrGuard(nxrTrace, false, [&] {
        if (!a.isValid())
            NXR_THROW(CBadArgException, u"const NXR_PCHAR a", u"Parameter is NULL");
        if (pulLength == nullptr)
            NXR_THROW(CBadArgException, u"unsigned long* pulLength", u"Parameter is NULL");
        const NXR_CHAR* p = a.getBuffer();
        const uint32_t ulCount = a.getNumElems();
        uint32_t n = 0;
        while (n < ulCount && p[n] != 0 && p[n] != '=')
            ++n;
        *pulLength = n;
        return true;
    });
}

bool CBase64EncoderHelper::Base64_Encode(const CNXRBuffer<NXR_BYTE>& Data, CNXRBuffer<NXR_CHAR>& encoded)
{
    NXR_B64H_TRACE(u"Base64_Encode");
    return nxrGuard(nxrTrace, false, [&] {
        const uint32_t n = Data.getNumElems();
        if (n == 0)
            NXR_THROW(CBadArgException, u"CNXRBuffer < NXR_BYTE > &Data", u"Parameter is 0");
        const uint64_t ullOut = (uint64_t(n) + 2) / 3 * 4;
        if (ullOut > UINT32_MAX)
            NXR_THROW(CMemAllocException, u"encoded");

        CNXRBuffer<NXR_CHAR> out(static_cast<uint32_t>(ullOut));
        const NXR_BYTE* in = Data.getBuffer();
        NXR_CHAR* dst = out.getBuffer();
        uint32_t i = 0;
        uint32_t o = 0;
        for (; n - i >= 3; i += 3) {
            const NXR_BYTE b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
            dst[o++] = _encode(static_cast<NXR_CHAR>(b0 >> 2));
            dst[o++] = _encode(static_cast<NXR_CHAR>(((b0 & 0x03) << 4) | (b1 >> 4)));
            dst[o++] = _encode(static_cast<NXR_CHAR>(((b1 & 0x0F) << 2) | (b2 >> 6)));
            dst[o++] = _encode(static_cast<NXR_CHAR>(b2 & 0x3F));
        }
        if (n - i == 1) {
            const NXR_BYTE b0 = in[i];
            dst[o++] = _encode(static_cast<NXR_CHAR>(b0 >> 2));
            dst[o++] = _encode(static_cast<NXR_CHAR>((b0 & 0x03) << 4));
            dst[o++] = '=';
            dst[o++] = '=';
        } else if (n - i == 2) {
            const NXR_BYTE b0 = in[i], b1 = in[i + 1];
            dst[o++] = _encode(static_cast<NXR_CHAR>(b0 >> 2));
            dst[o++] = _encode(static_cast<NXR_CHAR>(((b0 & 0x03) << 4) | (b1 >> 4)));
            dst[o++] = _encode(static_cast<NXR_CHAR>((b1 & 0x0F) << 2));
            dst[o++] = '=';
        }
        encoded = out;
        return encoded.getNumElems() == out.getNumElems();
    });
}

bool CBase64EncoderHelper::Base64_Decode(const CNXRBuffer<NXR_CHAR>& szEncoded, CNXRBuffer<NXR_BYTE>& data)
{
    NXR_B64H_TRACE(u"Base64_Decode");
    return nxrGuard(nxrTrace, false, [&] {
        if (!szEncoded.isValid())
            NXR_THROW(CBadArgException, u"const CNXRBuffer < NXR_CHAR > &szEncoded", u"Buffer is invalid");
        uint32_t n = 0;
        if (!b64strlen(szEncoded, &n))
            return false;
        if (n < 2)
            NXR_B64_BAD_VALUE(u"iTemp", nxrFormat(u"%d", {int32_t(n)}),
                      nxrFormat(u"less than uEncodedIndex + 3 (%d)", {int32_t(3)}));

        // 2 characters over a multiple of four carry 1 byte, 3 carry 2.
        const uint64_t ullSize =
            n % 4 == 0 ? uint64_t(n) / 4 * 3 : (uint64_t(n) + 3) / 4 * 3 - 2 + (n & 1);
        CNXRBuffer<NXR_BYTE> out(static_cast<uint32_t>(ullSize));

        // Every character is read through the checked index: a group that
        // would need a character past the end of the text is refused there.
        uint32_t ulLimit = 0;
        for (uint32_t i = 0, o = 0; i < n; i += 4, o += 3) {
            ulLimit += 3;
            if (szEncoded[i + 3] == '=') {
                --ulLimit;
                if (szEncoded[i + 2] == '=')
                    --ulLimit;
            }
            if (ulLimit > ullSize)
                ulLimit = static_cast<uint32_t>(ullSize);
            const NXR_BYTE v0 = static_cast<NXR_BYTE>(_decode(szEncoded[i]));
            const NXR_BYTE v1 = static_cast<NXR_BYTE>(_decode(szEncoded[i + 1]));
            const NXR_BYTE v2 = static_cast<NXR_BYTE>(_decode(szEncoded[i + 2]));
            const NXR_BYTE v3 = static_cast<NXR_BYTE>(_decode(szEncoded[i + 3]));
            out[o] = static_cast<NXR_BYTE>((v0 << 2) | (v1 >> 4));
            if (o + 1 < ulLimit)
                out[o + 1] = static_cast<NXR_BYTE>((v1 << 4) | (v2 >> 2));
            if (o + 2 < ulLimit)
                out[o + 2] = static_cast<NXR_BYTE>((v2 << 6) | v3);
        }
        data = out;
        return data.getNumElems() == out.getNumElems();
    });
}

// ---------------------------------------------------------------------------
// CBase64Encoder

CBase64Encoder::CBase64Encoder()
{
    NXR_B64_TRACE(u"CBase64Encoder");
    nxrTrace.setResult(true);
}

CBase64Encoder::~CBase64Encoder()
{
    NXR_B64_TRACE(u"~CBase64Encoder");
    nxrTrace.setResult(true);
}

bool CBase64Encoder::encode(const CNXRBuffer<NXR_BYTE>& data, CNXRBuffer<NXR_CHAR>& encoded)
{
    NXR_B64_TRACE(u"encode");
    return nxrGuard(nxrTrace, false, [&] {
        if (data.getNumElems() == 0)
            NXR_B64_BAD_VALUE(u"ulSize", u"0", u"less than 1");
        encoded.zeroBuffer();
        return m_helper.Base64_Encode(data, encoded);
    });
}

bool CBase64Encoder::decode(const CNXRBuffer<NXR_CHAR>& encodedData, CNXRBuffer<NXR_BYTE>& data)
{
    NXR_B64_TRACE(u"decode");
    return nxrGuard(nxrTrace, false, [&] {
        const uint32_t ulSize = encodedData.getNumElems();
        if (ulSize == 0)
            NXR_B64_BAD_VALUE(u"ulSize", u"0", u"less than 1");
        const NXR_CHAR cLast = encodedData[ulSize - 1];
        if (cLast != 0 && cLast != '=')
            NXR_B64_BAD_VALUE(u"encodedData",
                      nxrFormat(u"encodedData[%ld] = %d", {ulSize - 1, int32_t(cLast)}),
                      u"buffer does not end in NULL(0) or \"=\"(61)");
        data.zeroBuffer();
        return m_helper.Base64_Decode(encodedData, data);
    });
}

#undef NXR_B64_TRACE
#undef NXR_B64H_TRACE
#undef NXR_B64_BAD_VALUE

} // namespace nxr
