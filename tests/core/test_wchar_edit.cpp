// The wide string's editing, classification, number, parameter and
// obscuring operations.
#include "aeskey.h"
#include "base64encoder.h"
#include "nxr_wchar_string.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace nxr;
using S = CNXRWCharString;

namespace {

// Normal form: no storage, or exactly length + 1 elements with the zero last.
::testing::AssertionResult normal(const S& s)
{
    const uint32_t n = s.getLength();
    if ((s.getNumElems() == 0 && s.getBuffer() == nullptr) ||
        (n > 0 && s.getNumElems() == n + 1 && s.getBuffer()[n] == 0))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "length " << n << ", " << s.getNumElems() << " elements";
}

// Runs an edit on a copy of text and gives the text after it, with a leading
// '!' when the edit reported failure. Either way the string is in normal form.
template <class Edit>
std::u16string edited(const char16_t* text, Edit edit)
{
    S s(text);
    const bool bResult = edit(s);
    EXPECT_TRUE(normal(s));
    return (bResult ? u"" : u"!") + std::u16string(s.view());
}

// The text an extraction gave, or "!" when it failed.
std::u16string got(bool bResult, const S& out) { return bResult ? std::u16string(out.view()) : u"!"; }

CAesKey testKey(NXR_BYTE first)
{
    CNXRBuffer<NXR_BYTE> bytes(32);
    for (uint32_t i = 0; i < 32; ++i)
        bytes[i] = static_cast<NXR_BYTE>(first + i);
    return CAesKey(bytes);
}

// The list's texts joined by '|', checking that each node's index is its place.
std::u16string listed(const CNXRDblList<S>& list)
{
    std::u16string out;
    uint32_t ulIndex = 0;
    for (auto* p = list.getFirst(); p != nullptr; p = p->getNext(), ++ulIndex) {
        EXPECT_EQ(p->getIndex(), ulIndex);
        out += (ulIndex ? u"|" : u"") + std::u16string(p->getData().view());
    }
    return out;
}

} // namespace

TEST(WCharEdit, ShiftsInsertAndWrappingDeleteRange)
{
    const S s(u"abcdef");
    EXPECT_EQ((s >> 2).view(), u"abcd");
    EXPECT_EQ((s << 5).view(), u"f");
    EXPECT_TRUE(normal(s << 5));
    EXPECT_EQ((s >> 0).view(), u"abcdef");
    EXPECT_FALSE((s >> 6).isValid() || (s << 7).isValid() || (S() << 1).isValid());
    S t(u"abc");
    t <<= 1;
    t >>= 1;
    EXPECT_EQ(t.view(), u"b");

    const std::tuple<const char16_t*, uint32_t, const char16_t*> inserts[] = {
        {u"abc", 0, u"XYabc"}, {u"abc", 3, u"abcXY"}, {u"abc", 4, u"!abc"}, {u"", 0, u"XY"}, {u"", 1, u"!"}};
    for (const auto& [text, pos, after] : inserts)
        EXPECT_EQ(edited(text, [&](S& e) { return e.insert(S(u"XY"), pos); }), after) << pos;
    EXPECT_EQ(edited(u"abc", [](S& e) { return e.insert(S(), 0); }), u"!abc");
    EXPECT_EQ(edited(u"ab", [](S& e) { return e.insert(e, 1); }), u"aabb");

    // Start after end: the range runs on round the end of the text.
    const std::tuple<uint32_t, uint32_t, bool, bool, const char16_t*> ranges[] = {
        {1, 4, false, false, u"abef"},    {1, 4, true, false, u"aef"},     {0, 1, false, false, u"abcdef"},
        {0, 5, true, true, u""},          {4, 1, false, false, u"bcde"},   {4, 1, true, false, u"bcd"},
        {4, 1, false, true, u"cde"},      {2, 1, true, true, u""},         {6, 1, false, false, u"!abcdef"},
        {1, 6, false, false, u"!abcdef"}, {3, 3, false, false, u"!abcdef"}};
    for (const auto& [a, b, bStart, bEnd, after] : ranges)
        EXPECT_EQ(edited(u"abcdef", [&](S& e) { return e.deleteRange(a, b, bStart, bEnd); }), after)
            << a << ", " << b << ", " << bStart << bEnd;
    EXPECT_FALSE(S().deleteRange(0, 1, false, false));
}

