#include "nxr_wchar_string.h"

#include "nxr_os_text.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <utility>

namespace nxr {

#define NXR_WSTR_TRACE(method) NXR_TRACE(u"CNXRWCharString", method)

namespace {

constexpr uint32_t kMaxUnits = UINT32_MAX;

// Overwrites a standard string's text when it goes out of scope: conversion
// temporaries may carry a passphrase. The strings are reserved up front, so
// their text never moved to a block that this would miss.
template <class S>
class CWipeOnExit {
public:
    explicit CWipeOnExit(S& s) : m_s(s) {}
    ~CWipeOnExit()
    {
        volatile typename S::value_type* p = m_s.data();
        for (size_t i = 0; i < m_s.size(); ++i)
            p[i] = 0;
    }
    CWipeOnExit(const CWipeOnExit&) = delete;
    CWipeOnExit& operator=(const CWipeOnExit&) = delete;

private:
    S& m_s;
};

// Calls onMatch(position, occurrence) for each (possibly overlapping) match of
// needle in hay, in the order of mode, until onMatch returns true. Returns
// whether onMatch stopped the scan. An unknown mode visits nothing.
template <class F>
bool scanMatches(std::u16string_view hay, std::u16string_view needle, CNXRWCharString::parseMode mode,
                 F&& onMatch)
{
    if (needle.empty() || needle.size() > hay.size())
        return false;
    const size_t ulWindows = hay.size() - needle.size() + 1;
    uint32_t ulFound = 0;
    for (size_t k = 0; k < ulWindows; ++k) {
        size_t ulPos;
        if (mode == CNXRWCharString::pmForward)
            ulPos = k;
        else if (mode == CNXRWCharString::pmReverse)
            ulPos = ulWindows - 1 - k;
        else
            return false;
        if (std::char_traits<char16_t>::compare(hay.data() + ulPos, needle.data(), needle.size()) == 0 &&
            onMatch(static_cast<uint32_t>(ulPos), ++ulFound))
            return true;
    }
    return false;
}

// Appends the decimal digits of ulValue, least significant first.
bool appendReversedDecimal(std::u16string& text, uint32_t ulValue)
{
    do {
        char16_t c = 0;
        if (!CNXRWCharString::convertDigitToAscii(static_cast<NXR_BYTE>(ulValue % 10), c))
            return false;
        text.push_back(c);
        ulValue /= 10;
    } while (ulValue != 0);
    return true;
}

// Gives out the text; true when it arrived whole.
bool storeText(CNXRWCharString& out, const std::u16string& text)
{
    out = text.c_str();
    return out.view() == text;
}

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10};

} // namespace

// ---------------------------------------------------------------------------
// Untraced helpers

uint32_t CNXRWCharString::textLength() const
{
    if (!hasStorage())
        return 0;
    uint32_t ulLen = 0;
    while (ulLen < m_ulNumElems && m_pBuffer[ulLen] != 0)
        ++ulLen;
    return ulLen;
}

bool CNXRWCharString::assignUnits(const char16_t* pUnits, uint32_t ulCount)
{
    if (pUnits == nullptr || ulCount == 0)
        return destroyBuffer();
    if (ulCount == kMaxUnits)
        NXR_THROW(CMemAllocException, u"m_pBuffer");
    // Units inside this string's own block would be freed by the allocation
    // below: take them out first.
    const std::less<const char16_t*> before;
    if (m_pBuffer != nullptr && !before(pUnits, m_pBuffer) && before(pUnits, m_pBuffer + m_ulNumElems)) {
        const CNXRBuffer<NXR_USHORT> copy(pUnits, ulCount, 0);
        return assignUnits(copy.getBuffer(), ulCount);
    }
    if (!allocBuffer(ulCount + 1))
        return false;
    copyElems(m_pBuffer, pUnits, ulCount);
    // Cuts the text at an embedded zero; a text that starts with one goes.
    return freeUnusedMem() || !hasStorage();
}

