// CNXRWCharString: the system's text type. A CNXRBuffer of UTF-16 code units
// that holds its text followed by one zero unit. An empty string has no
// storage at all (isValid() is false); after every edit the string is in
// normal form: empty, or exactly length + 1 elements with the zero last.
//
// Comparison is exact and case-sensitive; letters, digits and case are ASCII
// only. Narrow text is UTF-8. Operations trace their entry and exit and report
// failures by their result (false, 0, or *this unchanged or partly edited);
// only the numeric constructors throw, with CNXRBufferInitException.
#pragma once
#include "nxr_buffer.h"
#include "nxr_dbllist.h"
#include "nxr_flags.h"
#include "nxr_types.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace nxr {

class CAesKey;

class CNXRWCharString : public CNXRBuffer<NXR_USHORT> {
public:
    // How occurrences are counted: from the start or from the end.
    enum parseMode : uint32_t { pmForward = 1, pmReverse = 2 };
    // Which occurrences an editing operation touches.
    enum subStringMode : uint32_t { ssmAll = 1, ssmOccur = 2, ssmNum = 4 };
    // Number systems for writing and reading numbers; nsReal is only ever
    // reported, never written.
    enum asNumberSystem : uint32_t { nsNone = 0, nsHex = 1, nsBin = 2, nsOct = 4, nsDec = 8, nsReal = 16 };
    // Formatting-character classes for the trimming operations (a CNXRFlags
    // set of these bits).
    enum formatClass : uint32_t {
        fcSpace = 0x01,
        fcTab = 0x02,
        fcFormFeed = 0x04,
        fcBell = 0x08,
        fcLineFeed = 0x10,
        fcBackspace = 0x20,
        fcCarriageReturn = 0x40,
        fcVerticalTab = 0x80,
        fcAll = 0xFF
    };
    // Which ends trimPadding works on (a CNXRFlags set of these bits).
    enum paddingSide : uint32_t { psLeading = 0x01, psTrailing = 0x02, psBoth = 0x03 };

    // Construction
    CNXRWCharString();
    CNXRWCharString(const CNXRWCharString& src);
    CNXRWCharString(const char16_t* psz);
    CNXRWCharString(const CNXRBuffer<NXR_USHORT>& buffer);
    CNXRWCharString(const CNXRBuffer<NXR_CHAR>& buffer);
    // UTF-8 text; a null pointer gives an empty string. Never throws and does
    // not trace itself.
    CNXRWCharString(const char* psz);
    explicit CNXRWCharString(char16_t c);
    // Decimal text of a signed value.
    explicit CNXRWCharString(int32_t lValue);
    // Text of ulValue in hex, binary or octal (with usDigits and bPrefix as in
    // convertLongTo*String), or in decimal read as a signed 32-bit value.
    CNXRWCharString(uint32_t ulValue, asNumberSystem numberSystem, uint16_t usDigits, bool bPrefix);
    // Decimal text with usPrecision (at most 10) fractional digits.
    CNXRWCharString(double dValue, uint16_t usPrecision);

    // Assignment
    CNXRWCharString& operator=(const CNXRWCharString& src);
    CNXRWCharString& operator=(const char16_t* psz);
    // Copies the elements and cuts the text at its first zero.
    CNXRWCharString& operator=(const CNXRBuffer<NXR_USHORT>& buffer);
    // UTF-8 up to the first zero byte; invalid text leaves this string as it was.
    CNXRWCharString& operator=(const CNXRBuffer<NXR_CHAR>& buffer);
    CNXRWCharString& operator=(char16_t c);

    // Code units before the first zero; 0 when empty.
    uint32_t getLength() const;

    // Comparison. <= and >= hold only between valid strings of equal length,
    // so strings of different lengths are both < and > each other.
    bool operator==(const CNXRWCharString& s) const;
    bool operator!=(const CNXRWCharString& s) const;
    bool operator<=(const CNXRWCharString& s) const;
    bool operator>=(const CNXRWCharString& s) const;
    bool operator<(const CNXRWCharString& s) const;
    bool operator>(const CNXRWCharString& s) const;

    // Concatenation
    CNXRWCharString& operator+=(const CNXRWCharString& s);
    CNXRWCharString operator+(const CNXRWCharString& s) const;

    // UTF-8 text with its terminating zero; no storage when this string is
    // empty or holds an unpaired surrogate.
    operator CNXRBuffer<NXR_CHAR>() const;

    // Trims the storage to length + 1 elements; releases it when the text is
    // empty. False when there is no storage.
    bool freeUnusedMem();