TEST(WCharEdit, ExtractAndTrimByPositionSubStringAndOccurrence)
{
    // Between (true) or outside (false) positions 1 and 4, with or without
    // them; a refusal leaves the output alone.
    const std::tuple<bool, uint32_t, uint32_t, bool, const char16_t*> positions[] = {
        {true, 1, 4, false, u"cd"},  {true, 1, 4, true, u"bcde"}, {false, 1, 4, true, u"abef"},
        {false, 1, 4, false, u"af"}, {true, 1, 2, false, u""},    {true, 4, 1, false, u"!"},
        {false, 2, 2, false, u"!"},  {true, 1, 9, false, u"!"}};
    for (const auto& [bBetween, a, b, bInclusive, result] : positions) {
        S out(u"kept");
        const S s(u"abcdef");
        const bool bDone = bBetween ? s.extractBetween(out, a, b, bInclusive) : s.extractOutside(out, a, b, bInclusive);
        EXPECT_EQ(got(bDone, out), result) << bBetween << ", " << a << ", " << b << ", " << bInclusive;
        EXPECT_TRUE(normal(out));
        EXPECT_TRUE(bDone || out.view() == u"kept");
    }

    // subStart counted forward, subEnd counted from the end.
    S out;
    const S p(u"x(a)y(b)z"), open(u"("), close(u")");
    EXPECT_EQ(got(p.extractBetween(out, open, close, false), out), u"a)y(b");
    EXPECT_EQ(got(p.extractBetween(out, open, 2, close, 1, true), out), u"(b)");
    EXPECT_EQ(got(p.extractBetween(out, open, 1, close, 2, false), out), u"a");
    EXPECT_EQ(got(p.extractOutside(out, open, 1, close, 2, true), out), u"x()y(b)z");
    EXPECT_EQ(got(p.extractOutside(out, open, 1, close, 2, false), out), u"xy(b)z");
    EXPECT_TRUE(S(u"[]").extractBetween(out, S(u"["), S(u"]"), false));
    EXPECT_FALSE(out.isValid());
    EXPECT_FALSE(p.extractBetween(out, S(u"<"), close, false) || p.extractBetween(out, open, 0, close, 1, false));
    EXPECT_FALSE(S(u")a(").extractBetween(out, open, close, false)); // subEnd before subStart

    // A trim removes what the extraction of the same range gives.
    EXPECT_EQ(edited(u"abcdef", [](S& e) { return e.trimBetween(1, 4, false); }), u"abef");
    EXPECT_EQ(edited(u"abcdef", [](S& e) { return e.trimOutSide(1, 4, true); }), u"cd");
    const S lt(u"<<"), gt(u">>");
    EXPECT_EQ(edited(u"a<<b>>c", [&](S& e) { return e.trimBetween(lt, 1, gt, 1, true); }), u"ac");
    EXPECT_EQ(edited(u"a<<b>>c", [&](S& e) { return e.trimOutSide(lt, gt, false); }), u"<<b>>");
    EXPECT_FALSE(S().trimBetween(0, 1, false) || S().trimOutSide(0, 1, false));

    // trimTo keeps the text from (pmForward) or up to (pmReverse) an
    // occurrence; extractTo gives the other side.
    const std::tuple<uint32_t, S::parseMode, bool, const char16_t*, const char16_t*> occurrences[] = {
        {1, S::pmForward, false, u"/b/c", u"a"}, {1, S::pmForward, true, u"b/c", u"a/"},
        {2, S::pmForward, true, u"c", u"a/b/"},  {1, S::pmReverse, false, u"a/b/", u"c"},
        {2, S::pmReverse, true, u"a", u"/b/c"},  {3, S::pmForward, true, u"!a/b/c", u"!"},
        {1, S::parseMode(3), true, u"!a/b/c", u"!"}};
    const S slash(u"/");
    for (const auto& [n, mode, bSub, kept, extracted] : occurrences) {
        SCOPED_TRACE(testing::Message() << n << ", mode " << mode << ", " << bSub);
        EXPECT_EQ(edited(u"a/b/c", [&](S& e) { return e.trimTo(slash, n, mode, bSub); }), kept);
        EXPECT_EQ(got(S(u"a/b/c").extractTo(out, slash, n, mode, bSub), out), extracted);
    }
    EXPECT_EQ(edited(u"ab/", [&](S& e) { return e.trimTo(slash, 1, S::pmForward, true); }), u"");
}