bool CNXRWCharString::findOccurrence(std::u16string_view needle, uint32_t ulOccurrance, parseMode mode,
                                     uint32_t& ulPos) const
{
    return scanMatches(view(), needle, mode, [&](uint32_t ulAt, uint32_t ulNumber) {
        if (ulNumber != ulOccurrance)
            return false;
        ulPos = ulAt;
        return true;
    });
}

uint32_t CNXRWCharString::countOccurrences(std::u16string_view needle) const
{
    uint32_t ulCount = 0;
    scanMatches(view(), needle, pmForward, [&](uint32_t, uint32_t ulNumber) {
        ulCount = ulNumber;
        return false;
    });
    return ulCount;
}

std::u16string_view CNXRWCharString::view() const
{
    if (!hasStorage())
        return {};
    return {m_pBuffer, textLength()};
}

std::string CNXRWCharString::toUtf8() const { return toFileName(); }

std::string CNXRWCharString::toFileName() const { return os::utf16ToFileName(view()); }

CNXRWCharString CNXRWCharString::fromFileName(std::string_view name)
{
    NXR_WSTR_TRACE(u"fromFileName");
    CNXRWCharString out;
    nxrGuard(nxrTrace, false, [&] {
        // A name holds no zero byte; one here ends it, as it would for the kernel.
        const std::u16string wide = os::fileNameToUtf16(name.substr(0, name.find('\0')));
        if (wide.size() >= kMaxUnits)
            NXR_THROW(CMemAllocException, u"m_pBuffer");
        return out.assignUnits(wide.data(), static_cast<uint32_t>(wide.size()));
    });
    return out;
}

// ---------------------------------------------------------------------------
// Construction

CNXRWCharString::CNXRWCharString()
{
    NXR_WSTR_TRACE(u"CNXRWCharString");
    nxrTrace.setResult(true);
}

CNXRWCharString::CNXRWCharString(const CNXRWCharString& src) : CNXRBuffer<NXR_USHORT>(src)
{
    NXR_WSTR_TRACE(u"CNXRWCharString");
    nxrTrace.setResult(true);
}

CNXRWCharString::CNXRWCharString(const char16_t* psz)
{
    NXR_WSTR_TRACE(u"CNXRWCharString");
    nxrGuardCtor<CNXRBufferInitException>([&] { *this = psz; }, NxrCtorFailure::ThrowInit,
                                          NxrCtorFailure::ThrowInit);
    nxrTrace.setResult(true);
}

CNXRWCharString::CNXRWCharString(const CNXRBuffer<NXR_USHORT>& buffer)
{
    NXR_WSTR_TRACE(u"CNXRWCharString");
    nxrGuardCtor<CNXRBufferInitException>([&] { *this = buffer; }, NxrCtorFailure::ThrowInit,
                                          NxrCtorFailure::ThrowInit);
    nxrTrace.setResult(true);
}

CNXRWCharString::CNXRWCharString(const CNXRBuffer<NXR_CHAR>& buffer)
{
    NXR_WSTR_TRACE(u"CNXRWCharString");
    nxrGuardCtor<CNXRBufferInitException>([&] { *this = buffer; }, NxrCtorFailure::ThrowInit,
                                          NxrCtorFailure::ThrowInit);
    nxrTrace.setResult(true);
}

// Nothing here throws: the buffer's operations and the assignment report
// their failures by their results, and a failure leaves the string empty.
CNXRWCharString::CNXRWCharString(const char* psz)
{
    if (psz == nullptr)
        return;
    const size_t ulLen = std::strlen(psz);
    if (ulLen == 0 || ulLen >= kMaxUnits)
        return;
    CNXRBuffer<NXR_CHAR> narrow;
    if (!narrow.allocBuffer(static_cast<uint32_t>(ulLen)))
        return;
    std::memcpy(narrow.getBuffer(), psz, ulLen);
    *this = narrow;
}

