// CNXRWCharString: editing by position and by sub-string, trimming of
// formatting characters, ASCII classification, reading numbers, delimited
// parameters, upper-casing and reversal.
//
// Edits work in the string's own storage (the buffer wipes every block it
// lets go of) and end in normal form through freeUnusedMem.
#include "nxr_wchar_string.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <locale.h>
#include <string>

namespace nxr {

#define NXR_WSTR_TRACE(method) NXR_TRACE(u"CNXRWCharString", method)

namespace {

using View = std::u16string_view;

bool isDigitUnit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool isUpperUnit(char16_t c) { return c >= u'A' && c <= u'Z'; }
bool isLowerUnit(char16_t c) { return c >= u'a' && c <= u'z'; }
bool isLetterUnit(char16_t c) { return isUpperUnit(c) || isLowerUnit(c); }
char16_t lowerUnit(char16_t c) { return isUpperUnit(c) ? static_cast<char16_t>(c + 0x20) : c; }
bool isBinUnit(char16_t c) { return c == u'0' || c == u'1'; }
bool isOctUnit(char16_t c) { return c >= u'0' && c <= u'7'; }
bool isHexUnit(char16_t c) { return isDigitUnit(c) || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f'); }

// The formatting characters and their class bits, in the order in which
// trimFormatting deletes them.
struct FormatChar {
    uint32_t ulClass;
    char16_t c;
};
constexpr FormatChar kFormatChars[] = {
    {CNXRWCharString::fcTab, u'\t'},          {CNXRWCharString::fcSpace, u' '},
    {CNXRWCharString::fcFormFeed, u'\f'},     {CNXRWCharString::fcLineFeed, u'\n'},
    {CNXRWCharString::fcBackspace, u'\b'},    {CNXRWCharString::fcVerticalTab, u'\v'},
    {CNXRWCharString::fcCarriageReturn, u'\r'}, {CNXRWCharString::fcBell, u'\a'},
};

// The class bit of a formatting character; 0 for any other unit.
uint32_t formatClassOf(char16_t c)
{
    for (const FormatChar& f : kFormatChars)
        if (f.c == c)
            return f.ulClass;
    return 0;
}

template <class Pred>
bool allUnits(View text, Pred pred)
{
    return std::all_of(text.begin(), text.end(), pred);
}

bool numericalOnly(View text, bool bAllowSign, bool bAllowDecimal)
{
    if (text.empty())
        return false;
    bool bDot = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (isDigitUnit(c))
            continue;
        if (c == u'-' && bAllowSign && i == 0)
            continue;
        if (c == u'.' && bAllowDecimal && !bDot && i != 0 && i + 1 != text.size()) {
            bDot = true;
            continue;
        }
        return false;
    }
    return true;
}

bool real(View text, bool bAllowSign)
{
    size_t ulDots = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (isDigitUnit(c) || (c == u'-' && bAllowSign && i == 0))
            continue;
        if (c == u'.' && i != 0 && i + 1 != text.size()) {
            ++ulDots;
            continue;
        }
        return false;
    }
    return ulDots == 1;
}

// Binary or octal digits declared by one letter (either case) in second
// place ("0b101") or last ("101b"), with at least one digit besides it.
template <class DigitPred>
bool declaredWithLetter(View text, char16_t cLetter, DigitPred isDigit)
{
    size_t ulLetters = 0;
    size_t ulAt = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = lowerUnit(text[i]);
        if (c == cLetter) {
            ++ulLetters;
            ulAt = i;
        } else if (!isDigit(c)) {
            return false;
        }
    }
    return ulLetters == 1 && text.size() > 1 && (ulAt == 1 || ulAt + 1 == text.size());
}

bool containsHexPrefix(View text)
{
    for (size_t i = 0; i + 1 < text.size(); ++i)
        if (text[i] == u'0' && lowerUnit(text[i + 1]) == u'x')
            return true;
    return false;
}

bool declaredHex(View text)
{
    size_t ulX = 0, ulH = 0, ulXAt = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = lowerUnit(text[i]);
        if (c == u'x') {
            ++ulX;
            ulXAt = i;
        } else if (c == u'h') {
            ++ulH;
        } else if (!isHexUnit(c)) {
            return false;
        }
    }
    if (ulX + ulH != 1 || text.size() < 2)
        return false;
    if (containsHexPrefix(text))
        return ulH == 0 && ulXAt == 1;
    return lowerUnit(text.back()) == u'h';
}

// The digits of a text in the given system: the text less that system's
// identifier when it declares one.
View digitsOf(View text, CNXRWCharString::asNumberSystem numberSystem)
{
    switch (numberSystem) {
    case CNXRWCharString::nsBin:
    case CNXRWCharString::nsOct: {
        const char16_t cLetter = numberSystem == CNXRWCharString::nsBin ? u'b' : u'o';
        const bool bDeclared = numberSystem == CNXRWCharString::nsBin ? declaredWithLetter(text, u'b', isBinUnit)
                                                                      : declaredWithLetter(text, u'o', isOctUnit);
        if (!bDeclared)
            return text;
        // A letter that is last is a suffix, even in second place ("1b").
        return lowerUnit(text.back()) == cLetter ? text.substr(0, text.size() - 1) : text.substr(2);
    }
    case CNXRWCharString::nsHex:
        if (!declaredHex(text))
            return text;
        return containsHexPrefix(text) ? text.substr(2) : text.substr(0, text.size() - 1);
    default:
        return text;
    }
}

uint32_t hexValueOf(char16_t c)
{
    if (isDigitUnit(c))
        return c - u'0';
    return lowerUnit(c) - u'a' + 10;
}

// Sum of digit x base^place over the digits, most significant first.
bool readDigits(View digits, uint32_t ulBase, uint32_t* pul)
{
    uint64_t ullValue = 0;
    for (const char16_t c : digits) {
        ullValue = ullValue * ulBase + hexValueOf(c);
        if (ullValue > UINT32_MAX)
            return false;
    }
    *pul = static_cast<uint32_t>(ullValue);
    return true;
}