TEST(WCharEdit, DeleteAndReplaceSubStringModes)
{
    // Overlapping occurrences are counted beforehand; each pass deletes the
    // first one left, so the passes can run out early ("aaa", "aaaa"). A
    // deletion that joins a new occurrence does not add a pass ("aabb").
    const std::tuple<const char16_t*, const char16_t*, uint32_t, S::subStringMode, const char16_t*> cases[] = {
        {u"abxab", u"ab", 0, S::ssmAll, u"x"},        {u"abxab", u"ab", 2, S::ssmOccur, u"abx"},
        {u"abxabab", u"ab", 2, S::ssmNum, u"xab"},    {u"abxab", u"ab", 3, S::ssmNum, u"!abxab"},
        {u"abxab", u"ab", 3, S::ssmOccur, u"!abxab"}, {u"abxab", u"ab", 0, S::ssmOccur, u"!abxab"},
        {u"abxab", u"ab", 0, S::ssmNum, u"!abxab"},   {u"abxab", u"ab", 1, S::subStringMode(3), u"!abxab"},
        {u"xyz", u"ab", 1, S::ssmAll, u"!xyz"},       {u"aaa", u"aa", 0, S::ssmAll, u"a"},
        {u"aaa", u"aa", 2, S::ssmOccur, u"a"},        {u"aaaa", u"aa", 2, S::ssmNum, u""},
        {u"aabb", u"ab", 0, S::ssmAll, u"ab"}};
    for (const auto& [text, sub, n, mode, after] : cases)
        EXPECT_EQ(edited(text, [&](S& e) { return e.deleteSubString(S(sub), n, mode); }), after)
            << S(text).toUtf8() << " - " << S(sub).toUtf8() << ", " << n << ", mode " << mode;

    EXPECT_EQ(edited(u"abc", [](S& e) { return e.deleteSubString(e, 1, S::ssmOccur); }), u"");
    EXPECT_EQ((S(u"abxab") - S(u"ab")).view(), u"xab");
    S t(u"xabab");
    t -= S(u"ab");
    EXPECT_EQ(t.view(), u"xab");

    // A replacement holding the old text is stepped over, not replaced again
    // ("aXa"). When the old text holds the new one, the step is the count of
    // the new text in the old, so a later pass may find nothing: the
    // replacements made so far stay and the result is false ("abab"); so too
    // with overlapping occurrences ("aaaa").
    using Replacement =
        std::tuple<const char16_t*, const char16_t*, const char16_t*, uint32_t, S::subStringMode, const char16_t*>;
    const Replacement replacements[] = {
        {u"abxab", u"ab", u"Q", 0, S::ssmAll, u"QxQ"},     {u"abxab", u"ab", u"Q", 2, S::ssmOccur, u"abxQ"},
        {u"abxabab", u"ab", u"Q", 2, S::ssmNum, u"QxQab"}, {u"abxab", u"ab", u"", 0, S::ssmAll, u"x"},
        {u"ab", u"ab", u"xyz", 1, S::ssmOccur, u"xyz"},    {u"aXa", u"a", u"aa", 0, S::ssmAll, u"aaXaa"},
        {u"abab", u"ab", u"b", 0, S::ssmAll, u"!bab"},     {u"abab", u"ab", u"b", 2, S::ssmOccur, u"abb"},
        {u"aaaa", u"aa", u"b", 0, S::ssmAll, u"!bb"},      {u"abxab", u"ab", u"Q", 3, S::ssmOccur, u"!abxab"},
        {u"abxab", u"ab", u"Q", 3, S::ssmNum, u"!abxab"},  {u"abxab", u"zz", u"Q", 1, S::ssmAll, u"!abxab"},
        {u"abxab", u"", u"Q", 1, S::ssmAll, u"!abxab"},    {u"abxab", u"ab", u"Q", 1, S::subStringMode(8), u"!abxab"}};
    for (const auto& [text, from, to, n, mode, after] : replacements)
        EXPECT_EQ(edited(text, [&](S& e) { return e.replaceSubString(S(from), S(to), n, mode); }), after)
            << S(text).toUtf8() << ": " << S(from).toUtf8() << " -> " << S(to).toUtf8() << ", " << n;
    EXPECT_EQ(edited(u"ab", [](S& e) { return e.replaceSubString(e, S(u"z"), 1, S::ssmOccur); }), u"z");
}

