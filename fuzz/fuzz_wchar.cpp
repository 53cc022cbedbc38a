// The wide string's search and editing operations. The input drives a short
// program: a starting text and up to 24 operations, each with its own
// arguments (sub-strings, positions, occurrence numbers, modes), mostly drawn
// from a small alphabet so that searches find something.
//
// Properties: after every operation both the string and any output string
// are in normal form (no storage, or exactly length + 1 units with the zero
// last and none before it); searching and counting agree with std::u16string's
// find, and the edits that have a one-line equivalent there (insert, cut,
// append, case, reversal) with it; number texts read back as their value; the
// input's bytes, taken as a file name, come back unchanged from the string.
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

// The starts of the (overlapping) occurrences of needle: the oracle for the
// searches, which the editing operations all build on.
std::vector<uint32_t> starts(const std::u16string& hay, const std::u16string& needle)
{
    std::vector<uint32_t> out;
    for (size_t i = needle.empty() ? hay.size() + 1 : hay.find(needle); i != hay.npos && i <= hay.size();
         i = hay.find(needle, i + 1))
        out.push_back(uint32_t(i));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    docseal_fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string name(bytes.substr(0, bytes.find('\0')));
    FUZZ_REQUIRE(S::fromFileName(name).toFileName() == name);

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

        const std::u16string needle = textOf(a);
        const std::vector<uint32_t> found = starts(before, needle);
        uint32_t ul = 0, pos = 0;
        double d = 0;
        CNXRDblList<S> list;
        switch (in.ConsumeIntegralInRange<int>(0, 27)) {
        case 0: {
            const bool bFound = s.getSubStringPos(a, occ, mode, &pos);
            FUZZ_REQUIRE(bFound == (occ != 0 && occ <= found.size()));
            FUZZ_REQUIRE(!bFound || pos == found[mode == S::pmForward ? occ - 1 : found.size() - occ]);
            FUZZ_REQUIRE(s.getSubStringCount(a) == found.size() && s.hasSubString(a) == !found.empty());
            if (s.getSubStringOccurrance(a, p1, mode, &ul))
                FUZZ_REQUIRE(s.getReverseSubStringOccurrance(a, ul, mode, &pos) && pos == found.size() + 1 - ul);
            break;
        }
        case 1: {
            f1 ? s.toLower() : s.toUpper();
            std::u16string want = before;
            for (char16_t& c : want)
                if (f1 ? c >= u'A' && c <= u'Z' : c >= u'a' && c <= u'z')
                    c = static_cast<char16_t>(c ^ 0x20);
            FUZZ_REQUIRE(textOf(s) == want);
            break;
        }
        case 2:
            s.reverse();
            FUZZ_REQUIRE(textOf(s) == std::u16string(before.rbegin(), before.rend()));
            break;
        case 3: {
            out = s >> p1;
            s <<= p1;
            FUZZ_REQUIRE(textOf(out) == (p1 >= len ? u"" : before.substr(0, len - p1)));
            FUZZ_REQUIRE(textOf(s) == (p1 >= len ? u"" : before.substr(p1)));
            break;
        }
        case 4:
            if (s.insert(a, p1))
                FUZZ_REQUIRE(p1 > len || textOf(s) == before.substr(0, p1) + needle + before.substr(p1));
            else
                FUZZ_REQUIRE(textOf(s) == before);
            break;
        case 5: s.deleteRange(p1, p2, f1, f2); break;
        case 6: f2 ? s.extractBetween(out, p1, p2, f1) : s.extractOutside(out, p1, p2, f1); break;
        case 7: f2 ? s.extractBetween(out, a, occ, b, occ ^ 1u, f1) : s.extractOutside(out, a, occ, b, occ + 1, f1); break;
        case 8: f2 ? s.extractBetween(out, a, b, f1) : s.extractOutside(out, b, a, f1); break;
        case 9: f2 ? s.trimBetween(p1, p2, f1) : s.trimOutSide(p1, p2, f1); break;
        case 10: f2 ? s.trimBetween(a, occ, b, occ, f1) : s.trimBetween(a, b, f1); break;
        case 11: f2 ? s.trimOutSide(a, occ, b, occ, f1) : s.trimOutSide(a, b, f1); break;
        case 12: f2 ? s.trimTo(a, occ, mode, f1) : s.extractTo(out, a, occ, mode, f1); break;
        case 13:
            if (s.deleteSubString(a, occ, ssm))
                FUZZ_REQUIRE(textOf(s).size() < before.size());
            else if (found.empty())
                FUZZ_REQUIRE(textOf(s) == before);
            break;
        case 14: s.replaceSubString(a, b, occ, ssm); break;
        case 15: out = s - a; s -= b; break;
        case 16:
            s.trimPadding(a.getLength() ? a.view()[0] : u' ', CNXRFlags(in.ConsumeIntegral<uint8_t>()),
                          CNXRFlags(in.ConsumeIntegralInRange<uint32_t>(0, 3)));
            break;
        case 17: s.trimFormatting(CNXRFlags(in.ConsumeIntegral<uint8_t>())); break;
        case 18:
            // The tests only look.
            (void)(s.isAlphaOnly(f1) + s.isLower() + s.isUpper() + s.isNumericalOnly(f1, f2) + s.isReal(f1) +
                   s.couldBeBin() + s.couldBeOct() + s.couldBeDec() + s.couldBeHex() + s.isDeclaredBinary() +
                   s.isDeclaredOctal() + s.isDeclaredHex() + s.isBinaryCompatible() + s.isOctalCompatible() +
                   s.isHexCompatible() + s.getNumberSystem() + s.isSimilar(a, f1, f2));
            (void)(s.convertHexToLong(&ul) + s.convertOctalToLong(&ul) + s.convertBinaryToLong(&ul) + s.toDouble(&d));
            for (const auto ns : {S::nsHex, S::nsBin, S::nsOct, S::nsDec, S::nsReal, S::nsNone})
                (void)s.toLong(&ul, ns);
            (void)((s == a) + (s < a) + (s >= b));
            FUZZ_REQUIRE(textOf(s) == before);
            break;
        case 19: s.removeNumberIdentifier(); break;
        case 20: {
            const uint32_t value = in.ConsumeIntegral<uint32_t>();
            FUZZ_REQUIRE(S::convertLongToHexString(out, value, 0, f1) && out.convertHexToLong(&ul) && ul == value);
            FUZZ_REQUIRE(S::convertLongToBinString(out, value, 0, f1) && out.convertBinaryToLong(&ul) && ul == value);
            FUZZ_REQUIRE(S::convertLongToOctString(out, value, 0, f1) && out.convertOctalToLong(&ul) && ul == value);
            FUZZ_REQUIRE(S::convertLongToDecString(out, int32_t(value)) && out.toLong(&ul, S::nsDec) && ul == value);
            out = S(value, S::nsHex, static_cast<uint16_t>(p1 % 40), f1);
            break;
        }
        case 21: s.extractParam(out, a, occ, f1, mode); break;
        case 22: s.extractParam(out, a, b, occ, f1); break;
        case 23: f2 ? s.extractParams(list, a, f1, mode) : s.extractParams(list, a, b, f1); break;
        default:
            s += a;
            FUZZ_REQUIRE(textOf(s) == before + needle);
            s.freeUnusedMem();
            break;
        }
        requireNormalForm(s);
        requireNormalForm(out);
    }
    return 0;
}