// A signed decimal (an optional '-' then digits) as the C library's atol
// reads it with a 32-bit long: saturated at the ends of the range.
int32_t readSignedDecimal(View text)
{
    const bool bNegative = !text.empty() && text[0] == u'-';
    const int64_t llLimit = bNegative ? int64_t{INT32_MAX} + 1 : INT32_MAX;
    int64_t llMagnitude = 0;
    for (size_t i = bNegative ? 1 : 0; i < text.size() && isDigitUnit(text[i]); ++i)
        llMagnitude = std::min(llMagnitude * 10 + (text[i] - u'0'), llLimit);
    return static_cast<int32_t>(bNegative ? -llMagnitude : llMagnitude);
}

// A decimal text of ASCII digits, '-' and '.' read as the C library's atof
// reads it, whatever locale the process runs under.
double readDouble(View text)
{
    std::string narrow(text.begin(), text.end());
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return cLocale != static_cast<locale_t>(nullptr) ? strtod_l(narrow.c_str(), nullptr, cLocale)
                                                      : std::strtod(narrow.c_str(), nullptr);
}

} // namespace

// ---------------------------------------------------------------------------
// Untraced in-place edits

bool CNXRWCharString::keepUnits(uint32_t ulPos, uint32_t ulCount)
{
    if (ulCount == 0)
        return destroyBuffer();
    if (ulPos != 0)
        std::memmove(m_pBuffer, m_pBuffer + ulPos, size_t(ulCount) * sizeof(char16_t));
    std::fill(m_pBuffer + ulCount, m_pBuffer + m_ulNumElems, u'\0');
    return freeUnusedMem();
}

bool CNXRWCharString::eraseUnits(uint32_t ulPos, uint32_t ulCount)
{
    const uint32_t ulLen = textLength();
    if (ulCount != 0) {
        std::memmove(m_pBuffer + ulPos, m_pBuffer + ulPos + ulCount,
                     size_t(ulLen - ulPos - ulCount) * sizeof(char16_t));
        std::fill(m_pBuffer + ulLen - ulCount, m_pBuffer + m_ulNumElems, u'\0');
    }
    if (ulLen == ulCount)
        return destroyBuffer();
    return freeUnusedMem();
}

bool CNXRWCharString::insertUnits(uint32_t ulPos, std::u16string_view units)
{
    if (units.empty())
        return true;
    const uint32_t ulLen = textLength();
    if (uint64_t(ulLen) + units.size() + 1 > UINT32_MAX)
        NXR_THROW(CMemAllocException, u"m_pBuffer");
    const uint32_t ulAdd = static_cast<uint32_t>(units.size());
    // Units from this string's own block would move with it: copy them out.
    const std::less<const char16_t*> before;
    if (m_pBuffer != nullptr && !before(units.data(), m_pBuffer) &&
        before(units.data(), m_pBuffer + m_ulNumElems)) {
        const CNXRBuffer<NXR_USHORT> copy(units.data(), ulAdd, 0);
        return insertUnits(ulPos, View(copy.getBuffer(), ulAdd));
    }
    if (!hasStorage())
        return assignUnits(units.data(), ulAdd);
    if (!reAllocBuffer(ulLen + ulAdd + 1))
        return false;
    std::memmove(m_pBuffer + ulPos + ulAdd, m_pBuffer + ulPos, size_t(ulLen - ulPos) * sizeof(char16_t));
    copyElems(m_pBuffer + ulPos, units.data(), ulAdd);
    m_pBuffer[ulLen + ulAdd] = 0;
    return true;
}

bool CNXRWCharString::containsDigit() const
{
    const View text = view();
    return std::any_of(text.begin(), text.end(), isDigitUnit);
}

bool CNXRWCharString::containsLetter() const
{
    const View text = view();
    return std::any_of(text.begin(), text.end(), isLetterUnit);
}

bool CNXRWCharString::containsSpace() const { return view().find(u' ') != View::npos; }

// ---------------------------------------------------------------------------
// Editing by position

CNXRWCharString CNXRWCharString::operator>>(uint32_t n) const
{
    NXR_WSTR_TRACE(u"operator>>");
    CNXRWCharString result;
    nxrGuard(nxrTrace, false, [&] {
        result = *this;
        result >>= n;
    });
    return result;
}

CNXRWCharString CNXRWCharString::operator<<(uint32_t n) const
{
    NXR_WSTR_TRACE(u"operator<<");
    CNXRWCharString result;
    nxrGuard(nxrTrace, false, [&] {
        result = *this;
        result <<= n;
    });
    return result;
}

CNXRWCharString& CNXRWCharString::operator>>=(uint32_t n)
{
    NXR_WSTR_TRACE(u"operator>>=");
    nxrGuard(nxrTrace, false, [&] {
        if (!hasStorage())
            return true;
        const uint32_t ulLen = textLength();
        return n >= ulLen ? destroyBuffer() : keepUnits(0, ulLen - n);
    });
    return *this;
}

CNXRWCharString& CNXRWCharString::operator<<=(uint32_t n)
{
    NXR_WSTR_TRACE(u"operator<<=");
    nxrGuard(nxrTrace, false, [&] {
        if (!hasStorage())
            return true;
        const uint32_t ulLen = textLength();
        return n >= ulLen ? destroyBuffer() : keepUnits(n, ulLen - n);
    });
    return *this;
}