CNXRWCharString::CNXRWCharString(char16_t c)
{
    NXR_WSTR_TRACE(u"CNXRWCharString");
    nxrGuardCtor<CNXRBufferInitException>([&] { *this = c; }, NxrCtorFailure::ThrowInit,
                                          NxrCtorFailure::ThrowInit);
    nxrTrace.setResult(true);
}

CNXRWCharString::CNXRWCharString(int32_t lValue)
{
    NXR_WSTR_TRACE(u"CNXRWCharString");
    bool bDone = false;
    nxrGuardCtor<CNXRBufferInitException>([&] { bDone = convertLongToDecString(*this, lValue); },
                                          NxrCtorFailure::ThrowInit, NxrCtorFailure::ThrowInit);
    if (!bDone)
        NXR_THROW(CNXRBufferInitException);
    nxrTrace.setResult(true);
}

CNXRWCharString::CNXRWCharString(uint32_t ulValue, asNumberSystem numberSystem, uint16_t usDigits, bool bPrefix)
{
    NXR_WSTR_TRACE(u"CNXRWCharString");
    bool bDone = false;
    nxrGuardCtor<CNXRBufferInitException>(
        [&] {
            switch (numberSystem) {
            case nsHex:
                bDone = convertLongToHexString(*this, ulValue, usDigits, bPrefix);
                break;
            case nsBin:
                bDone = convertLongToBinString(*this, ulValue, usDigits, bPrefix);
                break;
            case nsOct:
                bDone = convertLongToOctString(*this, ulValue, usDigits, bPrefix);
                break;
            case nsDec:
                // The bits read as a signed value: 0xFFFFFFFF is -1.
                bDone = convertLongToDecString(*this, static_cast<int32_t>(ulValue));
                break;
            default:
                NXR_THROW(CBadArgException, u"asNumberSystem", u"mode isn't supported, must be hex,bin,or oct");
            }
        },
        NxrCtorFailure::ThrowInit, NxrCtorFailure::ThrowInit);
    if (!bDone)
        NXR_THROW(CNXRBufferInitException);
    nxrTrace.setResult(true);
}

// The integer part in decimal, then '.' and the fraction scaled by
// 10^usPrecision, truncated and written with exactly usPrecision digits
// (leading zeros kept, so 1.05 with precision 2 reads "1.05").
CNXRWCharString::CNXRWCharString(double dValue, uint16_t usPrecision)
{
    NXR_WSTR_TRACE(u"CNXRWCharString");
    bool bDone = false;
    nxrGuardCtor<CNXRBufferInitException>(
        [&] {
            if (usPrecision > 10)
                NXR_THROW(CBadArgException, u"usPrecision",
                          u"precision can't be larger than 10 - will cause buffer underflow");
            if (!std::isfinite(dValue))
                NXR_THROW(CBadArgException, u"dValue", u"value is not a finite number");
            const double dInteger = std::trunc(dValue);
            if (dInteger < -2147483648.0 || dInteger > 2147483647.0)
                NXR_THROW(CBadArgException, u"dValue", u"integer part doesn't fit a long value");
            const double dScaled = std::fabs(dValue - dInteger) * kPowersOfTen[usPrecision];
            if (dScaled > 4294967295.0)
                NXR_THROW(CBadArgException, u"dValue",
                          u"fraction scaled by the precision doesn't fit an unsigned long value");

            CNXRWCharString integerPart;
            if (!convertLongToDecString(integerPart, static_cast<int32_t>(dInteger)))
                return;
            std::u16string text;
            // Between -1 and 0 the integer part "0" carries no sign of its own.
            if (dValue < 0.0 && dValue > -1.0)
                text.push_back(u'-');
            text += integerPart.view();
            if (usPrecision > 0) {
                std::u16string fraction;
                if (!appendReversedDecimal(fraction, static_cast<uint32_t>(dScaled)))
                    return;
                fraction.resize(std::max<size_t>(fraction.size(), usPrecision), u'0');
                text.push_back(u'.');
                text.append(fraction.rbegin(), fraction.rend());
            }
            bDone = storeText(*this, text);
        },
        NxrCtorFailure::ThrowInit, NxrCtorFailure::ThrowInit);
    if (!bDone)
        NXR_THROW(CNXRBufferInitException);
    nxrTrace.setResult(true);
}

