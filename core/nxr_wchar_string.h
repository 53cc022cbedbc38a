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
#include "nxr_types.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace nxr {

class CNXRWCharString : public CNXRBuffer<NXR_USHORT> {
public:
    // How occurrences are counted: from the start or from the end.
    enum parseMode : uint32_t { pmForward = 1, pmReverse = 2 };
    // Which occurrences an editing operation touches.
    enum subStringMode : uint32_t { ssmAll = 1, ssmOccur = 2, ssmNum = 4 };
    // Number systems for writing and reading numbers; nsReal is only ever
    // reported, never written.
    enum asNumberSystem : uint32_t { nsNone = 0, nsHex = 1, nsBin = 2, nsOct = 4, nsDec = 8, nsReal = 16 };

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
    // The text as UTF-8; an unpaired surrogate becomes U+FFFD.
    std::string toUtf8() const;

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
};

} // namespace nxr