bool CNXRWCharString::deleteRange(uint32_t ulStartPos, uint32_t ulEndPos, bool bInclusiveStart, bool bInclusiveEnd)
{
    NXR_WSTR_TRACE(u"deleteRange");
    return nxrGuard(nxrTrace, false, [&] {
        const uint32_t ulLen = textLength();
        if (ulLen == 0)
            return false;
        if (ulStartPos >= ulLen)
            NXR_THROW(CBadArgException, u"ulStartPos", u"start position is past the end of the string");
        if (ulEndPos >= ulLen)
            NXR_THROW(CBadArgException, u"ulEndPos", u"end position is past the end of the string");
        if (ulStartPos == ulEndPos)
            NXR_THROW(CBadArgException, u"ulEndPos & ulStartPos", u"start and end positions can't be equal");
        if (ulStartPos < ulEndPos) {
            const uint32_t ulFrom = bInclusiveStart ? ulStartPos : ulStartPos + 1;
            const uint32_t ulTo = bInclusiveEnd ? ulEndPos + 1 : ulEndPos;
            eraseUnits(ulFrom, ulTo - ulFrom);
        } else {
            // The range wraps round the end: what stays lies between the end
            // position and the start position.
            const uint32_t ulFrom = bInclusiveEnd ? ulEndPos + 1 : ulEndPos;
            const uint32_t ulTo = bInclusiveStart ? ulStartPos : ulStartPos + 1;
            keepUnits(ulFrom, ulTo - ulFrom);
        }
        return true;
    });
}

bool CNXRWCharString::extractBetween(CNXRWCharString& out, uint32_t ulStartPos, uint32_t ulEndPos,
                                     bool bInclusive) const
{
    NXR_WSTR_TRACE(u"extractBetween");
    return nxrGuard(nxrTrace, false, [&] {
        if (ulStartPos > ulEndPos)
            NXR_THROW(CBadArgException, u"ulStartPos",
                      u"start position can't be greater than end position - use extractOutside( ) or deleteRange( ) "
                      u"instead");
        if (ulStartPos == ulEndPos)
            NXR_THROW(CBadArgException, u"ulStartPos & ulEndPos",
                      u"start and end positions can't be equal - use deleteRange( ) instead");
        CNXRWCharString part(*this);
        if (!part.deleteRange(ulEndPos, ulStartPos, !bInclusive, !bInclusive))
            return false;
        out = part;
        return true;
    });
}

bool CNXRWCharString::extractOutside(CNXRWCharString& out, uint32_t ulStartPos, uint32_t ulEndPos,
                                     bool bInclusive) const
{
    NXR_WSTR_TRACE(u"extractOutside");
    return nxrGuard(nxrTrace, false, [&] {
        if (ulStartPos > ulEndPos)
            NXR_THROW(CBadArgException, u"ulStartPos",
                      u"start position can't be greater than end position - use deleteRange( ) instead");
        if (ulStartPos == ulEndPos)
            NXR_THROW(CBadArgException, u"ulStartPos & ulEndPos",
                      u"start and end positions can't be equal - use deleteRange( ) instead");
        CNXRWCharString part(*this);
        if (!part.deleteRange(ulStartPos, ulEndPos, !bInclusive, !bInclusive))
            return false;
        out = part;
        return true;
    });
}

// The sub-string forms turn the two occurrences into end positions: the last
// unit of subStart and the first of subEnd enclose the text strictly between
// them; the first unit of subStart and the last of subEnd enclose the text
// with both sub-strings.
bool CNXRWCharString::extractBetween(CNXRWCharString& out, const CNXRWCharString& subStart,
                                     uint32_t ulStartOccurrance, const CNXRWCharString& subEnd,
                                     uint32_t ulEndOccurrance, bool bInclusive) const
{
    NXR_WSTR_TRACE(u"extractBetween");
    return nxrGuard(nxrTrace, false, [&] {
        uint32_t ulStart = 0, ulEnd = 0;
        if (!getSubStringPos(subStart, ulStartOccurrance, pmForward, &ulStart) ||
            !getSubStringPos(subEnd, ulEndOccurrance, pmReverse, &ulEnd))
            return false;
        if (bInclusive)
            return extractBetween(out, ulStart, ulEnd + subEnd.textLength() - 1, true);
        return extractBetween(out, ulStart + subStart.textLength() - 1, ulEnd, false);
    });
}

bool CNXRWCharString::extractBetween(CNXRWCharString& out, const CNXRWCharString& subStart,
                                     const CNXRWCharString& subEnd, bool bInclusive) const
{
    NXR_WSTR_TRACE(u"extractBetween");
    return nxrGuard(nxrTrace, false, [&] { return extractBetween(out, subStart, 1, subEnd, 1, bInclusive); });
}

bool CNXRWCharString::extractOutside(CNXRWCharString& out, const CNXRWCharString& subStart,
                                     uint32_t ulStartOccurrance, const CNXRWCharString& subEnd,
                                     uint32_t ulEndOccurrance, bool bInclusive) const
{
    NXR_WSTR_TRACE(u"extractOutside");
    return nxrGuard(nxrTrace, false, [&] {
        uint32_t ulStart = 0, ulEnd = 0;
        if (!getSubStringPos(subStart, ulStartOccurrance, pmForward, &ulStart) ||
            !getSubStringPos(subEnd, ulEndOccurrance, pmReverse, &ulEnd))
            return false;
        if (bInclusive)
            return extractOutside(out, ulStart + subStart.textLength() - 1, ulEnd, true);
        return extractOutside(out, ulStart, ulEnd + subEnd.textLength() - 1, false);
    });
}

bool CNXRWCharString::extractOutside(CNXRWCharString& out, const CNXRWCharString& subStart,
                                     const CNXRWCharString& subEnd, bool bInclusive) const
{
    NXR_WSTR_TRACE(u"extractOutside");
    return nxrGuard(nxrTrace, false, [&] { return extractOutside(out, subStart, 1, subEnd, 1, bInclusive); });
}

// The trims keep what the matching extraction gives, computed with the
// opposite inclusion: the string is replaced with what extract puts into a
// fresh one.
template <class Extract>
static bool keepOnly(CNXRWCharString& self, bool bHasStorage, Extract&& extract)
{
    CNXRWCharString kept;
    if (!bHasStorage || !extract(kept))
        return false;
    self = kept;
    return true;
}