// ---------------------------------------------------------------------------
// Assignment

CNXRWCharString& CNXRWCharString::operator=(const CNXRWCharString& src)
{
    NXR_WSTR_TRACE(u"operator=");
    nxrGuard(nxrTrace, false, [&] {
        if (this == &src)
            return true;
        if (!src.hasStorage())
            return destroyBuffer();
        CNXRBuffer<NXR_USHORT>::operator=(src);
        return m_ulNumElems == src.m_ulNumElems;
    });
    return *this;
}

CNXRWCharString& CNXRWCharString::operator=(const char16_t* psz)
{
    NXR_WSTR_TRACE(u"operator=");
    nxrGuard(nxrTrace, false, [&] {
        if (psz == nullptr || *psz == 0)
            return destroyBuffer();
        const size_t ulLen = std::char_traits<char16_t>::length(psz);
        if (ulLen >= kMaxUnits)
            NXR_THROW(CMemAllocException, u"m_pBuffer");
        return assignUnits(psz, static_cast<uint32_t>(ulLen));
    });
    return *this;
}

CNXRWCharString& CNXRWCharString::operator=(const CNXRBuffer<NXR_USHORT>& buffer)
{
    NXR_WSTR_TRACE(u"operator=");
    nxrGuard(nxrTrace, false, [&] {
        if (!buffer.isValid())
            return destroyBuffer();
        return assignUnits(buffer.getBuffer(), buffer.getNumElems());
    });
    return *this;
}

// Narrow text is UTF-8. As with the C library's multibyte conversion, the
// text ends at the first zero byte; what lies behind it is not looked at.
CNXRWCharString& CNXRWCharString::operator=(const CNXRBuffer<NXR_CHAR>& buffer)
{
    NXR_WSTR_TRACE(u"operator=");
    nxrGuard(nxrTrace, false, [&] {
        if (!buffer.isValid())
            return destroyBuffer();
        std::string_view narrow(buffer.getBuffer(), buffer.getNumElems());
        narrow = narrow.substr(0, narrow.find('\0'));
        std::u16string wide;
        wide.reserve(narrow.size());
        const CWipeOnExit wipe(wide);
        if (!os::utf8ToUtf16(narrow, wide))
            return false; // not UTF-8: this string stays as it was
        return assignUnits(wide.data(), static_cast<uint32_t>(wide.size()));
    });
    return *this;
}

CNXRWCharString& CNXRWCharString::operator=(char16_t c)
{
    NXR_WSTR_TRACE(u"operator=");
    nxrGuard(nxrTrace, false, [&] { return assignUnits(&c, 1); });
    return *this;
}

// ---------------------------------------------------------------------------
// Length and comparison

uint32_t CNXRWCharString::getLength() const
{
    NXR_WSTR_TRACE(u"getLength");
    return nxrTrace.setReturnCode(textLength());
}

bool CNXRWCharString::operator==(const CNXRWCharString& s) const
{
    NXR_WSTR_TRACE(u"operator==");
    const bool bMine = hasStorage();
    const bool bTheirs = s.hasStorage();
    return nxrTrace.setResult(bMine && bTheirs ? view() == s.view() : bMine == bTheirs);
}

bool CNXRWCharString::operator!=(const CNXRWCharString& s) const
{
    NXR_WSTR_TRACE(u"operator!=");
    return nxrTrace.setResult(!(*this == s));
}

