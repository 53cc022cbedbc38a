// A small printf-style formatter over UTF-16 text for log messages. The C
// library's wide printf works on 32-bit wchar_t here, so messages are
// formatted with this instead.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace nxr {

// The size of the buffers that messages and log lines are composed in, in
// UTF-16 code units, terminating zero included. Longer text is cut.
inline constexpr size_t NXR_LOG_BUFFER_UNITS = 1024;

// Cuts text to at most ulUnits code units, dropping a high surrogate that
// would be left without its pair.
inline void nxrCutText(std::u16string& text, size_t ulUnits)
{
    if (text.size() <= ulUnits)
        return;
    text.resize(ulUnits);
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF)
        text.pop_back();
}

class CNXRFormatArg {
public:
    CNXRFormatArg(std::u16string_view s) : m_kind(Kind::Text), m_text(s) {}
    CNXRFormatArg(const std::u16string& s) : m_kind(Kind::Text), m_text(s) {}
    CNXRFormatArg(const char16_t* s) : m_kind(Kind::Text), m_text(s ? s : u"(null)") {}
    CNXRFormatArg(int32_t v) : m_kind(Kind::Signed), m_signed(v) {}
    CNXRFormatArg(int64_t v) : m_kind(Kind::Signed), m_signed(v) {}
    CNXRFormatArg(uint32_t v) : m_kind(Kind::Unsigned), m_unsigned(v) {}
    CNXRFormatArg(uint64_t v) : m_kind(Kind::Unsigned), m_unsigned(v) {}

private:
    friend std::u16string nxrFormat(std::u16string_view, std::initializer_list<CNXRFormatArg>, size_t);
    enum class Kind { Text, Signed, Unsigned } m_kind;
    std::u16string_view m_text;
    int64_t m_signed = 0;
    uint64_t m_unsigned = 0;
};

// Formats fmt with args. Understands %s, %d, %i, %u, %x, %X with an optional
// l or ll, a '0' flag and a width (as in "0x%08x"), and %%. A directive
// without a matching argument is copied as it stands. The result holds at
// most ulMaxUnits - 1 code units.
std::u16string nxrFormat(std::u16string_view fmt, std::initializer_list<CNXRFormatArg> args,
                         size_t ulMaxUnits = NXR_LOG_BUFFER_UNITS);

} // namespace nxr