bool CNXRWCharString::trimBetween(uint32_t ulStartPos, uint32_t ulEndPos, bool bInclusive)
{
    NXR_WSTR_TRACE(u"trimBetween");
    return nxrGuard(nxrTrace, false, [&] {
        return keepOnly(*this, hasStorage(), [&](CNXRWCharString& kept) {
            return extractOutside(kept, ulStartPos, ulEndPos, !bInclusive);
        });
    });
}

bool CNXRWCharString::trimBetween(const CNXRWCharString& subStart, uint32_t ulStartOccurrance,
                                  const CNXRWCharString& subEnd, uint32_t ulEndOccurrance, bool bInclusive)
{
    NXR_WSTR_TRACE(u"trimBetween");
    return nxrGuard(nxrTrace, false, [&] {
        return keepOnly(*this, hasStorage(), [&](CNXRWCharString& kept) {
            return extractOutside(kept, subStart, ulStartOccurrance, subEnd, ulEndOccurrance, !bInclusive);
        });
    });
}

bool CNXRWCharString::trimBetween(const CNXRWCharString& subStart, const CNXRWCharString& subEnd, bool bInclusive)
{
    NXR_WSTR_TRACE(u"trimBetween");
    return nxrGuard(nxrTrace, false, [&] { return trimBetween(subStart, 1, subEnd, 1, bInclusive); });
}

bool CNXRWCharString::trimOutSide(uint32_t ulStartPos, uint32_t ulEndPos, bool bInclusive)
{
    NXR_WSTR_TRACE(u"trimOutSide");
    return nxrGuard(nxrTrace, false, [&] {
        return keepOnly(*this, hasStorage(), [&](CNXRWCharString& kept) {
            return extractBetween(kept, ulStartPos, ulEndPos, !bInclusive);
        });
    });
}

bool CNXRWCharString::trimOutSide(const CNXRWCharString& subStart, uint32_t ulStartOccurrance,
                                  const CNXRWCharString& subEnd, uint32_t ulEndOccurrance, bool bInclusive)
{
    NXR_WSTR_TRACE(u"trimOutSide");
    return nxrGuard(nxrTrace, false, [&] {
        return keepOnly(*this, hasStorage(), [&](CNXRWCharString& kept) {
            return extractBetween(kept, subStart, ulStartOccurrance, subEnd, ulEndOccurrance, !bInclusive);
        });
    });
}

bool CNXRWCharString::trimOutSide(const CNXRWCharString& subStart, const CNXRWCharString& subEnd, bool bInclusive)
{
    NXR_WSTR_TRACE(u"trimOutSide");
    return nxrGuard(nxrTrace, false, [&] { return trimOutSide(subStart, 1, subEnd, 1, bInclusive); });
}

bool CNXRWCharString::trimTo(const CNXRWCharString& sub, uint32_t ulOccurrance, parseMode mode, bool bRemoveSub)
{
    NXR_WSTR_TRACE(u"trimTo");
    return nxrGuard(nxrTrace, false, [&] {
        if (mode != pmForward && mode != pmReverse)
            return false;
        uint32_t ulPos = 0;
        if (!getSubStringPos(sub, ulOccurrance, mode, &ulPos))
            return false;
        const uint32_t ulSubLen = sub.textLength();
        const uint32_t ulLen = textLength();
        if (mode == pmForward) {
            const uint32_t ulFrom = bRemoveSub ? ulPos + ulSubLen : ulPos;
            return keepUnits(ulFrom, ulLen - ulFrom);
        }
        return keepUnits(0, bRemoveSub ? ulPos : ulPos + ulSubLen);
    });
}

bool CNXRWCharString::extractTo(CNXRWCharString& out, const CNXRWCharString& sub, uint32_t ulOccurrance,
                                parseMode mode, bool bInclusive) const
{
    NXR_WSTR_TRACE(u"extractTo");
    return nxrGuard(nxrTrace, false, [&] {
        if (mode != pmForward && mode != pmReverse)
            return false;
        uint32_t ulPos = 0;
        if (!getSubStringPos(sub, ulOccurrance, mode, &ulPos))
            return false;
        const uint32_t ulSubLen = sub.textLength();
        const View text = view();
        View part;
        if (mode == pmForward)
            part = text.substr(0, bInclusive ? ulPos + ulSubLen : ulPos);
        else
            part = text.substr(bInclusive ? ulPos : ulPos + ulSubLen);
        CNXRWCharString result;
        if (!result.assignUnits(part.data(), static_cast<uint32_t>(part.size())))
            return false;
        out = result;
        return true;
    });
}

bool CNXRWCharString::insert(const CNXRWCharString& s, uint32_t ulPos)
{
    NXR_WSTR_TRACE(u"insert");
    return nxrGuard(nxrTrace, false, [&] {
        if (s.textLength() == 0)
            NXR_THROW(CBadArgException, u"string", u"can't insert an invalid string");
        if (ulPos > textLength())
            NXR_THROW(CBadArgException, u"ulPos", u"position is out of string bounds");
        return insertUnits(ulPos, s.view());
    });
}

// ---------------------------------------------------------------------------
// Editing by sub-string