bool CNXRWCharString::operator<=(const CNXRWCharString& s) const
{
    NXR_WSTR_TRACE(u"operator<=");
    const std::u16string_view mine = view();
    const std::u16string_view theirs = s.view();
    return nxrTrace.setResult(hasStorage() && s.hasStorage() && mine.size() == theirs.size() && mine <= theirs);
}

bool CNXRWCharString::operator>=(const CNXRWCharString& s) const
{
    NXR_WSTR_TRACE(u"operator>=");
    const std::u16string_view mine = view();
    const std::u16string_view theirs = s.view();
    return nxrTrace.setResult(hasStorage() && s.hasStorage() && mine.size() == theirs.size() && mine >= theirs);
}

bool CNXRWCharString::operator<(const CNXRWCharString& s) const
{
    NXR_WSTR_TRACE(u"operator<");
    return nxrTrace.setResult(!(*this >= s));
}

bool CNXRWCharString::operator>(const CNXRWCharString& s) const
{
    NXR_WSTR_TRACE(u"operator>");
    return nxrTrace.setResult(!(*this <= s));
}

// ---------------------------------------------------------------------------
// Concatenation and conversion to narrow text

CNXRWCharString& CNXRWCharString::operator+=(const CNXRWCharString& s)
{
    NXR_WSTR_TRACE(u"operator+=");
    nxrGuard(nxrTrace, false, [&] {
        const uint32_t ulAdd = s.textLength();
        if (ulAdd == 0)
            return true;
        const uint32_t ulLen = textLength();
        if (uint64_t(ulLen) + ulAdd + 1 > kMaxUnits)
            NXR_THROW(CMemAllocException, u"m_pBuffer");
        // Appending a string to itself: its block moves below, keep a copy.
        CNXRBuffer<NXR_USHORT> self;
        const char16_t* pAdd = s.m_pBuffer;
        if (&s == this) {
            self = s;
            if (self.getNumElems() != m_ulNumElems)
                return false;
            pAdd = std::as_const(self).getBuffer();
        }
        // Exactly the old text, the new text and one zero.
        if (!reAllocBuffer(ulLen + ulAdd + 1))
            return false;
        copyElems(m_pBuffer + ulLen, pAdd, ulAdd);
        m_pBuffer[ulLen + ulAdd] = 0;
        return true;
    });
    return *this;
}

CNXRWCharString CNXRWCharString::operator+(const CNXRWCharString& s) const
{
    NXR_WSTR_TRACE(u"operator+");
    CNXRWCharString result;
    nxrGuard(nxrTrace, false, [&] {
        result = *this;
        result += s;
        return result.textLength() == textLength() + s.textLength();
    });
    return result;
}

// Sized from the conversion: a UTF-8 character takes up to four bytes.
CNXRWCharString::operator CNXRBuffer<NXR_CHAR>() const
{
    NXR_WSTR_TRACE(u"operator CNXRBuffer< NXR_CHAR >");
    CNXRBuffer<NXR_CHAR> out;
    nxrGuard(nxrTrace, false, [&] {
        if (!hasStorage())
            return true;
        const std::u16string_view text = view();
        std::string narrow;
        narrow.reserve(size_t(text.size()) * 3);
        const CWipeOnExit wipe(narrow);
        if (!os::utf16ToUtf8(text, narrow))
            return false; // an unpaired surrogate: no text at all
        if (narrow.size() >= kMaxUnits)
            NXR_THROW(CMemAllocException, u"m_pBuffer");
        if (!out.allocBuffer(static_cast<uint32_t>(narrow.size() + 1)))
            return false;
        if (!narrow.empty())
            std::memcpy(out.getBuffer(), narrow.data(), narrow.size());
        return true;
    });
    return out;
}

bool CNXRWCharString::freeUnusedMem()
{
    NXR_WSTR_TRACE(u"freeUnusedMem");
    return nxrGuard(nxrTrace, false, [&] {
        if (!hasStorage())
            return false;
        const uint32_t ulLen = textLength();
        if (ulLen == 0)
            return flush();
        if (ulLen == kMaxUnits)
            NXR_THROW(CMemAllocException, u"m_pBuffer");
        if (m_ulNumElems != ulLen + 1)
            return reAllocBuffer(ulLen + 1);
        return true;
    });
}

