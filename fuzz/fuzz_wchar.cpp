// The wide string's search and editing operations. The input drives a short
// program: a starting text and up to 24 operations, each with its own
// arguments (sub-strings, positions, occurrence numbers, modes), mostly drawn
// from a small alphabet so that searches find something.
//
// Properties: after every operation both the string and any output string
// are in normal form (no storage, or exactly length + 1 units with the zero
// last and none before it); searching, counting, inserting, cutting and case
// changes agree with a plain model on std::u16string; number texts written
// in hex, binary and octal read back as the same value.
#include "fuzz_common.h"
#include "nxr_dbllist.h"
#include "nxr_flags.h"
#include "nxr_wchar_string.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace nxr;
using S = CNXRWCharString;

namespace {

// Letters that make matches likely, the characters the trimming and number
// operations look at, an embedded zero and an unpaired surrogate.
constexpr char16_t kAlphabet[] = {u'a', u'b', u'a', u'b', u'c', u'A', u'B', u'0', u'1', u'7', u'9', u'f', u'F',
                                  u'x', u'h', u'o', u'.', u'-', u',', u' ', u'\t', u'\n', u'\r', u'\v', u'\f',
                                  u'\a', u'\b', u'\0', char16_t(0xD800), char16_t(0xFFFF)};

std::u16string units(FuzzedDataProvider& in, size_t ulMax)
{
    const size_t n = in.ConsumeIntegralInRange<size_t>(0, ulMax);
    std::u16string s;
    for (size_t i = 0; i < n && in.remaining_bytes() != 0; ++i) {
        const uint8_t v = in.ConsumeIntegral<uint8_t>();
        s.push_back(v < 240 ? kAlphabet[v % std::size(kAlphabet)] : in.ConsumeIntegral<char16_t>());
    }
    return s;
}

// A string built the way callers build them: from units with a zero after
// them (cut at an embedded zero), or from a buffer copied whole.
S makeString(const std::u16string& text, bool bFromBuffer)
{
    if (text.empty())
        return S();
    if (bFromBuffer)
        return S(CNXRBuffer<NXR_USHORT>(reinterpret_cast<const NXR_USHORT*>(text.data()), uint32_t(text.size()), 0));
    return S(text.c_str());
}

std::u16string textOf(const S& s) { return std::u16string(s.view()); }

void requireNormalForm(const S& s)
{
    const uint32_t n = s.getNumElems();
    if (n == 0) {
        FUZZ_REQUIRE(s.getBuffer() == nullptr);
        return;
    }
    const char16_t* p = reinterpret_cast<const char16_t*>(s.getBuffer());
    FUZZ_REQUIRE(p != nullptr);
    FUZZ_REQUIRE(p[n - 1] == 0);
    FUZZ_REQUIRE(std::char_traits<char16_t>::find(p, n - 1, 0) == nullptr);
    FUZZ_REQUIRE(n >= 2);
}

// Start of occurrence k (from 1, overlapping) of needle, counted from the
// start or the end.
bool modelFind(const std::u16string& hay, const std::u16string& needle, uint32_t k, bool bReverse, uint32_t& pos)
{
    if (needle.empty() || hay.size() < needle.size() || k == 0)
        return false;
    std::vector<uint32_t> starts;
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i)
        if (hay.compare(i, needle.size(), needle) == 0)
            starts.push_back(uint32_t(i));
    if (k > starts.size())
        return false;
    pos = bReverse ? starts[starts.size() - k] : starts[k - 1];
    return true;
}

uint32_t modelCount(const std::u16string& hay, const std::u16string& needle)
{
    uint32_t n = 0;
    if (!needle.empty())
        for (size_t i = 0; i + needle.size() <= hay.size(); ++i)
            n += hay.compare(i, needle.size(), needle) == 0;
    return n;
}