bool CNXRWCharString::deleteSubString(const CNXRWCharString& sub, uint32_t ulOccurrance, subStringMode mode)
{
    NXR_WSTR_TRACE(u"deleteSubString");
    return nxrGuard(nxrTrace, false, [&] {
        if (!hasStorage())
            return false;
        // Deleting this string from itself: keep the sub-string apart.
        const CNXRWCharString* pSub = &sub;
        CNXRWCharString self;
        if (&sub == this) {
            self = sub;
            pSub = &self;
        }
        const View needle = pSub->view();
        const uint32_t ulCount = countOccurrences(needle);
        if (ulCount == 0)
            return false;
        uint32_t ulPasses = 0;
        uint32_t ulNumber = 1;
        switch (mode) {
        case ssmAll:
            ulPasses = ulCount;
            break;
        case ssmOccur:
            if (ulOccurrance == 0)
                NXR_THROW(CBadArgException, u"ulOccurrance",
                          u"ssmOccur mode requires ulOccurrance to be greater than 0");
            if (ulCount < ulOccurrance)
                NXR_THROW(CBadArgException, u"ulOccurrance",
                          u"there aren't enough strings to accommodate ulOccurrance");
            ulPasses = 1;
            ulNumber = ulOccurrance;
            break;
        case ssmNum:
            if (ulOccurrance == 0)
                NXR_THROW(CBadArgException, u"ulOccurrance", u"ssmNum mode requires ulOccurrance to be greater than 0");
            if (ulCount < ulOccurrance)
                NXR_THROW(CBadArgException, u"ulOccurrance",
                          u"there aren't enough strings to accommodate ulOccurrance");
            ulPasses = ulOccurrance;
            break;
        default:
            NXR_THROW(CBadArgException, u"subStringMode", u"invalid mode");
        }
        // Each pass takes the occurrence as it stands after the earlier
        // passes; one that finds nothing removes nothing.
        for (uint32_t i = 0; i < ulPasses; ++i) {
            uint32_t ulPos = 0;
            if (findOccurrence(needle, ulNumber, pmForward, ulPos))
                eraseUnits(ulPos, static_cast<uint32_t>(needle.size()));
        }
        freeUnusedMem();
        return true;
    });
}

bool CNXRWCharString::replaceSubString(const CNXRWCharString& oldString, const CNXRWCharString& newString,
                                       uint32_t ulOccurrance, subStringMode mode)
{
    NXR_WSTR_TRACE(u"replaceSubString");
    return nxrGuard(nxrTrace, false, [&] {
        if (!hasStorage())
            return false;
        // Either argument may be this string, which the passes change.
        CNXRWCharString oldCopy, newCopy;
        const CNXRWCharString& oldSub = &oldString == this ? (oldCopy = oldString) : oldString;
        const CNXRWCharString& newSub = &newString == this ? (newCopy = newString) : newString;
        if (oldSub.textLength() == 0)
            NXR_THROW(CBadArgException, u"oldString", u"string is invalid");
        const uint32_t ulCount = countOccurrences(oldSub.view());
        if (ulCount == 0)
            NXR_THROW(CBadArgException, u"oldString", u"sub string doesn't exist");
        uint32_t ulPasses = 0;
        uint32_t ulNumber = 1;
        switch (mode) {
        case ssmAll:
            ulPasses = ulCount;
            break;
        case ssmOccur:
            if (ulOccurrance == 0)
                NXR_THROW(CBadArgException, u"ulOccurrance",
                          u"ssmOccur mode requires ulOccurrance to be greater than 0");
            if (ulCount < ulOccurrance)
                NXR_THROW(CBadArgException, u"ulOccurrance", u"occurrance is out of bounds");
            ulPasses = 1;
            ulNumber = ulOccurrance;
            break;
        case ssmNum:
            if (ulOccurrance == 0)
                NXR_THROW(CBadArgException, u"ulOccurrance", u"ssmNum mode requires ulOccurrance to be greater than 0");
            if (ulCount < ulOccurrance)
                NXR_THROW(CBadArgException, u"ulOccurrance",
                          u"there aren't enough strings to accommodate ulOccurrance");
            ulPasses = ulOccurrance;
            break;
        default:
            NXR_THROW(CBadArgException, u"subStringMode", u"invalid mode");
        }
        // Occurrences of oldString that a replacement brings in are stepped
        // over by the later passes.
        uint32_t ulSkip = 0;
        if (newSub.hasSubString(oldSub))
            ulSkip = newSub.getSubStringCount(oldSub);
        else if (oldSub.hasSubString(newSub))
            ulSkip = oldSub.getSubStringCount(newSub);
        for (uint32_t i = 0; i < ulPasses; ++i) {
            uint32_t ulPos = 0;
            if (!findOccurrence(oldSub.view(), ulNumber, pmForward, ulPos))
                return false;
            if (!deleteSubString(oldSub, ulNumber, ssmOccur))
                return false;
            ulNumber = ulSkip > UINT32_MAX - ulNumber ? UINT32_MAX : ulNumber + ulSkip;
            if (newSub.textLength() != 0 && !insert(newSub, ulPos))
                return false;
        }
        return true;
    });
}

CNXRWCharString CNXRWCharString::operator-(const CNXRWCharString& sub) const
{
    NXR_WSTR_TRACE(u"operator-");
    CNXRWCharString result;
    nxrGuard(nxrTrace, false, [&] {
        result = *this;
        result.deleteSubString(sub, 1, ssmOccur);
    });
    return result;
}

CNXRWCharString& CNXRWCharString::operator-=(const CNXRWCharString& sub)
{
    NXR_WSTR_TRACE(u"operator-=");
    nxrGuard(nxrTrace, false, [&] { return deleteSubString(sub, 1, ssmOccur); });
    return *this;
}

// ---------------------------------------------------------------------------
// Trimming formatting characters

bool CNXRWCharString::trimPadding(char16_t padChar, const CNXRFlags& classes, const CNXRFlags& sides)
{
    NXR_WSTR_TRACE(u"trimPadding");
    return nxrGuard(nxrTrace, false, [&] {
        if (!hasStorage())
            return false;
        const auto isPadding = [&](char16_t c) {
            const uint32_t ulClass = formatClassOf(c);
            return c == padChar || (ulClass != 0 && classes.hasFlags(ulClass));
        };
        if (sides.hasFlags(psTrailing)) {
            uint32_t ulLen = textLength();
            while (ulLen > 0 && isPadding(m_pBuffer[ulLen - 1]))
                m_pBuffer[--ulLen] = 0;
        }
        if (sides.hasFlags(psLeading)) {
            const View text = view();
            const uint32_t ulLead = static_cast<uint32_t>(std::find_if_not(text.begin(), text.end(), isPadding) -
                                                          text.begin());
            *this <<= ulLead;
        }
        if (hasStorage())
            freeUnusedMem();
        return true;
    });
}