// ---------------------------------------------------------------------------
// Searching

bool CNXRWCharString::getSubStringPos(const CNXRWCharString& sub, uint32_t ulOccurrance, parseMode mode,
                                      uint32_t* pulPos) const
{
    NXR_WSTR_TRACE(u"getSubStringPos");
    return nxrGuard(nxrTrace, false, [&] {
        if (!hasStorage() || !sub.hasStorage())
            return false;
        const uint32_t ulLen = textLength();
        const uint32_t ulSubLen = sub.textLength();
        if (ulSubLen == 0 || ulSubLen > ulLen)
            return false;
        if (ulOccurrance > ulLen)
            NXR_THROW(CBadArgException, u"ulOccurrance",
                      u"value is impossible since it is larger than the length of this string");
        if (ulOccurrance == 0)
            NXR_THROW(CBadArgException, u"ulOccurrance", u"value must be greater than 0");
        if (pulPos == nullptr)
            NXR_THROW(CBadArgException, u"pulPos", u"value is NULL");
        uint32_t ulPos = 0;
        if (!findOccurrence(sub.view(), ulOccurrance, mode, ulPos))
            return false;
        *pulPos = ulPos;
        return true;
    });
}

// Counts in one pass what asking getSubStringPos for occurrence 1, 2, ...
// until it fails would count.
uint32_t CNXRWCharString::getSubStringCount(const CNXRWCharString& sub) const
{
    NXR_WSTR_TRACE(u"getSubStringCount");
    const uint32_t ulCount = nxrGuard(nxrTrace, uint32_t{0}, [&] {
        if (!hasStorage() || !sub.hasStorage())
            return uint32_t{0};
        return countOccurrences(sub.view());
    });
    return nxrTrace.setReturnCode(ulCount);
}

bool CNXRWCharString::hasSubString(const CNXRWCharString& sub) const
{
    NXR_WSTR_TRACE(u"hasSubString");
    uint32_t ulPos = 0;
    return nxrTrace.setResult(getSubStringPos(sub, 1, pmForward, &ulPos));
}

bool CNXRWCharString::getSubStringOccurrance(const CNXRWCharString& sub, uint32_t ulPos, parseMode mode,
                                             uint32_t* pulOccurrance) const
{
    NXR_WSTR_TRACE(u"getSubStringOccurrance");
    return nxrGuard(nxrTrace, false, [&] {
        if (pulOccurrance == nullptr)
            NXR_THROW(CBadArgException, u"pulOccurrance", u"value is NULL");
        if (!hasStorage() || !sub.hasStorage())
            return false;
        return scanMatches(view(), sub.view(), mode, [&](uint32_t ulAt, uint32_t ulNumber) {
            if (ulAt != ulPos)
                return false;
            *pulOccurrance = ulNumber;
            return true;
        });
    });
}

bool CNXRWCharString::getReverseSubStringOccurrance(const CNXRWCharString& sub, uint32_t ulOccurrance,
                                                    parseMode mode, uint32_t* pulOccurrance) const
{
    NXR_WSTR_TRACE(u"getReverseSubStringOccurrance");
    return nxrGuard(nxrTrace, false, [&] {
        if (sub.textLength() == 0)
            NXR_THROW(CBadArgException, u"subString", u"must contain a string");
        if (mode != pmForward && mode != pmReverse)
            NXR_THROW(CBadArgException, u"parseMode", u"invalid parse mode");
        uint32_t ulPos = 0;
        if (!getSubStringPos(sub, ulOccurrance, mode, &ulPos))
            return false;
        return getSubStringOccurrance(sub, ulPos, mode == pmForward ? pmReverse : pmForward, pulOccurrance);
    });
}

