#include "nxr_format.h"

#include <vector>

namespace nxr {

namespace {

void appendNumber(std::u16string& out, uint64_t value, unsigned base, bool upper, bool negative,
                  size_t width, bool zeroPad)
{
    char16_t digits[24];
    size_t n = 0;
    do {
        const unsigned d = static_cast<unsigned>(value % base);
        digits[n++] = static_cast<char16_t>(d < 10 ? u'0' + d : (upper ? u'A' : u'a') + d - 10);
        value /= base;
    } while (value != 0);
    const size_t len = n + (negative ? 1 : 0);
    if (!zeroPad)
        for (size_t i = len; i < width; ++i)
            out.push_back(u' ');
    if (negative)
        out.push_back(u'-');
    if (zeroPad)
        for (size_t i = len; i < width; ++i)
            out.push_back(u'0');
    while (n > 0)
        out.push_back(digits[--n]);
}

} // namespace

std::u16string nxrFormat(std::u16string_view fmt, std::initializer_list<CNXRFormatArg> args, size_t ulMaxUnits)
{
    std::u16string out;
    const CNXRFormatArg* arg = args.begin();
    for (size_t i = 0; i < fmt.size(); ++i) {
        const char16_t c = fmt[i];
        if (c != u'%') {
            out.push_back(c);
            continue;
        }
        const size_t start = i;
        size_t j = i + 1;
        if (j < fmt.size() && fmt[j] == u'%') {
            out.push_back(u'%');
            i = j;
            continue;
        }
        bool zeroPad = false;
        size_t width = 0;
        if (j < fmt.size() && fmt[j] == u'0') {
            zeroPad = true;
            ++j;
        }
        while (j < fmt.size() && fmt[j] >= u'0' && fmt[j] <= u'9')
            width = width * 10 + (fmt[j++] - u'0');
        while (j < fmt.size() && fmt[j] == u'l')
            ++j;
        if (j >= fmt.size()) {
            out.append(fmt.substr(start));
            break;
        }
        const char16_t conv = fmt[j];
        const bool known = conv == u's' || conv == u'd' || conv == u'i' || conv == u'u' || conv == u'x' ||
                           conv == u'X';
        if (!known || arg == args.end()) {
            out.append(fmt.substr(start, j - start + 1));
            i = j;
            continue;
        }
        const CNXRFormatArg& a = *arg++;
        i = j;
        if (conv == u's') {
            if (a.m_kind == CNXRFormatArg::Kind::Text) {
                for (size_t k = a.m_text.size(); k < width; ++k)
                    out.push_back(u' ');
                out.append(a.m_text);
            } else {
                // A number passed for %s is written in decimal.
                const bool neg = a.m_kind == CNXRFormatArg::Kind::Signed && a.m_signed < 0;
                const uint64_t v = a.m_kind == CNXRFormatArg::Kind::Signed
                                       ? (neg ? 0 - static_cast<uint64_t>(a.m_signed) : static_cast<uint64_t>(a.m_signed))
                                       : a.m_unsigned;
                appendNumber(out, v, 10, false, neg, width, zeroPad);
            }
        } else if (a.m_kind == CNXRFormatArg::Kind::Text) {
            out.append(a.m_text);
        } else {
            uint64_t v = a.m_kind == CNXRFormatArg::Kind::Signed ? static_cast<uint64_t>(a.m_signed) : a.m_unsigned;
            if (conv == u'd' || conv == u'i') {
                const bool neg = a.m_kind == CNXRFormatArg::Kind::Signed && a.m_signed < 0;
                if (neg)
                    v = 0 - v;
                appendNumber(out, v, 10, false, neg, width, zeroPad);
            } else {
                // Unsigned forms of a signed argument show its 32-bit pattern,
                // as the C library does for an int.
                if (a.m_kind == CNXRFormatArg::Kind::Signed && a.m_signed >= INT32_MIN && a.m_signed <= INT32_MAX)
                    v = static_cast<uint32_t>(a.m_signed);
                appendNumber(out, v, conv == u'u' ? 10 : 16, conv == u'X', false, width, zeroPad);
            }
        }
        if (out.size() >= ulMaxUnits)
            break;
    }
    if (ulMaxUnits > 0)
        nxrCutText(out, ulMaxUnits - 1);
    return out;
}

} // namespace nxr