    // Searching. Occurrences count from 1 and may overlap.
    bool getSubStringPos(const CNXRWCharString& sub, uint32_t ulOccurrance, parseMode mode, uint32_t* pulPos) const;
    uint32_t getSubStringCount(const CNXRWCharString& sub) const;
    bool hasSubString(const CNXRWCharString& sub) const;
    // Which occurrence, counted in the given direction, starts at ulPos.
    bool getSubStringOccurrance(const CNXRWCharString& sub, uint32_t ulPos, parseMode mode,
                                uint32_t* pulOccurrance) const;
    // The number of the same occurrence counted in the other direction.
    bool getReverseSubStringOccurrance(const CNXRWCharString& sub, uint32_t ulOccurrance, parseMode mode,
                                       uint32_t* pulOccurrance) const;

    // ASCII 'A'..'Z' to 'a'..'z' in place.
    bool toLower();

    // Writing numbers
    static bool convertDigitToAscii(NXR_BYTE ucDigit, char16_t& c);
    // Upper-case digits, least significant kept when usDigits (non-zero) cuts
    // them, '0' padding up to usDigits, "0x" / "0b" / "0o" with bPrefix.
    static bool convertLongToHexString(CNXRWCharString& out, uint32_t ulValue, uint16_t usDigits, bool bPrefix);
    static bool convertLongToBinString(CNXRWCharString& out, uint32_t ulValue, uint16_t usDigits, bool bPrefix);
    static bool convertLongToOctString(CNXRWCharString& out, uint32_t ulValue, uint16_t usDigits, bool bPrefix);
    static bool convertLongToDecString(CNXRWCharString& out, int32_t lValue);

    // Conveniences for code that works with standard strings. Neither traces,
    // so both are safe to use while writing a log record.
    // The text without its zero; an empty view when the string is empty.
    std::u16string_view view() const;
    // The text as UTF-8, as toFileName gives it: the names that still take
    // this road keep their bytes. Other unpaired surrogates become U+FFFD.
    std::string toUtf8() const;

    // File names are bytes. fromFileName takes any name the kernel accepts:
    // UTF-8 converts as usual, and each byte that is not part of valid UTF-8
    // becomes U+DC00 + byte, an unpaired low surrogate no UTF-8 text gives;
    // toFileName turns those back into their bytes, so a name makes the
    // round trip unchanged. For names only: other narrow text stays strict
    // UTF-8 (the const char* constructor refuses a stray byte).
    static CNXRWCharString fromFileName(std::string_view name);
    std::string toFileName() const;

    // ---- Editing by position. Positions index code units of the text.

    // A copy without the last n units (>>) or the first n units (<<); n at or
    // beyond the length gives an empty string.
    CNXRWCharString operator>>(uint32_t n) const;
    CNXRWCharString operator<<(uint32_t n) const;
    CNXRWCharString& operator>>=(uint32_t n);
    CNXRWCharString& operator<<=(uint32_t n);

    // Start before end: removes the units strictly between the two, and the
    // end points themselves when their flags are set. Start after end: the
    // range wraps round the end of the text, so what stays is the text from
    // ulEndPos to ulStartPos, less either end point when its flag is set.
    bool deleteRange(uint32_t ulStartPos, uint32_t ulEndPos, bool bInclusiveStart, bool bInclusiveEnd);

    // out = the text from ulStartPos to ulEndPos (start before end), with the
    // end points only when bInclusive.
    bool extractBetween(CNXRWCharString& out, uint32_t ulStartPos, uint32_t ulEndPos, bool bInclusive) const;
    // out = the text up to ulStartPos and from ulEndPos on, with the end
    // points only when bInclusive.
    bool extractOutside(CNXRWCharString& out, uint32_t ulStartPos, uint32_t ulEndPos, bool bInclusive) const;
    // The same between occurrence ulStartOccurrance of subStart (counted
    // forward) and occurrence ulEndOccurrance of subEnd (counted from the
    // end); the short forms take occurrence 1 of each. bInclusive keeps the
    // two sub-strings.
    bool extractBetween(CNXRWCharString& out, const CNXRWCharString& subStart, uint32_t ulStartOccurrance,
                        const CNXRWCharString& subEnd, uint32_t ulEndOccurrance, bool bInclusive) const;
    bool extractBetween(CNXRWCharString& out, const CNXRWCharString& subStart, const CNXRWCharString& subEnd,
                        bool bInclusive) const;
    bool extractOutside(CNXRWCharString& out, const CNXRWCharString& subStart, uint32_t ulStartOccurrance,
                        const CNXRWCharString& subEnd, uint32_t ulEndOccurrance, bool bInclusive) const;
    bool extractOutside(CNXRWCharString& out, const CNXRWCharString& subStart, const CNXRWCharString& subEnd,
                        bool bInclusive) const;