bool CNXRWCharString::trimFormatting(const CNXRFlags& classes)
{
    NXR_WSTR_TRACE(u"trimFormatting");
    return nxrGuard(nxrTrace, false, [&] {
        bool bDeleted = false;
        for (const FormatChar& f : kFormatChars)
            if (classes.hasFlags(f.ulClass) && deleteSubString(CNXRWCharString(f.c), 0, ssmAll))
                bDeleted = true;
        return bDeleted;
    });
}

// ---------------------------------------------------------------------------
// Classification

bool CNXRWCharString::isAlphaOnly(bool bAllowSpaces) const
{
    NXR_WSTR_TRACE(u"isAlphaOnly");
    const View text = view();
    return nxrTrace.setLogicalResult(!text.empty() && allUnits(text, [&](char16_t c) {
                                         return isLetterUnit(c) || (bAllowSpaces && c == u' ');
                                     }));
}

bool CNXRWCharString::isLower() const
{
    NXR_WSTR_TRACE(u"isLower");
    const View text = view();
    return nxrTrace.setLogicalResult(!text.empty() && std::none_of(text.begin(), text.end(), isUpperUnit));
}

bool CNXRWCharString::isUpper() const
{
    NXR_WSTR_TRACE(u"isUpper");
    const View text = view();
    return nxrTrace.setLogicalResult(!text.empty() && std::none_of(text.begin(), text.end(), isLowerUnit));
}

bool CNXRWCharString::isNumericalOnly(bool bAllowSign, bool bAllowDecimal) const
{
    NXR_WSTR_TRACE(u"isNumericalOnly");
    return nxrTrace.setLogicalResult(numericalOnly(view(), bAllowSign, bAllowDecimal));
}

bool CNXRWCharString::isReal(bool bAllowSign) const
{
    NXR_WSTR_TRACE(u"isReal");
    return nxrTrace.setLogicalResult(real(view(), bAllowSign));
}

bool CNXRWCharString::couldBeBin() const
{
    NXR_WSTR_TRACE(u"couldBeBin");
    return nxrTrace.setLogicalResult(hasStorage() && allUnits(view(), isBinUnit));
}

bool CNXRWCharString::couldBeOct() const
{
    NXR_WSTR_TRACE(u"couldBeOct");
    return nxrTrace.setLogicalResult(hasStorage() && allUnits(view(), isOctUnit));
}

bool CNXRWCharString::couldBeDec() const
{
    NXR_WSTR_TRACE(u"couldBeDec");
    return nxrTrace.setLogicalResult(isNumericalOnly(true, false));
}

bool CNXRWCharString::couldBeHex() const
{
    NXR_WSTR_TRACE(u"couldBeHex");
    return nxrTrace.setLogicalResult(hasStorage() && allUnits(view(), isHexUnit));
}

bool CNXRWCharString::isDeclaredBinary() const
{
    NXR_WSTR_TRACE(u"isDeclaredBinary");
    return nxrTrace.setLogicalResult(declaredWithLetter(view(), u'b', isBinUnit));
}

bool CNXRWCharString::isDeclaredOctal() const
{
    NXR_WSTR_TRACE(u"isDeclaredOctal");
    return nxrTrace.setLogicalResult(declaredWithLetter(view(), u'o', isOctUnit));
}

bool CNXRWCharString::isDeclaredHex() const
{
    NXR_WSTR_TRACE(u"isDeclaredHex");
    return nxrTrace.setLogicalResult(declaredHex(view()));
}

bool CNXRWCharString::isBinaryCompatible() const
{
    NXR_WSTR_TRACE(u"isBinaryCompatible");
    return nxrTrace.setLogicalResult(couldBeBin() || isDeclaredBinary());
}

bool CNXRWCharString::isOctalCompatible() const
{
    NXR_WSTR_TRACE(u"isOctalCompatible");
    return nxrTrace.setLogicalResult(couldBeOct() || isDeclaredOctal());
}

bool CNXRWCharString::isHexCompatible() const
{
    NXR_WSTR_TRACE(u"isHexCompatible");
    return nxrTrace.setLogicalResult(couldBeHex() || isDeclaredHex());
}

bool CNXRWCharString::isSimilar(const CNXRWCharString& other, bool bIgnorePadding, bool bIgnoreSpaces) const
{
    NXR_WSTR_TRACE(u"isSimilar");
    const bool bSimilar = nxrGuard(nxrTrace, false, [&] {
        if (!hasStorage())
            return false;
        CNXRWCharString mine(*this), theirs(other);
        mine.toLower();
        theirs.toLower();
        if (bIgnorePadding) {
            mine.trimPadding(u' ', fcAll, psBoth);
            theirs.trimPadding(u' ', fcAll, psBoth);
        }
        if (bIgnoreSpaces) {
            const CNXRWCharString space(u' ');
            mine.deleteSubString(space, 0, ssmAll);
            theirs.deleteSubString(space, 0, ssmAll);
        }
        return mine == theirs;
    });
    return nxrTrace.setLogicalResult(bSimilar);
}

CNXRWCharString::asNumberSystem CNXRWCharString::getNumberSystem() const
{
    NXR_WSTR_TRACE(u"getNumberSystem");
    asNumberSystem ns = nsNone;
    if (isDeclaredHex())
        ns = nsHex;
    else if (isDeclaredBinary())
        ns = nsBin;
    else if (isDeclaredOctal())
        ns = nsOct;
    else if (isNumericalOnly(true, false))
        ns = nsDec;
    else if (isHexCompatible())
        ns = nsHex;
    else if (isReal(true))
        ns = nsReal;
    return static_cast<asNumberSystem>(nxrTrace.setReturnCode(ns));
}

