#include "nxr_os_text.h"

#include <cstdint>

namespace nxr::os {

namespace {

// Decodes one UTF-8 character at in[i]; returns the code point or -1.
long decodeUtf8(std::string_view in, size_t& i)
{
    const auto b0 = static_cast<unsigned char>(in[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    size_t extra;
    uint32_t cp;
    uint32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1; cp = b0 & 0x1F; min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2; cp = b0 & 0x0F; min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3; cp = b0 & 0x07; min = 0x10000;
    } else {
        return -1;
    }
    if (i + extra >= in.size())
        return -1;
    for (size_t k = 1; k <= extra; ++k) {
        const auto b = static_cast<unsigned char>(in[i + k]);
        if ((b & 0xC0) != 0x80)
            return -1;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return -1;
    i += extra + 1;
    return static_cast<long>(cp);
}

void appendUtf16(std::u16string& out, uint32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

void appendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one UTF-16 character at in[i]; returns the code point or -1.
long decodeUtf16(std::u16string_view in, size_t& i)
{
    const uint32_t u = in[i];
    if (u < 0xD800 || u > 0xDFFF) {
        ++i;
        return u;
    }
    if (u >= 0xDC00 || i + 1 >= in.size())
        return -1;
    const uint32_t lo = in[i + 1];
    if (lo < 0xDC00 || lo > 0xDFFF)
        return -1;
    i += 2;
    return static_cast<long>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
}

// A byte of a file name that is not part of valid UTF-8 (0x80..0xFF) stands
// as the unpaired low surrogate kEscapeBase + byte.
constexpr char16_t kEscapeBase = 0xDC00;
constexpr char16_t kEscapedByteFirst = kEscapeBase + 0x80;
constexpr char16_t kEscapedByteLast = kEscapeBase + 0xFF;

} // namespace

namespace {

// UTF-8 to UTF-16, code point by code point; a byte that does not start a
// valid sequence goes to onBad(out, byte), which returns false to give up.
template <class OnBad>
bool decodeUtf8Into(std::string_view in, std::u16string& out, OnBad&& onBad)
{
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        const long cp = decodeUtf8(in, i);
        if (cp >= 0)
            appendUtf16(out, static_cast<uint32_t>(cp));
        else if (!onBad(out, static_cast<unsigned char>(in[i++])))
            return false;
    }
    return true;
}

// UTF-16 to UTF-8, likewise, with the unit that is not a character.
template <class OnBad>
bool decodeUtf16Into(std::u16string_view in, std::string& out, OnBad&& onBad)
{
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        const long cp = decodeUtf16(in, i);
        if (cp >= 0)
            appendUtf8(out, static_cast<uint32_t>(cp));
        else if (!onBad(out, in[i++]))
            return false;
    }
    return true;
}

} // namespace

bool utf8ToUtf16(std::string_view in, std::u16string& out)
{
    return decodeUtf8Into(in, out, [](std::u16string&, unsigned char) { return false; });
}

bool utf16ToUtf8(std::u16string_view in, std::string& out)
{
    return decodeUtf16Into(in, out, [](std::string&, char16_t) { return false; });
}

std::u16string toUtf16Lossy(std::string_view in)
{
    std::u16string out;
    decodeUtf8Into(in, out, [](std::u16string& o, unsigned char) { return o.push_back(u'\uFFFD'), true; });
    return out;
}

std::string toUtf8Lossy(std::u16string_view in)
{
    std::string out;
    decodeUtf16Into(in, out, [](std::string& o, char16_t) { return appendUtf8(o, 0xFFFD), true; });
    return out;
}

std::u16string fileNameToUtf16(std::string_view in)
{
    std::u16string out;
    decodeUtf8Into(in, out, [](std::u16string& o, unsigned char byte) {
        return o.push_back(static_cast<char16_t>(kEscapeBase + byte)), true;
    });
    return out;
}

std::string utf16ToFileName(std::u16string_view in)
{
    std::string out;
    decodeUtf16Into(in, out, [](std::string& o, char16_t unit) {
        if (unit >= kEscapedByteFirst && unit <= kEscapedByteLast)
            o.push_back(static_cast<char>(unit - kEscapeBase));
        else
            appendUtf8(o, 0xFFFD);
        return true;
    });
    return out;
}

} // namespace nxr::os
