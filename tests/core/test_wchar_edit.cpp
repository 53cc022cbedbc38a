// The wide string's editing, classification, number, parameter and
// obscuring operations.
#include "aeskey.h"
#include "base64encoder.h"
#include "nxr_wchar_string.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace nxr;
using S = CNXRWCharString;
using nxrtest::readLogLines;
using nxrtest::ScopedRegistry;

namespace {

// Normal form: no storage, or exactly length + 1 elements with the zero last.
::testing::AssertionResult normal(const S& s)
{
    if (s.getNumElems() == 0 && s.getBuffer() == nullptr)
        return ::testing::AssertionSuccess();
    const uint32_t n = s.getLength();
    if (n > 0 && s.getNumElems() == n + 1 && s.getBuffer()[n] == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "length " << n << ", " << s.getNumElems() << " elements";
}

// Runs an edit on a copy of text; gives its result and the text after it.
template <class Edit>
std::pair<bool, std::u16string> edited(const char16_t* text, Edit edit)
{
    S s(text);
    const bool bResult = edit(s);
    EXPECT_TRUE(normal(s));
    return {bResult, std::u16string(s.view())};
}
using Edited = std::pair<bool, std::u16string>;

// The text an extraction gave, or "<failed>".
std::u16string got(bool bResult, const S& out) { return bResult ? std::u16string(out.view()) : u"<failed>"; }

size_t countLines(const std::vector<std::string>& lines, const std::string& text)
{
    size_t n = 0;
    for (const auto& l : lines)
        n += l.find(text) != std::string::npos;
    return n;
}

CAesKey testKey(NXR_BYTE first)
{
    CNXRBuffer<NXR_BYTE> bytes(32);
    for (uint32_t i = 0; i < 32; ++i)
        bytes[i] = static_cast<NXR_BYTE>(first + i);
    return CAesKey(bytes);
}

std::vector<std::u16string> listed(const CNXRDblList<S>& list)
{
    std::vector<std::u16string> out;
    uint32_t ulIndex = 0;
    for (auto* p = list.getFirst(); p != nullptr; p = p->getNext(), ++ulIndex) {
        EXPECT_EQ(p->getIndex(), ulIndex);
        out.emplace_back(p->getData().view());
    }
    return out;
}

} // namespace

TEST(WCharEdit, ShiftsDropUnitsFromEitherEnd)
{
    const S s(u"abcdef");
    EXPECT_EQ((s >> 2).view(), u"abcd");
    EXPECT_EQ((s << 2).view(), u"cdef");
    EXPECT_EQ((s >> 0).view(), u"abcdef");
    EXPECT_FALSE((s >> 6).isValid());
    EXPECT_FALSE((s << 7).isValid());
    EXPECT_TRUE(normal(s >> 2));
    EXPECT_TRUE(normal(s << 5));
    S t(u"abc");
    t <<= 1;
    t >>= 1;
    EXPECT_EQ(t.view(), u"b");
    EXPECT_FALSE((S() << 1).isValid());
}

TEST(WCharEdit, DeleteRangeForwardAndWrapping)
{
    auto del = [](uint32_t a, uint32_t b, bool i, bool j) {
        return edited(u"abcdef", [&](S& s) { return s.deleteRange(a, b, i, j); });
    };
    EXPECT_EQ(del(1, 4, false, false), Edited(true, u"abef"));
    EXPECT_EQ(del(1, 4, true, false), Edited(true, u"aef"));
    EXPECT_EQ(del(1, 4, true, true), Edited(true, u"af"));
    EXPECT_EQ(del(0, 1, false, false), Edited(true, u"abcdef"));
    EXPECT_EQ(del(0, 5, true, true), Edited(true, u""));
    // Start after end: the range runs on round the end of the text.
    EXPECT_EQ(del(4, 1, false, false), Edited(true, u"bcde"));
    EXPECT_EQ(del(4, 1, true, false), Edited(true, u"bcd"));
    EXPECT_EQ(del(4, 1, false, true), Edited(true, u"cde"));
    EXPECT_EQ(del(2, 1, true, true), Edited(true, u""));
    // Refusals leave the text alone.
    EXPECT_EQ(del(6, 1, false, false), Edited(false, u"abcdef"));
    EXPECT_EQ(del(1, 6, false, false), Edited(false, u"abcdef"));
    EXPECT_EQ(del(3, 3, false, false), Edited(false, u"abcdef"));
    EXPECT_FALSE(S().deleteRange(0, 1, false, false));
}

TEST(WCharEdit, ExtractAndTrimByPosition)
{
    const S s(u"abcdef");
    S out(u"untouched");
    EXPECT_EQ(got(s.extractBetween(out, 1, 4, false), out), u"cd");
    EXPECT_EQ(got(s.extractBetween(out, 1, 4, true), out), u"bcde");
    EXPECT_EQ(got(s.extractOutside(out, 1, 4, true), out), u"abef");
    EXPECT_EQ(got(s.extractOutside(out, 1, 4, false), out), u"af");
    EXPECT_EQ(got(s.extractBetween(out, 1, 2, false), out), u"");
    EXPECT_FALSE(out.isValid());
    out = u"kept";
    EXPECT_FALSE(s.extractBetween(out, 4, 1, false));
    EXPECT_FALSE(s.extractOutside(out, 2, 2, false));
    EXPECT_FALSE(s.extractBetween(out, 1, 9, false));
    EXPECT_EQ(out.view(), u"kept");

    EXPECT_EQ(edited(u"abcdef", [](S& t) { return t.trimBetween(1, 4, false); }), Edited(true, u"abef"));
    EXPECT_EQ(edited(u"abcdef", [](S& t) { return t.trimBetween(1, 4, true); }), Edited(true, u"af"));
    EXPECT_EQ(edited(u"abcdef", [](S& t) { return t.trimOutSide(1, 4, false); }), Edited(true, u"bcde"));
    EXPECT_EQ(edited(u"abcdef", [](S& t) { return t.trimOutSide(1, 4, true); }), Edited(true, u"cd"));
    S empty;
    EXPECT_FALSE(empty.trimBetween(0, 1, false));
    EXPECT_FALSE(empty.trimOutSide(0, 1, false));
}

TEST(WCharEdit, ExtractAndTrimBySubString)
{
    const S s(u"x(a)y(b)z");
    const S open(u"("), close(u")");
    S out;
    // subStart counted forward, subEnd counted from the end.
    EXPECT_EQ(got(s.extractBetween(out, open, close, false), out), u"a)y(b");
    EXPECT_EQ(got(s.extractBetween(out, open, 2, close, 1, true), out), u"(b)");
    EXPECT_EQ(got(s.extractBetween(out, open, 1, close, 2, false), out), u"a");
    EXPECT_EQ(got(s.extractOutside(out, open, 1, close, 2, true), out), u"x()y(b)z");
    EXPECT_EQ(got(s.extractOutside(out, open, 1, close, 2, false), out), u"xy(b)z");
    EXPECT_TRUE(S(u"[]").extractBetween(out, S(u"["), S(u"]"), false));
    EXPECT_FALSE(out.isValid());
    EXPECT_FALSE(s.extractBetween(out, S(u"<"), close, false));
    EXPECT_FALSE(s.extractBetween(out, open, 0, close, 1, false));
    // subEnd before subStart.
    EXPECT_FALSE(S(u")a(").extractBetween(out, open, close, false));

    const S lt(u"<<"), gt(u">>");
    EXPECT_EQ(edited(u"a<<b>>c", [&](S& t) { return t.trimBetween(lt, gt, false); }), Edited(true, u"a<<>>c"));
    EXPECT_EQ(edited(u"a<<b>>c", [&](S& t) { return t.trimBetween(lt, 1, gt, 1, true); }), Edited(true, u"ac"));
    EXPECT_EQ(edited(u"a<<b>>c", [&](S& t) { return t.trimOutSide(lt, gt, false); }), Edited(true, u"<<b>>"));
    EXPECT_EQ(edited(u"a<<b>>c", [&](S& t) { return t.trimOutSide(lt, 1, gt, 1, true); }), Edited(true, u"b"));
}

TEST(WCharEdit, TrimToAndExtractToAnOccurrence)
{
    const S slash(u"/");
    auto trim = [&](uint32_t n, S::parseMode m, bool r) {
        return edited(u"a/b/c", [&](S& s) { return s.trimTo(slash, n, m, r); });
    };
    EXPECT_EQ(trim(1, S::pmForward, false), Edited(true, u"/b/c"));
    EXPECT_EQ(trim(1, S::pmForward, true), Edited(true, u"b/c"));
    EXPECT_EQ(trim(1, S::pmReverse, false), Edited(true, u"a/b/"));
    EXPECT_EQ(trim(2, S::pmReverse, true), Edited(true, u"a"));
    EXPECT_EQ(trim(3, S::pmForward, true), Edited(false, u"a/b/c"));
    EXPECT_EQ(trim(1, static_cast<S::parseMode>(3), true), Edited(false, u"a/b/c"));
    EXPECT_EQ(edited(u"ab/", [&](S& s) { return s.trimTo(slash, 1, S::pmForward, true); }), Edited(true, u""));

    const S s(u"a/b/c");
    S out;
    EXPECT_EQ(got(s.extractTo(out, slash, 1, S::pmForward, false), out), u"a");
    EXPECT_EQ(got(s.extractTo(out, slash, 2, S::pmForward, true), out), u"a/b/");
    EXPECT_EQ(got(s.extractTo(out, slash, 1, S::pmReverse, false), out), u"c");
    EXPECT_EQ(got(s.extractTo(out, slash, 2, S::pmReverse, true), out), u"/b/c");
}

TEST(WCharEdit, InsertAtEitherEndAndBetween)
{
    const S xy(u"XY");
    EXPECT_EQ(edited(u"abc", [&](S& s) { return s.insert(xy, 0); }), Edited(true, u"XYabc"));
    EXPECT_EQ(edited(u"abc", [&](S& s) { return s.insert(xy, 1); }), Edited(true, u"aXYbc"));
    EXPECT_EQ(edited(u"abc", [&](S& s) { return s.insert(xy, 3); }), Edited(true, u"abcXY"));
    EXPECT_EQ(edited(u"abc", [&](S& s) { return s.insert(xy, 4); }), Edited(false, u"abc"));
    EXPECT_EQ(edited(u"abc", [&](S& s) { return s.insert(S(), 0); }), Edited(false, u"abc"));
    EXPECT_EQ(edited(u"", [&](S& s) { return s.insert(xy, 0); }), Edited(true, u"XY"));
    EXPECT_EQ(edited(u"", [&](S& s) { return s.insert(xy, 1); }), Edited(false, u""));
    EXPECT_EQ(edited(u"ab", [&](S& s) { return s.insert(s, 1); }), Edited(true, u"aabb"));
}

TEST(WCharEdit, DeleteSubStringModes)
{
    const S ab(u"ab");
    auto del = [&](const char16_t* text, const S& sub, uint32_t n, S::subStringMode m) {
        return edited(text, [&](S& s) { return s.deleteSubString(sub, n, m); });
    };
    EXPECT_EQ(del(u"abxab", ab, 0, S::ssmAll), Edited(true, u"x"));
    EXPECT_EQ(del(u"abxab", ab, 2, S::ssmOccur), Edited(true, u"abx"));
    EXPECT_EQ(del(u"abxabab", ab, 2, S::ssmNum), Edited(true, u"xab"));
    EXPECT_EQ(del(u"abxab", ab, 3, S::ssmNum), Edited(false, u"abxab"));
    EXPECT_EQ(del(u"abxab", ab, 3, S::ssmOccur), Edited(false, u"abxab"));
    EXPECT_EQ(del(u"abxab", ab, 0, S::ssmOccur), Edited(false, u"abxab"));
    EXPECT_EQ(del(u"abxab", ab, 0, S::ssmNum), Edited(false, u"abxab"));
    EXPECT_EQ(del(u"abxab", ab, 1, static_cast<S::subStringMode>(3)), Edited(false, u"abxab"));
    EXPECT_EQ(del(u"xyz", ab, 1, S::ssmAll), Edited(false, u"xyz"));
    EXPECT_EQ(del(u"abab", ab, 0, S::ssmAll), Edited(true, u""));

    // Overlapping occurrences are counted beforehand; each pass deletes the
    // first one left, so the passes can run out early.
    const S aa(u"aa");
    EXPECT_EQ(del(u"aaa", aa, 0, S::ssmAll), Edited(true, u"a"));
    EXPECT_EQ(del(u"aaa", aa, 2, S::ssmOccur), Edited(true, u"a"));
    EXPECT_EQ(del(u"aaaa", aa, 2, S::ssmNum), Edited(true, u""));
    // A deletion that joins a new occurrence does not add a pass.
    EXPECT_EQ(del(u"aabb", ab, 0, S::ssmAll), Edited(true, u"ab"));

    EXPECT_EQ(edited(u"abc", [](S& s) { return s.deleteSubString(s, 1, S::ssmOccur); }), Edited(true, u""));
    EXPECT_EQ((S(u"abxab") - ab).view(), u"xab");
    S t(u"xabab");
    t -= ab;
    EXPECT_EQ(t.view(), u"xab");
}

TEST(WCharEdit, ReplaceSubStringModes)
{
    auto rep = [](const char16_t* text, const char16_t* from, const char16_t* to, uint32_t n, S::subStringMode m) {
        return edited(text, [&](S& s) { return s.replaceSubString(S(from), S(to), n, m); });
    };
    EXPECT_EQ(rep(u"abxab", u"ab", u"Q", 0, S::ssmAll), Edited(true, u"QxQ"));
    EXPECT_EQ(rep(u"abxab", u"ab", u"Q", 2, S::ssmOccur), Edited(true, u"abxQ"));
    EXPECT_EQ(rep(u"abxabab", u"ab", u"Q", 2, S::ssmNum), Edited(true, u"QxQab"));
    EXPECT_EQ(rep(u"abxab", u"ab", u"", 0, S::ssmAll), Edited(true, u"x"));
    EXPECT_EQ(rep(u"ab", u"ab", u"xyz", 1, S::ssmOccur), Edited(true, u"xyz"));
    // A replacement holding the old text is stepped over, not replaced again.
    EXPECT_EQ(rep(u"aXa", u"a", u"aa", 0, S::ssmAll), Edited(true, u"aaXaa"));
    // When the old text holds the new one, the step is the count of the new
    // text in the old, so a later pass may find nothing: the replacements
    // made so far stay and the result is false.
    EXPECT_EQ(rep(u"abab", u"ab", u"b", 0, S::ssmAll), Edited(false, u"bab"));
    EXPECT_EQ(rep(u"abab", u"ab", u"b", 2, S::ssmOccur), Edited(true, u"abb"));
    // Overlapping occurrences: the last pass finds none.
    EXPECT_EQ(rep(u"aaaa", u"aa", u"b", 0, S::ssmAll), Edited(false, u"bb"));

    EXPECT_EQ(rep(u"abxab", u"ab", u"Q", 3, S::ssmOccur), Edited(false, u"abxab"));
    EXPECT_EQ(rep(u"abxab", u"ab", u"Q", 3, S::ssmNum), Edited(false, u"abxab"));
    EXPECT_EQ(rep(u"abxab", u"zz", u"Q", 1, S::ssmAll), Edited(false, u"abxab"));
    EXPECT_EQ(rep(u"abxab", u"", u"Q", 1, S::ssmAll), Edited(false, u"abxab"));
    EXPECT_EQ(rep(u"abxab", u"ab", u"Q", 1, static_cast<S::subStringMode>(8)), Edited(false, u"abxab"));
    EXPECT_EQ(edited(u"ab", [](S& s) { return s.replaceSubString(s, S(u"z"), 1, S::ssmOccur); }),
              Edited(true, u"z"));
}

TEST(WCharEdit, TrimPaddingAndFormatting)
{
    auto pad = [](const char16_t* text, char16_t c, uint32_t classes, uint32_t sides) {
        return edited(text, [&](S& s) { return s.trimPadding(c, classes, sides); });
    };
    EXPECT_EQ(pad(u"\t \a a b\r\n\v", u' ', S::fcAll, S::psBoth), Edited(true, u"a b"));
    EXPECT_EQ(pad(u"  ab  ", 0, S::fcSpace, S::psLeading), Edited(true, u"ab  "));
    EXPECT_EQ(pad(u"  ab  ", 0, S::fcSpace, S::psTrailing), Edited(true, u"  ab"));
    EXPECT_EQ(pad(u"**ab**", u'*', 0, S::psTrailing), Edited(true, u"**ab"));
    // Only the chosen classes go, and never an ordinary character.
    EXPECT_EQ(pad(u"\t ab \t", 0, S::fcSpace, S::psBoth), Edited(true, u"\t ab \t"));
    EXPECT_EQ(pad(u" \tab\t ", 0, S::fcSpace, S::psBoth), Edited(true, u"\tab\t"));
    EXPECT_EQ(pad(u"xabx", 0, S::fcAll, S::psBoth), Edited(true, u"xabx"));
    EXPECT_EQ(pad(u" \t\r\n ", 0, S::fcAll, S::psBoth), Edited(true, u""));
    EXPECT_FALSE(S().trimPadding(u' ', S::fcAll, S::psBoth));

    auto fmt = [](const char16_t* text, uint32_t classes) {
        return edited(text, [&](S& s) { return s.trimFormatting(classes); });
    };
    EXPECT_EQ(fmt(u"a b\tc\r\n\f\b\v\ad", S::fcAll), Edited(true, u"abcd"));
    EXPECT_EQ(fmt(u"a b\tc\r\n", S::fcTab | S::fcLineFeed), Edited(true, u"a bc\r"));
    EXPECT_EQ(fmt(u"a b", S::fcTab), Edited(false, u"a b"));
    EXPECT_EQ(fmt(u" \t", S::fcAll), Edited(true, u""));
}

TEST(WCharEdit, Classification)
{
    EXPECT_TRUE(S(u"abXY").isAlphaOnly(false));
    EXPECT_FALSE(S(u"ab XY").isAlphaOnly(false));
    EXPECT_TRUE(S(u"ab XY").isAlphaOnly(true));
    EXPECT_FALSE(S(u"ab1").isAlphaOnly(true) || S().isAlphaOnly(true));
    EXPECT_TRUE(S(u"ab1-").isLower() && S(u"AB1").isUpper());
    EXPECT_FALSE(S(u"aB").isLower() || S(u"aB").isUpper() || S().isLower() || S().isUpper());

    EXPECT_TRUE(S(u"0123").isNumericalOnly(false, false));
    EXPECT_FALSE(S(u"-12").isNumericalOnly(false, false));
    EXPECT_TRUE(S(u"-12").isNumericalOnly(true, false));
    EXPECT_TRUE(S(u"1.5").isNumericalOnly(false, true));
    for (const char16_t* text : {u"1-2", u"1.5.1", u".5", u"5.", u""})
        EXPECT_FALSE(S(text).isNumericalOnly(true, true)) << S(text).toUtf8();
    EXPECT_TRUE(S(u"-1.5").isReal(true));
    EXPECT_FALSE(S(u"-1.5").isReal(false) || S(u"15").isReal(true) || S(u"1.5.").isReal(true));

    EXPECT_TRUE(S(u"0101").couldBeBin() && S(u"01234567").couldBeOct() && S(u"-90").couldBeDec());
    EXPECT_TRUE(S(u"09afAF").couldBeHex());
    EXPECT_FALSE(S(u"012").couldBeBin() || S(u"8").couldBeOct() || S(u"0g").couldBeHex() || S().couldBeBin());

    EXPECT_TRUE(S(u"HeLLo").isSimilar(S(u"hello"), false, false));
    EXPECT_FALSE(S(u" hello\t").isSimilar(S(u"HELLO"), false, false));
    EXPECT_TRUE(S(u" hello\t").isSimilar(S(u"HELLO"), true, false));
    EXPECT_FALSE(S(u"he llo").isSimilar(S(u"hello "), true, false));
    EXPECT_TRUE(S(u"he llo").isSimilar(S(u"hello "), false, true));
    EXPECT_FALSE(S().isSimilar(S(), true, true));
}

TEST(WCharEdit, NumberIdentifiersAndSystems)
{
    struct Case {
        const char16_t* text;
        bool bBin, bOct, bHex;
    };
    const Case cases[] = {
        {u"0b101", true, false, false}, {u"101b", true, false, false}, {u"0B1", true, false, false},
        {u"1b", true, false, false},    {u"b", false, false, false},   {u"0b1b", false, false, false},
        {u"0b2", false, false, false},  {u"10b1", false, false, false}, {u"0o17", false, true, false},
        {u"17O", false, true, false},   {u"0o8", false, false, false}, {u"0x1F", false, false, true},
        {u"1Fh", false, false, true},   {u"0X1f", false, false, true}, {u"0x", false, false, true},
        {u"0xh", false, false, false},  {u"0x1Fh", false, false, false}, {u"10x5", false, false, false},
        {u"1F", false, false, false},   {u"x1F", false, false, false}, {u"h", false, false, false},
        {u"0x1g", false, false, false},
    };
    for (const Case& c : cases) {
        const S s(c.text);
        const std::string label(s.toUtf8());
        EXPECT_EQ(s.isDeclaredBinary(), c.bBin) << label;
        EXPECT_EQ(s.isDeclaredOctal(), c.bOct) << label;
        EXPECT_EQ(s.isDeclaredHex(), c.bHex) << label;
    }
    EXPECT_TRUE(S(u"0101").isBinaryCompatible());
    EXPECT_TRUE(S(u"17o").isOctalCompatible());
    EXPECT_TRUE(S(u"beef").isHexCompatible());
    EXPECT_FALSE(S(u"0x1g").isHexCompatible());

    const std::pair<const char16_t*, S::asNumberSystem> systems[] = {
        {u"0x1F", S::nsHex}, {u"101b", S::nsBin}, {u"0o7", S::nsOct},   {u"101", S::nsDec},  {u"-5", S::nsDec},
        {u"1F", S::nsHex},   {u"abc", S::nsHex},  {u"-1.5", S::nsReal}, {u"xyz", S::nsNone}, {u"1.2.3", S::nsNone},
    };
    for (const auto& [text, ns] : systems)
        EXPECT_EQ(S(text).getNumberSystem(), ns) << S(text).toUtf8();

    // The identifier goes; the letter case of the rest stays.
    EXPECT_EQ(edited(u"0B101", [](S& s) { return s.removeNumberIdentifier(); }), Edited(true, u"101"));
    EXPECT_EQ(edited(u"1Fh", [](S& s) { return s.removeNumberIdentifier(); }), Edited(true, u"1F"));
    EXPECT_EQ(edited(u"0X1f", [](S& s) { return s.removeNumberIdentifier(); }), Edited(true, u"1f"));
    EXPECT_EQ(edited(u"7o", [](S& s) { return s.removeNumberIdentifier(); }), Edited(true, u"7"));
    EXPECT_EQ(edited(u"1b", [](S& s) { return s.removeNumberIdentifier(); }), Edited(true, u"1"));
    EXPECT_EQ(edited(u"17", [](S& s) { return s.removeNumberIdentifier(); }), Edited(false, u"17"));
}

TEST(WCharEdit, ConversionsAndTheirLimits)
{
    uint32_t ul = 0;
    auto hex = [&](const char16_t* t) { return S(t).convertHexToLong(&ul) ? ul : 0xDEADu; };
    auto oct = [&](const char16_t* t) { return S(t).convertOctalToLong(&ul) ? ul : 0xDEADu; };
    auto bin = [&](const char16_t* t) { return S(t).convertBinaryToLong(&ul) ? ul : 0xDEADu; };
    EXPECT_EQ(hex(u"0x1F"), 31u);
    EXPECT_EQ(hex(u"1Fh"), 31u);
    EXPECT_EQ(hex(u"ffffffff"), 0xFFFFFFFFu);
    EXPECT_EQ(hex(u"0x0FFFFFFF"), 0x0FFFFFFFu);
    for (const char16_t* t : {u"123456789", u"0x123456789", u"1g"})
        EXPECT_EQ(hex(t), 0xDEADu) << S(t).toUtf8();
    // Hex digits read as hex: a binary-looking 'b' is a digit here.
    EXPECT_EQ(hex(u"101b"), 0x101Bu);

    EXPECT_EQ(oct(u"0o17"), 15u);
    EXPECT_EQ(oct(u"37777777777"), 0xFFFFFFFFu);
    EXPECT_EQ(oct(u"000000000017"), 15u);
    // Twelve digits pass the digit count but must still fit 32 bits.
    for (const char16_t* t : {u"40000000000", u"777777777777", u"0000000000017"})
        EXPECT_EQ(oct(t), 0xDEADu) << S(t).toUtf8();

    EXPECT_EQ(bin(u"0b101"), 5u);
    EXPECT_EQ(bin(u"101b"), 5u);
    EXPECT_EQ(bin(u"1b"), 1u);
    EXPECT_EQ(bin(std::u16string(32, u'1').c_str()), 0xFFFFFFFFu);
    EXPECT_EQ(bin(std::u16string(33, u'0').c_str()), 0xDEADu);
    EXPECT_EQ(bin(u"102"), 0xDEADu);
    EXPECT_FALSE(S(u"1").convertBinaryToLong(nullptr));

    auto toLong = [&](const char16_t* t, S::asNumberSystem ns) { return S(t).toLong(&ul, ns) ? ul : 0xDEADu; };
    EXPECT_EQ(toLong(u" 0x1F\t\r\n", S::nsHex), 31u);
    EXPECT_EQ(toLong(u"17o ", S::nsOct), 15u);
    EXPECT_EQ(toLong(u"\t0b11", S::nsBin), 3u);
    EXPECT_EQ(toLong(u" -42 ", S::nsDec), static_cast<uint32_t>(-42));
    EXPECT_EQ(toLong(u"2147483647", S::nsDec), 2147483647u);
    // Beyond 32 bits the decimal saturates instead of wrapping.
    EXPECT_EQ(toLong(u"4294967296", S::nsDec), 2147483647u);
    EXPECT_EQ(toLong(u"-99999999999", S::nsDec), 0x80000000u);
    EXPECT_FALSE(S(u"4x").toLong(&ul, S::nsDec) || S(u"  ").toLong(&ul, S::nsDec) ||
                 S(u"1.5").toLong(&ul, S::nsReal));

    double d = 0;
    EXPECT_TRUE(S(u" -1.25\t").toDouble(&d));
    EXPECT_EQ(d, -1.25);
    EXPECT_FALSE(S(u"1.2.3").toDouble(&d) || S(u"1e5").toDouble(&d));
}

TEST(WCharEdit, ExtractParamFromEitherEnd)
{
    const S list(u"a,b,c");
    const S comma(u",");
    S out;
    auto param = [&](const S& s, uint32_t n, S::parseMode m) {
        return got(s.extractParam(out, comma, n, false, m), out);
    };
    EXPECT_EQ(param(list, 1, S::pmForward), u"a");
    EXPECT_EQ(param(list, 2, S::pmForward), u"b");
    EXPECT_EQ(param(list, 3, S::pmForward), u"c");
    EXPECT_EQ(param(list, 1, S::pmReverse), u"c");
    EXPECT_EQ(param(list, 3, S::pmReverse), u"a");
    EXPECT_EQ(param(list, 0, S::pmForward), u"<failed>");
    EXPECT_EQ(param(list, 4, S::pmForward), u"<failed>");
    EXPECT_EQ(param(list, 5, S::pmForward), u"<failed>");
    EXPECT_EQ(param(S(u"abc"), 1, S::pmForward), u"<failed>");
    EXPECT_EQ(param(S(u"a,,b"), 2, S::pmForward), u"");
    EXPECT_EQ(param(S(u",a"), 1, S::pmForward), u"");
    EXPECT_EQ(param(list, 2, static_cast<S::parseMode>(0)), u"<failed>");

    EXPECT_EQ(got(S(u" a , b\t").extractParam(out, comma, 2, true, S::pmForward), out), u"b");
    EXPECT_EQ(got(S(u"a::b::c").extractParam(out, S(u"::"), 2, false, S::pmReverse), out), u"b");
    // Overlapping delimiters leave no field between them.
    EXPECT_FALSE(S(u"a,,,b").extractParam(out, S(u",,"), 2, false, S::pmForward));
    EXPECT_EQ(got(S(u"a,,,b").extractParam(out, S(u",,"), 3, false, S::pmForward), out), u"b");

    // Pairs: the same delimiter twice, or a start and an end delimiter.
    EXPECT_EQ(got(S(u"|a||b|").extractParam(out, S(u"|"), S(u"|"), 2, false), out), u"b");
    EXPECT_EQ(got(S(u"<a> <b>").extractParam(out, S(u"<"), S(u">"), 2, false), out), u"b");
    EXPECT_FALSE(S(u"<a>").extractParam(out, S(u"<"), S(u">"), 2, false));
    EXPECT_FALSE(S(u">a<").extractParam(out, S(u"<"), S(u">"), 1, false));
    EXPECT_FALSE(S(u"|a|").extractParam(out, S(u"|"), S(u"|"), 0x80000001u, false));
    EXPECT_FALSE(S(u"|a|").extractParam(out, S(u"|"), S(u"|"), 0, false));
}

TEST(WCharEdit, ExtractParamsFillTheList)
{
    CNXRDblList<S> list;
    ASSERT_TRUE(list.add(S(u"stale"), 7));
    EXPECT_TRUE(S(u"a,b,,c").extractParams(list, S(u","), false, S::pmForward));
    EXPECT_EQ(listed(list), (std::vector<std::u16string>{u"a", u"b", u"", u"c"}));
    EXPECT_TRUE(S(u"a,b,c").extractParams(list, S(u","), false, S::pmReverse));
    EXPECT_EQ(listed(list), (std::vector<std::u16string>{u"c", u"b", u"a"}));
    EXPECT_TRUE(S(u" a ,\tb ").extractParams(list, S(u","), true, S::pmForward));
    EXPECT_EQ(listed(list), (std::vector<std::u16string>{u"a", u"b"}));
    EXPECT_FALSE(S(u"abc").extractParams(list, S(u","), false, S::pmForward));
    EXPECT_EQ(list.getCount(), 0u);

    EXPECT_TRUE(S(u"<a><bc> <d>").extractParams(list, S(u"<"), S(u">"), false));
    EXPECT_EQ(listed(list), (std::vector<std::u16string>{u"a", u"bc", u"d"}));
    EXPECT_TRUE(S(u"'x' 'y' '").extractParams(list, S(u"'"), S(u"'"), false));
    EXPECT_EQ(listed(list), (std::vector<std::u16string>{u"x", u"y"}));
    EXPECT_FALSE(S(u"no pairs").extractParams(list, S(u"<"), S(u">"), false));
    EXPECT_EQ(list.getCount(), 0u);
}

TEST(WCharEdit, UpperCaseAndReversal)
{
    EXPECT_EQ(edited(u"aZ1\u00e9b", [](S& s) { return s.toUpper(); }), Edited(true, u"AZ1\u00e9B"));
    EXPECT_EQ(edited(u"abc", [](S& s) { return s.reverse(); }), Edited(true, u"cba"));
    EXPECT_FALSE(S().toUpper());
    EXPECT_FALSE(S().reverse());
}

TEST(WCharObscure, RoundTripsUnderARealKey)
{
    const CAesKey key = testKey(0);
    // The key bytes 00..1f, a zero IV: the same as `openssl enc -aes-256-cbc`
    // of "ab" as UTF-16LE with its zero, in Base64.
    EXPECT_EQ(S(u"ab").obscure(key).view(), u"Ih325gqNLM4nznfWf9eECA==");

    for (const char16_t* text : {u"x", u"Hello, w\u00f6rld \u2713 \U0001F600", u"exactly8", u"0123456789abcdef"}) {
        const S plain(text);
        const S hidden = plain.obscure(key);
        ASSERT_TRUE(hidden.isValid()) << plain.toUtf8();
        EXPECT_TRUE(normal(hidden));
        EXPECT_EQ(hidden.view().find(plain.view()), std::u16string_view::npos);
        // Whole AES blocks of the text and its zero, four characters per three bytes.
        const uint32_t ulCipher = (2 * (plain.getLength() + 1) / 16 + 1) * 16;
        EXPECT_EQ(hidden.getLength(), (ulCipher + 2) / 3 * 4);
        EXPECT_EQ(hidden.unobscure(key), plain);
        EXPECT_EQ(plain.obscure(key), hidden);
    }
    EXPECT_NE(S(u"secret").obscure(testKey(1)), S(u"secret").obscure(key));
}

TEST(WCharObscure, FailuresGiveAnEmptyString)
{
    const CAesKey key = testKey(0);
    EXPECT_FALSE(S().obscure(key).isValid());
    EXPECT_FALSE(S().unobscure(key).isValid());
    EXPECT_FALSE(S(u"abc").obscure(CAesKey()).isValid());
    EXPECT_FALSE(S(u"Ih325gqNLM4nznfWf9eECA==").unobscure(CAesKey()).isValid());
    // Not a whole cipher block, and a block under another key (bad padding).
    EXPECT_FALSE(S(u"YWJj").unobscure(key).isValid());
    EXPECT_FALSE(S(u"Ih325gqNLM4nznfWf9eECA==").unobscure(testKey(7)).isValid());
    // Two characters over a multiple of four without padding: refused.
    EXPECT_FALSE(S(u"Ih325gqNLM4nznfWf9eECA").unobscure(key).isValid());
}

TEST(WCharObscure, OddPlainByteCountEndsInAZeroHighByte)
{
    const CAesKey key = testKey(0);
    auto obscuredBytes = [&](std::initializer_list<NXR_BYTE> bytes) {
        const std::vector<NXR_BYTE> v(bytes);
        CNXRBuffer<NXR_BYTE> plain(v.data(), static_cast<uint32_t>(v.size()), 0), cipher;
        CNXRBuffer<NXR_CHAR> text;
        EXPECT_TRUE(key.encrypt(plain, cipher));
        EXPECT_TRUE(CBase64Encoder().encode(cipher, text));
        return S(text);
    };
    EXPECT_EQ(obscuredBytes({0x41, 0x00, 0x42}).unobscure(key).view(), u"AB");
    EXPECT_EQ(obscuredBytes({0x41, 0x00, 0x42, 0x00, 0x43}).unobscure(key).view(), u"ABC");
    EXPECT_EQ(obscuredBytes({0x41, 0x00, 0x00}).unobscure(key).view(), u"A");
    EXPECT_EQ(obscuredBytes({0x41}).unobscure(key).view(), u"A");
}

TEST(WCharEdit, ArgumentErrorsAreLoggedWithTheirTexts)
{
    ScopedRegistry reg;
    reg.enableLogging(2);
    S s(u"abxab"), out;
    s.deleteRange(2, 2, false, false);
    s.insert(S(u"x"), 9);
    s.deleteSubString(S(u"ab"), 0, S::ssmOccur);
    s.deleteSubString(S(u"ab"), 3, S::ssmNum);
    s.replaceSubString(S(u"ab"), S(u"x"), 3, S::ssmOccur);
    s.extractParam(out, S(u";"), 1, false, S::pmForward);
    s.extractParam(out, S(u"x"), 3, false, S::pmForward);
    uint32_t ul = 0;
    S(std::u16string(33, u'1').c_str()).convertBinaryToLong(&ul);
    S().obscure(testKey(0));
    S(u"Y").unobscure(testKey(0));
    EXPECT_EQ(s.view(), u"abxab");

    const auto lines = readLogLines(reg.logPath());
    for (const std::string text : {
             "ulEndPos & ulStartPos ). start and end positions can't be equal",
             "ulPos ). position is out of string bounds",
             "ulOccurrance ). ssmOccur mode requires ulOccurrance to be greater than 0",
             "ulOccurrance ). there aren't enough strings to accommodate ulOccurrance",
             "ulOccurrance ). occurrance is out of bounds",
             "delimeter ). delimeter doesn't exist",
             "ulOccurrance ). occurrance doesn't exist",
             "this ). too many binary digits in string - will overflow unsigned long value",
             "this ). Can't obscure empty string",
         })
        EXPECT_EQ(countLines(lines, "A bad argument was provided ( " + text), 1u) << text;
    EXPECT_EQ(countLines(lines, "<CNXRWCharString::unobscure> \"unable to decode the string for whatever reason\""),
              1u);
}