TEST(WCharEdit, TrimPaddingAndFormatting)
{
    // Only the chosen classes go, and never an ordinary character.
    const std::tuple<const char16_t*, char16_t, uint32_t, uint32_t, const char16_t*> pads[] = {
        {u"\t \a a b\r\n\v", u' ', S::fcAll, S::psBoth, u"a b"}, {u"  ab  ", 0, S::fcSpace, S::psLeading, u"ab  "},
        {u"**ab**", u'*', 0, S::psTrailing, u"**ab"},           {u"\t ab \t", 0, S::fcSpace, S::psBoth, u"\t ab \t"},
        {u" \tab\t ", 0, S::fcSpace, S::psBoth, u"\tab\t"},     {u" \t\r\n ", 0, S::fcAll, S::psBoth, u""}};
    for (const auto& [text, c, classes, sides, after] : pads)
        EXPECT_EQ(edited(text, [&](S& e) { return e.trimPadding(c, classes, sides); }), after) << S(text).toUtf8();
    EXPECT_FALSE(S().trimPadding(u' ', S::fcAll, S::psBoth));

    const std::tuple<const char16_t*, uint32_t, const char16_t*> formats[] = {
        {u"a b\tc\r\n\f\b\v\ad", S::fcAll, u"abcd"}, {u"a b\tc\r\n", S::fcTab | S::fcLineFeed, u"a bc\r"},
        {u"a b", S::fcTab, u"!a b"},                  {u" \t", S::fcAll, u""}};
    for (const auto& [text, classes, after] : formats)
        EXPECT_EQ(edited(text, [&](S& e) { return e.trimFormatting(classes); }), after) << S(text).toUtf8();
}

TEST(WCharEdit, ClassificationCaseAndReversal)
{
    EXPECT_TRUE(S(u"abXY").isAlphaOnly(false) && S(u"ab XY").isAlphaOnly(true));
    EXPECT_FALSE(S(u"ab XY").isAlphaOnly(false) || S(u"ab1").isAlphaOnly(true) || S().isAlphaOnly(true));
    EXPECT_TRUE(S(u"ab1-").isLower() && S(u"AB1").isUpper());
    EXPECT_FALSE(S(u"aB").isLower() || S(u"aB").isUpper() || S().isLower() || S().isUpper());

    EXPECT_TRUE(S(u"0123").isNumericalOnly(false, false));
    EXPECT_TRUE(S(u"-12").isNumericalOnly(true, false) && S(u"1.5").isNumericalOnly(false, true));
    EXPECT_FALSE(S(u"-12").isNumericalOnly(false, false) || S(u"1.5").isNumericalOnly(true, false));
    for (const char16_t* text : {u"1-2", u"1.5.1", u".5", u"5.", u""})
        EXPECT_FALSE(S(text).isNumericalOnly(true, true)) << S(text).toUtf8();
    EXPECT_TRUE(S(u"-1.5").isReal(true));
    EXPECT_FALSE(S(u"-1.5").isReal(false) || S(u"15").isReal(true) || S(u"1.5.").isReal(true));

    EXPECT_TRUE(S(u"0101").couldBeBin() && S(u"01234567").couldBeOct() && S(u"-90").couldBeDec());
    EXPECT_TRUE(S(u"09afAF").couldBeHex());
    EXPECT_FALSE(S(u"012").couldBeBin() || S(u"8").couldBeOct() || S(u"0g").couldBeHex() || S().couldBeBin());

    EXPECT_TRUE(S(u"HeLLo").isSimilar(S(u"hello"), false, false));
    EXPECT_TRUE(S(u" hello\t").isSimilar(S(u"HELLO"), true, false));
    EXPECT_TRUE(S(u"he llo").isSimilar(S(u"hello "), false, true));
    EXPECT_FALSE(S(u" hello\t").isSimilar(S(u"HELLO"), false, false));
    EXPECT_FALSE(S(u"he llo").isSimilar(S(u"hello "), true, false) || S().isSimilar(S(), true, true));

    EXPECT_EQ(edited(u"aZ1\u00e9b", [](S& e) { return e.toUpper(); }), u"AZ1\u00e9B");
    EXPECT_EQ(edited(u"abc", [](S& e) { return e.reverse(); }), u"cba");
    EXPECT_FALSE(S().toUpper() || S().reverse());
}