    // Removes the text between the end points (and the end points when
    // bInclusive).
    bool trimBetween(uint32_t ulStartPos, uint32_t ulEndPos, bool bInclusive);
    bool trimBetween(const CNXRWCharString& subStart, uint32_t ulStartOccurrance, const CNXRWCharString& subEnd,
                     uint32_t ulEndOccurrance, bool bInclusive);
    bool trimBetween(const CNXRWCharString& subStart, const CNXRWCharString& subEnd, bool bInclusive);
    // Removes the text outside the end points (and the end points when
    // bInclusive).
    bool trimOutSide(uint32_t ulStartPos, uint32_t ulEndPos, bool bInclusive);
    bool trimOutSide(const CNXRWCharString& subStart, uint32_t ulStartOccurrance, const CNXRWCharString& subEnd,
                     uint32_t ulEndOccurrance, bool bInclusive);
    bool trimOutSide(const CNXRWCharString& subStart, const CNXRWCharString& subEnd, bool bInclusive);

    // pmForward drops everything before occurrence ulOccurrance of sub,
    // pmReverse everything after it (occurrences counted in that direction);
    // bRemoveSub drops the sub-string as well.
    bool trimTo(const CNXRWCharString& sub, uint32_t ulOccurrance, parseMode mode, bool bRemoveSub);
    // out = what trimTo would drop: the text before (pmForward) or after
    // (pmReverse) the occurrence, with the sub-string when bInclusive.
    bool extractTo(CNXRWCharString& out, const CNXRWCharString& sub, uint32_t ulOccurrance, parseMode mode,
                   bool bInclusive) const;

    // Puts s in front of the unit at ulPos (ulPos = length appends).
    bool insert(const CNXRWCharString& s, uint32_t ulPos);

    // ---- Editing by sub-string

    // ssmAll deletes every occurrence counted beforehand, ssmOccur occurrence
    // number ulOccurrance, ssmNum the first ulOccurrance occurrences; each
    // deletion takes the first occurrence left, so overlapping occurrences
    // can run out early. False when sub does not occur.
    bool deleteSubString(const CNXRWCharString& sub, uint32_t ulOccurrance, subStringMode mode);
    // Replaces occurrences of oldString chosen as deleteSubString chooses
    // them; occurrences of oldString that newString brings in are skipped.
    // True only when every replacement was made.
    bool replaceSubString(const CNXRWCharString& oldString, const CNXRWCharString& newString, uint32_t ulOccurrance,
                          subStringMode mode);
    // Without (the first occurrence of) sub.
    CNXRWCharString operator-(const CNXRWCharString& sub) const;
    CNXRWCharString& operator-=(const CNXRWCharString& sub);

    // ---- Trimming formatting characters (formatClass bits)

    // Cuts units equal to padChar or of a class in classes from the ends
    // named in sides (paddingSide bits).
    bool trimPadding(char16_t padChar, const CNXRFlags& classes, const CNXRFlags& sides);
    // Deletes every character of the given classes anywhere in the text;
    // true when anything was deleted.
    bool trimFormatting(const CNXRFlags& classes);

    // ---- Classification (ASCII only; none changes the string)

    bool isAlphaOnly(bool bAllowSpaces) const;
    bool isLower() const;
    bool isUpper() const;
    // Digits, with a '-' first when bAllowSign and one '.' neither first nor
    // last when bAllowDecimal.
    bool isNumericalOnly(bool bAllowSign, bool bAllowDecimal) const;
    // Digits with exactly one '.' neither first nor last, and a '-' first
    // when bAllowSign.
    bool isReal(bool bAllowSign) const;
    bool couldBeBin() const;
    bool couldBeOct() const;
    bool couldBeDec() const;
    bool couldBeHex() const;
    // Binary digits with one 'b' (either case) second ("0b101") or last
    // ("101b"); octal likewise with 'o'.
    bool isDeclaredBinary() const;
    bool isDeclaredOctal() const;
    // Hex digits starting "0x" or ending in 'h' (either case), never both.
    bool isDeclaredHex() const;
    bool isBinaryCompatible() const;
    bool isOctalCompatible() const;
    bool isHexCompatible() const;
    // Equal ignoring case, and optionally leading and trailing formatting
    // characters and every space.
    bool isSimilar(const CNXRWCharString& other, bool bIgnorePadding, bool bIgnoreSpaces) const;