std::u16string mapAscii(std::u16string s, char16_t from, char16_t to)
{
    for (auto& c : s)
        if (c >= from && c <= to)
            c = static_cast<char16_t>(c ^ 0x20);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    docseal_fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    S s = makeString(units(in, 64), in.ConsumeBool());
    requireNormalForm(s);

    for (int step = 0; step < 24 && in.remaining_bytes() != 0; ++step) {
        const std::u16string before = textOf(s);
        const uint32_t len = uint32_t(before.size());
        const S a = makeString(units(in, 6), in.ConsumeBool());
        const S b = makeString(units(in, 6), in.ConsumeBool());
        // Positions mostly within the text, sometimes anywhere.
        const auto position = [&] {
            return in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, len + 1) : in.ConsumeIntegral<uint32_t>();
        };
        const uint32_t p1 = position();
        const uint32_t p2 = position();
        const uint32_t occ = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 4) : in.ConsumeIntegral<uint32_t>();
        const bool f1 = in.ConsumeBool();
        const bool f2 = in.ConsumeBool();
        const auto mode = in.ConsumeBool() ? S::pmForward : S::pmReverse;
        const auto ssm = static_cast<S::subStringMode>(1u << in.ConsumeIntegralInRange<unsigned>(0, 2));
        S out;

        switch (in.ConsumeIntegralInRange<int>(0, 33)) {
        case 0: {
            uint32_t pos = 0, expected = 0;
            const bool bFound = s.getSubStringPos(a, occ, mode, &pos);
            FUZZ_REQUIRE(bFound == modelFind(before, textOf(a), occ, mode == S::pmReverse, expected));
            FUZZ_REQUIRE(!bFound || pos == expected);
            break;
        }
        case 1:
            FUZZ_REQUIRE(s.getSubStringCount(a) == modelCount(before, textOf(a)));
            FUZZ_REQUIRE(s.hasSubString(a) == (modelCount(before, textOf(a)) != 0));
            break;
        case 2: {
            uint32_t k = 0, back = 0;
            if (s.getSubStringOccurrance(a, p1, mode, &k)) {
                uint32_t pos = 0;
                FUZZ_REQUIRE(s.getSubStringPos(a, k, mode, &pos) && pos == p1);
                FUZZ_REQUIRE(s.getReverseSubStringOccurrance(a, k, mode, &back));
                FUZZ_REQUIRE(back == modelCount(before, textOf(a)) + 1 - k);
            }
            break;
        }
        case 3:
            s.toLower();
            FUZZ_REQUIRE(textOf(s) == mapAscii(before, u'A', u'Z'));
            break;
        case 4:
            s.toUpper();
            FUZZ_REQUIRE(textOf(s) == mapAscii(before, u'a', u'z'));
            break;
        case 5:
            s.reverse();
            FUZZ_REQUIRE(textOf(s) == std::u16string(before.rbegin(), before.rend()));
            break;
        case 6: {
            const S cut = s >> p1;
            FUZZ_REQUIRE(textOf(cut) == (p1 >= len ? u"" : before.substr(0, len - p1)));
            requireNormalForm(cut);
            s <<= p1;
            FUZZ_REQUIRE(textOf(s) == (p1 >= len ? u"" : before.substr(p1)));
            break;
        }
        case 7: {
            const bool bDone = s.insert(a, p1);
            if (bDone && p1 <= len)
                FUZZ_REQUIRE(textOf(s) == before.substr(0, p1) + textOf(a) + before.substr(p1));
            if (!bDone)
                FUZZ_REQUIRE(textOf(s) == before);
            break;
        }
        case 8:
            s.deleteRange(p1, p2, f1, f2);
            break;
        case 9:
            s.extractBetween(out, p1, p2, f1);
            break;
        case 10:
            s.extractOutside(out, p1, p2, f1);
            break;
        case 11:
            s.extractBetween(out, a, occ, b, occ ^ 1u, f1);
            break;
        case 12:
            s.extractOutside(out, a, occ, b, occ + 1, f1);
            break;
        case 13:
            s.extractBetween(out, a, b, f1);
            s.extractOutside(out, b, a, f2);
            break;
        case 14:
            s.trimBetween(p1, p2, f1);
            break;
        case 15:
            s.trimOutSide(p1, p2, f1);
            break;
        case 16:
            if (f2)
                s.trimBetween(a, occ, b, occ, f1);
            else
                s.trimBetween(a, b, f1);
            break;
        case 17:
            if (f2)
                s.trimOutSide(a, occ, b, occ, f1);
            else
                s.trimOutSide(a, b, f1);
            break;
        case 18:
            s.trimTo(a, occ, mode, f1);
            break;
        case 19:
            s.extractTo(out, a, occ, mode, f1);
            break;
        case 20: {
            const bool bDone = s.deleteSubString(a, occ, ssm);
            if (!bDone && modelCount(before, textOf(a)) == 0)
                FUZZ_REQUIRE(textOf(s) == before);
            if (bDone)
                FUZZ_REQUIRE(textOf(s).size() < before.size());
            break;
        }
        case 21:
            s.replaceSubString(a, b, occ, ssm);
            break;
        case 22:
            out = s - a;
            s -= b;
            break;
        case 23:
            s.trimPadding(a.getLength() ? a.view()[0] : u' ', CNXRFlags(in.ConsumeIntegral<uint8_t>()),
                          CNXRFlags(in.ConsumeIntegralInRange<uint32_t>(0, 3)));
            break;
        case 24:
            s.trimFormatting(CNXRFlags(in.ConsumeIntegral<uint8_t>()));
            break;
        case 25:
            (void)s.isAlphaOnly(f1);
            (void)s.isLower();
            (void)s.isUpper();
            (void)s.isNumericalOnly(f1, f2);
            (void)s.isReal(f1);
            (void)s.couldBeBin();
            (void)s.couldBeOct();
            (void)s.couldBeDec();
            (void)s.couldBeHex();
            (void)s.isDeclaredBinary();
            (void)s.isDeclaredOctal();
            (void)s.isDeclaredHex();
            (void)s.isBinaryCompatible();
            (void)s.isOctalCompatible();
            (void)s.isHexCompatible();
            (void)s.getNumberSystem();
            (void)s.isSimilar(a, f1, f2);
            FUZZ_REQUIRE(textOf(s) == before);
            break;
        case 26:
            s.removeNumberIdentifier();
            break;
        case 27: {
            uint32_t ul = 0;
            double d = 0;
            (void)s.convertHexToLong(&ul);
            (void)s.convertOctalToLong(&ul);
            (void)s.convertBinaryToLong(&ul);
            for (const auto ns : {S::nsHex, S::nsBin, S::nsOct, S::nsDec, S::nsReal, S::nsNone})
                (void)s.toLong(&ul, ns);
            (void)s.toDouble(&d);
            FUZZ_REQUIRE(textOf(s) == before);
            break;
        }
        case 28: {
            // Written numbers read back.
            const uint32_t value = in.ConsumeIntegral<uint32_t>();
            uint32_t back = 0;
            S text;
            FUZZ_REQUIRE(S::convertLongToHexString(text, value, 0, f1));
            FUZZ_REQUIRE(text.convertHexToLong(&back) && back == value);
            FUZZ_REQUIRE(S::convertLongToBinString(text, value, 0, f1));
            FUZZ_REQUIRE(text.convertBinaryToLong(&back) && back == value);
            FUZZ_REQUIRE(S::convertLongToOctString(text, value, 0, f1));
            FUZZ_REQUIRE(text.convertOctalToLong(&back) && back == value);
            FUZZ_REQUIRE(S::convertLongToDecString(text, int32_t(value)));
            FUZZ_REQUIRE(text.toLong(&back, S::nsDec) && back == value);
            const S padded(value, S::nsHex, static_cast<uint16_t>(p1 % 40), f1);
            requireNormalForm(padded);
            break;
        }
        case 29:
            s.extractParam(out, a, occ, f1, mode);
            break;
        case 30:
            s.extractParam(out, a, b, occ, f1);
            break;
        case 31: {
            CNXRDblList<S> list;
            if (f2)
                s.extractParams(list, a, f1, mode);
            else
                s.extractParams(list, a, b, f1);
            break;
        }
        case 32:
            s += a;
            FUZZ_REQUIRE(textOf(s) == before + textOf(a));
            break;
        case 33:
            (void)(s == a);
            (void)(s < a);
            (void)(s >= b);
            s.freeUnusedMem();
            FUZZ_REQUIRE(textOf(s) == before);
            break;
        }
        requireNormalForm(s);
        requireNormalForm(out);
    }
    return 0;
}