TEST(WCharEdit, NumberIdentifiersAndSystems)
{
    // Which system each text declares: 'b'inary, 'o'ctal, he'x', or none.
    const std::pair<const char16_t*, char> declared[] = {
        {u"0b101", 'b'}, {u"101b", 'b'}, {u"0B1", 'b'},  {u"1b", 'b'},  {u"b", '-'},     {u"0b1b", '-'},
        {u"0b2", '-'},   {u"10b1", '-'}, {u"0o17", 'o'}, {u"17O", 'o'}, {u"0o8", '-'},   {u"0x1F", 'x'},
        {u"1Fh", 'x'},   {u"0X1f", 'x'}, {u"0x", 'x'},   {u"0xh", '-'}, {u"0x1Fh", '-'}, {u"10x5", '-'},
        {u"1F", '-'},    {u"x1F", '-'},  {u"h", '-'},    {u"0x1g", '-'}};
    for (const auto& [text, system] : declared) {
        const S s(text);
        SCOPED_TRACE(s.toUtf8());
        EXPECT_EQ(s.isDeclaredBinary(), system == 'b');
        EXPECT_EQ(s.isDeclaredOctal(), system == 'o');
        EXPECT_EQ(s.isDeclaredHex(), system == 'x');
    }
    EXPECT_TRUE(S(u"0101").isBinaryCompatible() && S(u"17o").isOctalCompatible() && S(u"beef").isHexCompatible());
    EXPECT_FALSE(S(u"0x1g").isHexCompatible());

    const std::pair<const char16_t*, S::asNumberSystem> systems[] = {
        {u"0x1F", S::nsHex}, {u"101b", S::nsBin}, {u"0o7", S::nsOct},   {u"101", S::nsDec},  {u"-5", S::nsDec},
        {u"1F", S::nsHex},   {u"abc", S::nsHex},  {u"-1.5", S::nsReal}, {u"xyz", S::nsNone}, {u"1.2.3", S::nsNone}};
    for (const auto& [text, ns] : systems)
        EXPECT_EQ(S(text).getNumberSystem(), ns) << S(text).toUtf8();

    // The identifier goes; the letter case of the rest stays.
    const std::pair<const char16_t*, const char16_t*> stripped[] = {
        {u"0B101", u"101"}, {u"1Fh", u"1F"}, {u"0X1f", u"1f"}, {u"7o", u"7"}, {u"1b", u"1"}, {u"17", u"!17"}};
    for (const auto& [text, after] : stripped)
        EXPECT_EQ(edited(text, [](S& e) { return e.removeNumberIdentifier(); }), after) << S(text).toUtf8();
}