bool CNXRWCharString::removeNumberIdentifier()
{
    NXR_WSTR_TRACE(u"removeNumberIdentifier");
    return nxrGuard(nxrTrace, false, [&] {
        const View text = view();
        asNumberSystem ns = nsNone;
        if (declaredWithLetter(text, u'b', isBinUnit))
            ns = nsBin;
        else if (declaredWithLetter(text, u'o', isOctUnit))
            ns = nsOct;
        else if (declaredHex(text))
            ns = nsHex;
        else
            return false;
        const View digits = digitsOf(text, ns);
        return keepUnits(static_cast<uint32_t>(digits.data() - text.data()), static_cast<uint32_t>(digits.size()));
    });
}

// ---------------------------------------------------------------------------
// Reading numbers

bool CNXRWCharString::convertHexToLong(uint32_t* pul) const
{
    NXR_WSTR_TRACE(u"convertHexToLong");
    return nxrGuard(nxrTrace, false, [&] {
        if (pul == nullptr)
            NXR_THROW(CBadArgException, u"pul", u"value is NULL");
        if (!isHexCompatible())
            return false;
        const View digits = digitsOf(view(), nsHex);
        if (digits.size() > 8)
            NXR_THROW(CBadArgException, u"this string",
                      u"too many hex digits in string - will overflow unsigned long value");
        return readDigits(digits, 16, pul);
    });
}

// Twelve octal digits pass the digit count but reach 36 bits: the value is
// checked as well, so nothing wraps.
bool CNXRWCharString::convertOctalToLong(uint32_t* pul) const
{
    NXR_WSTR_TRACE(u"convertOctalToLong");
    return nxrGuard(nxrTrace, false, [&] {
        if (pul == nullptr)
            NXR_THROW(CBadArgException, u"pul", u"value is NULL");
        if (!isOctalCompatible())
            return false;
        const View digits = digitsOf(view(), nsOct);
        if (digits.size() > 12)
            NXR_THROW(CBadArgException, u"this string",
                      u"too many octal digits in string - will overflow unsigned long value");
        if (!readDigits(digits, 8, pul))
            NXR_THROW(CBadArgException, u"this string", u"octal value is too large - will overflow unsigned long value");
        return true;
    });
}

bool CNXRWCharString::convertBinaryToLong(uint32_t* pul) const
{
    NXR_WSTR_TRACE(u"convertBinaryToLong");
    return nxrGuard(nxrTrace, false, [&] {
        if (pul == nullptr)
            NXR_THROW(CBadArgException, u"pul", u"value is NULL");
        if (!isBinaryCompatible())
            return false;
        const View digits = digitsOf(view(), nsBin);
        if (digits.size() > 32)
            NXR_THROW(CBadArgException, u"this",
                      u"too many binary digits in string - will overflow unsigned long value");
        return readDigits(digits, 2, pul);
    });
}

bool CNXRWCharString::toLong(uint32_t* pul, asNumberSystem numberSystem) const
{
    NXR_WSTR_TRACE(u"toLong");
    return nxrGuard(nxrTrace, false, [&] {
        if (pul == nullptr)
            NXR_THROW(CBadArgException, u"pul", u"value is NULL");
        CNXRWCharString trimmed(*this);
        if (!trimmed.trimPadding(u' ', fcAll, psBoth))
            return false;
        switch (numberSystem) {
        case nsHex:
            return trimmed.convertHexToLong(pul);
        case nsBin:
            return trimmed.convertBinaryToLong(pul);
        case nsOct:
            return trimmed.convertOctalToLong(pul);
        case nsDec:
            if (!trimmed.isNumericalOnly(true, false))
                return false;
            *pul = static_cast<uint32_t>(readSignedDecimal(trimmed.view()));
            return true;
        default:
            return false;
        }
    });
}

bool CNXRWCharString::toDouble(double* pd) const
{
    NXR_WSTR_TRACE(u"toDouble");
    return nxrGuard(nxrTrace, false, [&] {
        if (pd == nullptr)
            NXR_THROW(CBadArgException, u"pd", u"value is NULL");
        CNXRWCharString trimmed(*this);
        if (!trimmed.trimPadding(u' ', fcAll, psBoth))
            return false;
        if (!trimmed.isReal(true) && !trimmed.isNumericalOnly(true, true))
            return false;
        *pd = readDouble(trimmed.view());
        return true;
    });
}

// ---------------------------------------------------------------------------
// Delimited parameters

bool CNXRWCharString::extractParam(CNXRWCharString& out, const CNXRWCharString& delimiter, uint32_t ulOccurrance,
                                   bool bTrimFormatting, parseMode mode) const
{
    NXR_WSTR_TRACE(u"extractParam");
    return nxrGuard(nxrTrace, false, [&] {
        if (!hasStorage() || !delimiter.hasStorage())
            return false;
        CNXRWCharString work(*this);
        if (bTrimFormatting)
            work.trimFormatting(fcAll);
        const View text = work.view();
        const View delim = delimiter.view();
        const uint32_t ulCount = work.countOccurrences(delim);
        if (ulCount == 0)
            NXR_THROW(CBadArgException, u"delimeter", u"delimeter doesn't exist");
        if (ulOccurrance == 0)
            NXR_THROW(CBadArgException, u"ulOccurrance", u"ulOccurrance must be greater than 0");
        if (ulOccurrance - 1 > ulCount)
            NXR_THROW(CBadArgException, u"ulOccurrance", u"occurrance doesn't exist");
        if (mode != pmForward && mode != pmReverse)
            NXR_THROW(CBadArgException, u"parseMode", u"invalid parse mode");
        // Field k counted from the end is field count + 2 - k from the start;
        // field k from the start runs from the end of delimiter k - 1 to the
        // start of delimiter k.
        const uint32_t ulField = mode == pmForward ? ulOccurrance : ulCount + 2 - ulOccurrance;
        uint32_t ulBegin = 0;
        uint32_t ulEnd = static_cast<uint32_t>(text.size());
        if (ulField > 1) {
            work.findOccurrence(delim, ulField - 1, pmForward, ulBegin);
            ulBegin += static_cast<uint32_t>(delim.size());
        }
        if (ulField <= ulCount)
            work.findOccurrence(delim, ulField, pmForward, ulEnd);
        if (ulEnd < ulBegin)
            NXR_THROW(CBadArgException, u"delimeter", u"delimeters around this field overlap");
        CNXRWCharString field;
        if (!field.assignUnits(text.data() + ulBegin, ulEnd - ulBegin))
            return false;
        out = field;
        return true;
    });
}