    // Declared hex, binary and octal first, then decimal, hex digits, real;
    // nsNone for anything else.
    asNumberSystem getNumberSystem() const;
    // Removes a "0b"/"0o"/"0x" prefix or a 'b'/'o'/'h' suffix; false (and no
    // change) when the text declares no number system.
    bool removeNumberIdentifier();

    // ---- Reading numbers. Digits are the text without its own system's
    // identifier; a value that does not fit 32 bits is refused.
    bool convertHexToLong(uint32_t* pul) const;
    bool convertOctalToLong(uint32_t* pul) const;
    bool convertBinaryToLong(uint32_t* pul) const;
    // The text without leading and trailing formatting characters, read in
    // the given system. nsDec reads a signed decimal (stored as its 32 bits)
    // and gives INT32_MAX or INT32_MIN for values beyond them.
    bool toLong(uint32_t* pul, asNumberSystem numberSystem) const;
    // A decimal number with an optional '-' and '.'.
    bool toDouble(double* pd) const;

    // ---- Delimited parameters

    // Field ulOccurrance (from 1) of the list that delimiter separates,
    // counted from the start (pmForward) or the end (pmReverse), without its
    // delimiters. bTrimFormatting first deletes every formatting character.
    bool extractParam(CNXRWCharString& out, const CNXRWCharString& delimiter, uint32_t ulOccurrance,
                      bool bTrimFormatting, parseMode mode) const;
    // The text strictly between the ulOccurrance-th pair of delimiters: with
    // one delimiter string the pair is its occurrences 2n - 1 and 2n,
    // otherwise occurrence n of each.
    bool extractParam(CNXRWCharString& out, const CNXRWCharString& startDelimiter,
                      const CNXRWCharString& endDelimiter, uint32_t ulOccurrance, bool bTrimFormatting) const;
    // Every field (or pair) in order, each as a node whose index is its
    // number less one. The list is emptied first; true when it holds a node.
    bool extractParams(CNXRDblList<CNXRWCharString>& list, const CNXRWCharString& delimiter, bool bTrimFormatting,
                       parseMode mode) const;
    bool extractParams(CNXRDblList<CNXRWCharString>& list, const CNXRWCharString& startDelimiter,
                       const CNXRWCharString& endDelimiter, bool bTrimFormatting) const;

    // ---- Other conversions

    // ASCII 'a'..'z' to 'A'..'Z' in place.
    bool toUpper();
    // Reverses the code units in place.
    bool reverse();

    // ---- Obscuring (nxr_core_obscure: links the crypto library)

    // Base64 text of the AES ciphertext of the string's UTF-16LE bytes with
    // its terminating zero; empty after a failure.
    CNXRWCharString obscure(const CAesKey& aesKey) const;
    // The string that obscure turned into this text; empty after a failure.
    CNXRWCharString unobscure(const CAesKey& aesKey) const;

protected:
    // Untraced helpers shared by the operations of this class.
    bool hasStorage() const { return m_pBuffer != nullptr && m_ulNumElems != 0; }
    // Units before the first zero, never reading past the storage.
    uint32_t textLength() const;
    // Replaces the contents with n units of pUnits followed by a zero, cut at
    // the first zero; pUnits may point into this string's own storage.
    bool assignUnits(const char16_t* pUnits, uint32_t ulCount);
    // Start of occurrence ulOccurrance (from 1) of needle in this text,
    // counted in the given direction.
    bool findOccurrence(std::u16string_view needle, uint32_t ulOccurrance, parseMode mode, uint32_t& ulPos) const;
    // Number of (overlapping) occurrences of needle in this text.
    uint32_t countOccurrences(std::u16string_view needle) const;
    // Shared body of the hex, binary and octal writers.
    static bool convertLongToPowerOfTwoString(CNXRWCharString& out, uint32_t ulValue, unsigned uBitsPerDigit,
                                              char16_t cPrefix, uint16_t usDigits, bool bPrefix);

    // In-place edits that end in normal form. Ranges lie within the text.
    // Keeps ulCount units from ulPos and drops the rest.
    bool keepUnits(uint32_t ulPos, uint32_t ulCount);
    // Drops ulCount units from ulPos.
    bool eraseUnits(uint32_t ulPos, uint32_t ulCount);
    // Puts units in front of the unit at ulPos (ulPos <= length); units may
    // lie in this string's own storage.
    bool insertUnits(uint32_t ulPos, std::u16string_view units);
    // Whether the text holds a digit, an ASCII letter, a space.
    bool containsDigit() const;
    bool containsLetter() const;
    bool containsSpace() const;
};

} // namespace nxr