TEST(WCharEdit, ConversionsAndTheirLimits)
{
    // Each reader in its own system; -1 marks a refusal. Hex digits read as
    // hex, so a binary-looking 'b' is a digit there. Twelve octal digits pass
    // the digit count but must still fit 32 bits.
    const std::tuple<char, std::u16string, int64_t> reads[] = {
        {'x', u"0x1F", 31},               {'x', u"1Fh", 31},          {'x', u"ffffffff", 0xFFFFFFFF},
        {'x', u"0x0FFFFFFF", 0x0FFFFFFF}, {'x', u"101b", 0x101B},     {'x', u"123456789", -1},
        {'x', u"0x123456789", -1},        {'x', u"1g", -1},
        {'o', u"0o17", 15},               {'o', u"000000000017", 15}, {'o', u"37777777777", 0xFFFFFFFF},
        {'o', u"40000000000", -1},        {'o', u"777777777777", -1}, {'o', u"0000000000017", -1},
        {'b', u"0b101", 5},               {'b', u"101b", 5},          {'b', u"102", -1},
        {'b', std::u16string(32, u'1'), 0xFFFFFFFF}, {'b', std::u16string(33, u'0'), -1}};
    for (const auto& [base, text, value] : reads) {
        uint32_t ul = 0;
        const S s(text.c_str());
        const bool bRead = base == 'x'   ? s.convertHexToLong(&ul)
                           : base == 'o' ? s.convertOctalToLong(&ul)
                                         : s.convertBinaryToLong(&ul);
        EXPECT_EQ(bRead ? int64_t(ul) : -1, value) << base << " " << s.toUtf8();
    }
    uint32_t ul = 0;
    EXPECT_FALSE(S(u"1").convertBinaryToLong(nullptr));

    // Beyond 32 bits the decimal saturates instead of wrapping.
    const std::tuple<const char16_t*, S::asNumberSystem, int64_t> longs[] = {
        {u" 0x1F\t\r\n", S::nsHex, 31},        {u"17o ", S::nsOct, 15},     {u"\t0b11", S::nsBin, 3},
        {u" -42 ", S::nsDec, uint32_t(-42)},   {u"2147483647", S::nsDec, 2147483647},
        {u"4294967296", S::nsDec, 2147483647}, {u"-99999999999", S::nsDec, 0x80000000},
        {u"4x", S::nsDec, -1},                 {u"  ", S::nsDec, -1},       {u"1.5", S::nsReal, -1}};
    for (const auto& [text, ns, value] : longs)
        EXPECT_EQ(S(text).toLong(&ul, ns) ? int64_t(ul) : -1, value) << S(text).toUtf8();

    double d = 0;
    EXPECT_TRUE(S(u" -1.25\t").toDouble(&d));
    EXPECT_EQ(d, -1.25);
    EXPECT_FALSE(S(u"1.2.3").toDouble(&d) || S(u"1e5").toDouble(&d));
}