bool CNXRWCharString::toLower()
{
    NXR_WSTR_TRACE(u"toLower");
    if (!hasStorage())
        return nxrTrace.setResult(false);
    const uint32_t ulLen = textLength();
    for (uint32_t i = 0; i < ulLen; ++i)
        if (m_pBuffer[i] >= u'A' && m_pBuffer[i] <= u'Z')
            m_pBuffer[i] = static_cast<char16_t>(m_pBuffer[i] + 0x20);
    return nxrTrace.setResult(true);
}

// ---------------------------------------------------------------------------
// Writing numbers

bool CNXRWCharString::convertDigitToAscii(NXR_BYTE ucDigit, char16_t& c)
{
    NXR_WSTR_TRACE(u"convertDigitToAscii");
    if (ucDigit > 9)
        return nxrTrace.setResult(false);
    c = static_cast<char16_t>(u'0' + ucDigit);
    return nxrTrace.setResult(true);
}

bool CNXRWCharString::convertLongToPowerOfTwoString(CNXRWCharString& out, uint32_t ulValue, unsigned uBitsPerDigit,
                                                    char16_t cPrefix, uint16_t usDigits, bool bPrefix)
{
    const uint32_t ulMask = (1u << uBitsPerDigit) - 1;
    // Least significant digit first; reversed at the end.
    std::u16string text;
    do {
        const uint32_t ulDigit = ulValue & ulMask;
        text.push_back(static_cast<char16_t>(ulDigit < 10 ? u'0' + ulDigit : u'A' + ulDigit - 10));
        ulValue >>= uBitsPerDigit;
    } while (ulValue != 0);
    if (usDigits != 0)
        text.resize(usDigits, u'0'); // pads, or drops the most significant surplus
    if (bPrefix) {
        text.push_back(cPrefix);
        text.push_back(u'0');
    }
    std::reverse(text.begin(), text.end());
    return storeText(out, text);
}

bool CNXRWCharString::convertLongToHexString(CNXRWCharString& out, uint32_t ulValue, uint16_t usDigits, bool bPrefix)
{
    NXR_WSTR_TRACE(u"convertLongToHexString");
    return nxrGuard(nxrTrace, false,
                    [&] { return convertLongToPowerOfTwoString(out, ulValue, 4, u'x', usDigits, bPrefix); });
}

bool CNXRWCharString::convertLongToBinString(CNXRWCharString& out, uint32_t ulValue, uint16_t usDigits, bool bPrefix)
{
    NXR_WSTR_TRACE(u"convertLongToBinString");
    return nxrGuard(nxrTrace, false,
                    [&] { return convertLongToPowerOfTwoString(out, ulValue, 1, u'b', usDigits, bPrefix); });
}

bool CNXRWCharString::convertLongToOctString(CNXRWCharString& out, uint32_t ulValue, uint16_t usDigits, bool bPrefix)
{
    NXR_WSTR_TRACE(u"convertLongToOctString");
    return nxrGuard(nxrTrace, false,
                    [&] { return convertLongToPowerOfTwoString(out, ulValue, 3, u'o', usDigits, bPrefix); });
}

bool CNXRWCharString::convertLongToDecString(CNXRWCharString& out, int32_t lValue)
{
    NXR_WSTR_TRACE(u"convertLongToDecString");
    return nxrGuard(nxrTrace, false, [&] {
        // The magnitude as unsigned, so that -2147483648 has one.
        const uint32_t ulMagnitude = lValue < 0 ? 0u - static_cast<uint32_t>(lValue) : static_cast<uint32_t>(lValue);
        std::u16string text;
        if (!appendReversedDecimal(text, ulMagnitude))
            return false;
        if (lValue < 0)
            text.push_back(u'-');
        std::reverse(text.begin(), text.end());
        return storeText(out, text);
    });
}

#undef NXR_WSTR_TRACE

} // namespace nxr