bool CNXRWCharString::extractParam(CNXRWCharString& out, const CNXRWCharString& startDelimiter,
                                   const CNXRWCharString& endDelimiter, uint32_t ulOccurrance,
                                   bool bTrimFormatting) const
{
    NXR_WSTR_TRACE(u"extractParam");
    return nxrGuard(nxrTrace, false, [&] {
        if (!hasStorage() || !startDelimiter.hasStorage() || !endDelimiter.hasStorage())
            return false;
        if (ulOccurrance == 0)
            NXR_THROW(CBadArgException, u"ulOccurrance", u"ulOccurrance must be greater than 0");
        CNXRWCharString work(*this);
        if (bTrimFormatting)
            work.trimFormatting(fcAll);
        const View text = work.view();
        const View startDelim = startDelimiter.view();
        const View endDelim = endDelimiter.view();
        if (work.countOccurrences(startDelim) == 0)
            NXR_THROW(CBadArgException, u"startDelimiter", u"delimeter doesn't exist");
        if (work.countOccurrences(endDelim) == 0)
            NXR_THROW(CBadArgException, u"endDelimiter", u"delimeter doesn't exist");
        // One delimiter string: pair n is its occurrences 2n - 1 and 2n.
        uint64_t ullStartOcc = ulOccurrance;
        uint64_t ullEndOcc = ulOccurrance;
        if (startDelim == endDelim) {
            ullEndOcc = 2 * uint64_t{ulOccurrance};
            ullStartOcc = ullEndOcc - 1;
        }
        uint32_t ulStart = 0, ulEnd = 0;
        if (ullEndOcc > UINT32_MAX ||
            !work.findOccurrence(startDelim, static_cast<uint32_t>(ullStartOcc), pmForward, ulStart) ||
            !work.findOccurrence(endDelim, static_cast<uint32_t>(ullEndOcc), pmForward, ulEnd))
            NXR_THROW(CBadArgException, u"ulOccurrance", u"occurrance doesn't exist");
        const uint32_t ulBegin = ulStart + static_cast<uint32_t>(startDelim.size());
        if (ulEnd < ulBegin)
            NXR_THROW(CBadArgException, u"endDelimiter", u"end delimeter comes before the start delimeter ends");
        CNXRWCharString field;
        if (!field.assignUnits(text.data() + ulBegin, ulEnd - ulBegin))
            return false;
        out = field;
        return true;
    });
}

// Both list forms take the fields one by one until one cannot be taken. The
// number of fields is known beforehand, so a list that simply runs out does
// not end in a failed (and logged) extraction; a list without any field
// does, which records why.
bool CNXRWCharString::extractParams(CNXRDblList<CNXRWCharString>& list, const CNXRWCharString& delimiter,
                                    bool bTrimFormatting, parseMode mode) const
{
    NXR_WSTR_TRACE(u"extractParams");
    return nxrGuard(nxrTrace, false, [&] {
        list.flush();
        CNXRWCharString work(*this);
        if (bTrimFormatting)
            work.trimFormatting(fcAll);
        const uint64_t ullFields = uint64_t{work.countOccurrences(delimiter.view())} + 1;
        CNXRWCharString field;
        for (uint64_t k = 1; k <= ullFields; ++k) {
            if (!work.extractParam(field, delimiter, static_cast<uint32_t>(k), false, mode))
                break;
            if (!list.add(field, static_cast<uint32_t>(k - 1))) {
                list.flush();
                return false;
            }
        }
        return list.getCount() != 0;
    });
}

bool CNXRWCharString::extractParams(CNXRDblList<CNXRWCharString>& list, const CNXRWCharString& startDelimiter,
                                    const CNXRWCharString& endDelimiter, bool bTrimFormatting) const
{
    NXR_WSTR_TRACE(u"extractParams");
    return nxrGuard(nxrTrace, false, [&] {
        list.flush();
        CNXRWCharString work(*this);
        if (bTrimFormatting)
            work.trimFormatting(fcAll);
        const uint32_t ulStarts = work.countOccurrences(startDelimiter.view());
        const uint32_t ulEnds = work.countOccurrences(endDelimiter.view());
        const uint32_t ulPairs = startDelimiter.view() == endDelimiter.view() ? ulStarts / 2
                                                                              : std::min(ulStarts, ulEnds);
        CNXRWCharString field;
        for (uint64_t k = 1; k <= std::max<uint32_t>(ulPairs, 1); ++k) {
            if (!work.extractParam(field, startDelimiter, endDelimiter, static_cast<uint32_t>(k), false))
                break;
            if (!list.add(field, static_cast<uint32_t>(k - 1))) {
                list.flush();
                return false;
            }
        }
        return list.getCount() != 0;
    });
}

// ---------------------------------------------------------------------------
// Other conversions

bool CNXRWCharString::toUpper()
{
    NXR_WSTR_TRACE(u"toUpper");
    if (!hasStorage())
        return nxrTrace.setResult(false);
    const uint32_t ulLen = textLength();
    for (uint32_t i = 0; i < ulLen; ++i)
        if (isLowerUnit(m_pBuffer[i]))
            m_pBuffer[i] = static_cast<char16_t>(m_pBuffer[i] - 0x20);
    return nxrTrace.setResult(true);
}

bool CNXRWCharString::reverse()
{
    NXR_WSTR_TRACE(u"reverse");
    if (!hasStorage())
        return nxrTrace.setResult(false);
    std::reverse(m_pBuffer, m_pBuffer + textLength());
    return nxrTrace.setResult(true);
}

#undef NXR_WSTR_TRACE

} // namespace nxr