TEST(WCharEdit, ParametersFromEitherEndPairsAndLists)
{
    const S comma(u",");
    S out;
    const std::tuple<const char16_t*, uint32_t, S::parseMode, const char16_t*> fields[] = {
        {u"a,b,c", 1, S::pmForward, u"a"}, {u"a,b,c", 2, S::pmForward, u"b"}, {u"a,b,c", 3, S::pmForward, u"c"},
        {u"a,b,c", 1, S::pmReverse, u"c"}, {u"a,b,c", 3, S::pmReverse, u"a"}, {u"a,b,c", 0, S::pmForward, u"!"},
        {u"a,b,c", 4, S::pmForward, u"!"}, {u"a,b,c", 4, S::pmReverse, u"!"}, {u"abc", 1, S::pmForward, u"!"},
        {u"a,,b", 2, S::pmForward, u""},   {u",a", 1, S::pmForward, u""},     {u"a,b,c", 2, S::parseMode(0), u"!"}};
    for (const auto& [text, n, mode, field] : fields)
        EXPECT_EQ(got(S(text).extractParam(out, comma, n, false, mode), out), field)
            << S(text).toUtf8() << ", " << n << ", mode " << mode;
    EXPECT_EQ(got(S(u" a , b\t").extractParam(out, comma, 2, true, S::pmForward), out), u"b");
    EXPECT_EQ(got(S(u"a::b::c").extractParam(out, S(u"::"), 2, false, S::pmReverse), out), u"b");
    // Overlapping delimiters leave no field between them.
    EXPECT_FALSE(S(u"a,,,b").extractParam(out, S(u",,"), 2, false, S::pmForward));
    EXPECT_EQ(got(S(u"a,,,b").extractParam(out, S(u",,"), 3, false, S::pmForward), out), u"b");

    // Pairs: the same delimiter twice, or a start and an end delimiter.
    const std::tuple<const char16_t*, const char16_t*, const char16_t*, uint32_t, const char16_t*> pairs[] = {
        {u"|a||b|", u"|", u"|", 2, u"b"}, {u"<a> <b>", u"<", u">", 2, u"b"},       {u"<a>", u"<", u">", 2, u"!"},
        {u">a<", u"<", u">", 1, u"!"},    {u"|a|", u"|", u"|", 0x80000001u, u"!"}, {u"|a|", u"|", u"|", 0, u"!"}};
    for (const auto& [text, start, end, n, field] : pairs)
        EXPECT_EQ(got(S(text).extractParam(out, S(start), S(end), n, false), out), field) << S(text).toUtf8() << n;

    // Every field (one delimiter) or pair (two) into a list, emptied first;
    // the texts joined by '|'.
    const std::tuple<const char16_t*, const char16_t*, const char16_t*, S::parseMode, bool, const char16_t*> lists[] = {
        {u"a,b,,c", u",", nullptr, S::pmForward, false, u"a|b||c"},
        {u"a,b,c", u",", nullptr, S::pmReverse, false, u"c|b|a"},
        {u" a ,\tb ", u",", nullptr, S::pmForward, true, u"a|b"},
        {u"abc", u",", nullptr, S::pmForward, false, u"!"},
        {u"<a><bc> <d>", u"<", u">", S::pmForward, false, u"a|bc|d"},
        {u"'x' 'y' '", u"'", u"'", S::pmForward, false, u"x|y"},
        {u"no pairs", u"<", u">", S::pmForward, false, u"!"}};
    CNXRDblList<S> all;
    ASSERT_TRUE(all.add(S(u"stale"), 7));
    for (const auto& [text, start, end, mode, bTrim, fields] : lists) {
        const bool bFound = end ? S(text).extractParams(all, S(start), S(end), bTrim)
                                : S(text).extractParams(all, S(start), bTrim, mode);
        EXPECT_EQ((bFound ? u"" : u"!") + listed(all), fields) << S(text).toUtf8();
    }
}

TEST(WCharObscure, RoundTripsUnderARealKeyAndFailuresGiveAnEmptyString)
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

    const S sealed(u"Ih325gqNLM4nznfWf9eECA==");
    // Nothing to obscure, no key, not a whole cipher block, a block under
    // another key (bad padding), two characters over a multiple of four
    // without padding.
    const S failures[] = {S().obscure(key),           S().unobscure(key),           S(u"abc").obscure(CAesKey()),
                          sealed.unobscure(CAesKey()), S(u"YWJj").unobscure(key),    sealed.unobscure(testKey(7)),
                          S(u"Ih325gqNLM4nznfWf9eECA").unobscure(key)};
    for (size_t i = 0; i < std::size(failures); ++i)
        EXPECT_FALSE(failures[i].isValid()) << "case " << i;

    // An odd count of deciphered bytes ends in a unit with a zero high byte.
    auto obscuredBytes = [&](std::vector<NXR_BYTE> v) {
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
    nxrtest::ScopedRegistry reg;
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

    const auto lines = nxrtest::readLogLines(reg.logPath());
    auto count = [&](const std::string& text) {
        return std::count_if(lines.begin(), lines.end(), [&](const auto& l) { return l.find(text) != l.npos; });
    };
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
        EXPECT_EQ(count("A bad argument was provided ( " + text), 1) << text;
    EXPECT_EQ(count("<CNXRWCharString::unobscure> \"unable to decode the string for whatever reason\""), 1);
    // Every record of the string names its source, whichever file holds the
    // operation.
    EXPECT_EQ(count("<nxr_wchar_string.cpp, "), 10);
}
