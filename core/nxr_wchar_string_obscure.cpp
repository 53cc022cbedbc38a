// CNXRWCharString::obscure and unobscure: a reversible disguise of a string
// as Base64 text of its AES ciphertext. They live apart from the rest of the
// class (in nxr_core_obscure) because they need the AES key, and the key
// library itself builds on nxr_core.
#include "nxr_wchar_string.h"

#include "aeskey.h"
#include "base64encoder.h"

#include <cerrno>
#include <utility>

namespace nxr {

#define NXR_WSTR_TRACE(method) NXR_TRACE(u"CNXRWCharString", method)

CNXRWCharString CNXRWCharString::obscure(const CAesKey& aesKey) const
{
    NXR_WSTR_TRACE(u"obscure");
    CNXRWCharString result;
    nxrGuard(nxrTrace, false, [&] {
        const uint32_t ulLen = textLength();
        if (ulLen == 0)
            NXR_THROW(CBadArgException, u"this", u"Can't obscure empty string");
        // The text and its zero as UTF-16LE bytes.
        const uint32_t ulUnits = ulLen + 1;
        if (ulUnits > UINT32_MAX / 2)
            NXR_THROW(CMemAllocException, u"plainBytes");
        CNXRBuffer<NXR_BYTE> plainBytes(2 * ulUnits);
        NXR_BYTE* pPlain = plainBytes.getBuffer();
        for (uint32_t i = 0; i < ulLen; ++i) {
            pPlain[2 * i] = static_cast<NXR_BYTE>(m_pBuffer[i] & 0xFF);
            pPlain[2 * i + 1] = static_cast<NXR_BYTE>(m_pBuffer[i] >> 8);
        }
        CNXRBuffer<NXR_BYTE> cipherBytes;
        if (!aesKey.encrypt(plainBytes, cipherBytes))
            NXR_THROW(CBadArgException, u"aesKey", u"not a valid AES key");
        CBase64Encoder encoder;
        CNXRBuffer<NXR_CHAR> text;
        if (!encoder.encode(cipherBytes, text))
            throw CLogException1(u"unable to encode the string for whatever reason", static_cast<uint32_t>(errno),
                                 NXR_RESULT_ERROR_CODE, u"CNXRWCharString", u"obscure", __FILE__, __LINE__);
        result = text;
        return result.hasStorage();
    });
    return result;
}

CNXRWCharString CNXRWCharString::unobscure(const CAesKey& aesKey) const
{
    NXR_WSTR_TRACE(u"unobscure");
    CNXRWCharString result;
    nxrGuard(nxrTrace, false, [&] {
        if (textLength() == 0)
            NXR_THROW(CBadArgException, u"this", u"Can't unobscure empty string");
        // The narrow text keeps its terminating zero, which the decoder
        // expects to find last.
        const CNXRBuffer<NXR_CHAR> text = *this;
        CBase64Encoder encoder;
        CNXRBuffer<NXR_BYTE> cipherBytes;
        if (!encoder.decode(text, cipherBytes))
            throw CLogException1(u"unable to decode the string for whatever reason", static_cast<uint32_t>(errno),
                                 NXR_RESULT_ERROR_CODE, u"CNXRWCharString", u"unobscure", __FILE__, __LINE__);
        CNXRBuffer<NXR_BYTE> plainBytes;
        if (!aesKey.decrypt(cipherBytes, plainBytes))
            NXR_THROW(CBadArgException, u"aesKey", u"not a valid AES key");
        const uint32_t ulBytes = plainBytes.getNumElems();
        if (ulBytes == 0)
            return true; // an obscured empty text: nothing to give back
        // Little-endian code units; an odd last byte is a unit with a zero
        // high byte, never a read past the plain bytes.
        const NXR_BYTE* pPlain = std::as_const(plainBytes).getBuffer();
        CNXRBuffer<NXR_USHORT> units((ulBytes + 1) / 2);
        char16_t* pUnits = units.getBuffer();
        for (uint32_t i = 0; i < ulBytes; ++i)
            pUnits[i / 2] = static_cast<char16_t>(pUnits[i / 2] | (i % 2 ? pPlain[i] << 8 : pPlain[i]));
        result = units;
        return true;
    });
    return result;
}

#undef NXR_WSTR_TRACE

} // namespace nxr
