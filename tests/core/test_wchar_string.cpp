// The wide string: normal form, comparison rules, concatenation, searching,
// number texts, and the UTF-8 conversions both ways.
#include "nxr_wchar_string.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

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

CNXRBuffer<NXR_CHAR> narrow(const std::string& bytes)
{
    return CNXRBuffer<NXR_CHAR>(bytes.data(), static_cast<uint32_t>(bytes.size()), 0);
}

std::string narrowText(const CNXRBuffer<NXR_CHAR>& b)
{
    return b.getNumElems() ? std::string(b.getBuffer(), b.getNumElems()) : std::string();
}

size_t countLines(const std::vector<std::string>& lines, const std::string& text)
{
    size_t n = 0;
    for (const auto& l : lines)
        n += l.find(text) != std::string::npos;
    return n;
}

} // namespace

TEST(WCharString, ConstructionAndNormalForm)
{
    EXPECT_FALSE(S().isValid());
    EXPECT_FALSE(S(static_cast<const char16_t*>(nullptr)).isValid());
    EXPECT_FALSE(S(u"").isValid());
    EXPECT_FALSE(S(u'\0').isValid());
    EXPECT_EQ(S(u"").getLength(), 0u);

    const S abc(u"abc");
    EXPECT_EQ(abc.view(), u"abc");
    EXPECT_TRUE(normal(abc));
    EXPECT_TRUE(normal(S(u'x')));
    EXPECT_EQ(S(abc).view(), u"abc");

    // A wide buffer is cut at its first zero, or terminated when it has none.
    const char16_t withZero[] = {u'a', u'b', 0, u'c'};
    const S cut(CNXRBuffer<NXR_USHORT>(withZero, 4, 0));
    EXPECT_EQ(cut.view(), u"ab");
    EXPECT_TRUE(normal(cut));
    const S whole(CNXRBuffer<NXR_USHORT>(withZero, 2, 0));
    EXPECT_EQ(whole.view(), u"ab");
    EXPECT_TRUE(normal(whole));
    EXPECT_FALSE(S(CNXRBuffer<NXR_USHORT>(withZero + 2, 1, 0)).isValid());

    // Assigning text that lies in the string's own storage.
    S self(u"abc");
    self = self.getBuffer() + 1;
    EXPECT_EQ(self.view(), u"bc");
    self = static_cast<const CNXRBuffer<NXR_USHORT>&>(self);
    EXPECT_EQ(self.view(), u"bc");
    EXPECT_TRUE(normal(self));
    self = S();
    EXPECT_FALSE(self.isValid());
}

TEST(WCharString, EqualityIsExact)
{
    EXPECT_TRUE(S(u"abc") == S(u"abc"));
    EXPECT_FALSE(S(u"abc") == S(u"ABC"));
    EXPECT_FALSE(S(u"abc") == S(u"abcd"));
    EXPECT_TRUE(S() == S());
    EXPECT_FALSE(S() == S(u"a"));
    EXPECT_TRUE(S(u"a") != S());
    EXPECT_FALSE(S(u"x") != S(u"x"));
}

TEST(WCharString, OrderingOnlyBetweenEqualLengths)
{
    EXPECT_TRUE(S(u"abc") <= S(u"abd"));
    EXPECT_FALSE(S(u"abc") >= S(u"abd"));
    EXPECT_TRUE(S(u"abc") < S(u"abd"));
    EXPECT_TRUE(S(u"abd") > S(u"abc"));
    EXPECT_TRUE(S(u"abc") <= S(u"abc"));
    EXPECT_TRUE(S(u"abc") >= S(u"abc"));
    // Code units compare as unsigned values.
    EXPECT_TRUE(S(u"\xFFFF") > S(u"a"));
    // Different lengths: neither <= nor >=, so both < and >.
    EXPECT_FALSE(S(u"ab") <= S(u"abc"));
    EXPECT_FALSE(S(u"ab") >= S(u"abc"));
    EXPECT_TRUE(S(u"ab") < S(u"abc"));
    EXPECT_TRUE(S(u"ab") > S(u"abc"));
    // Two empty strings are equal, yet not <=.
    EXPECT_FALSE(S() <= S());
    EXPECT_TRUE(S() < S());
}

TEST(WCharString, Concatenation)
{
    S s(u"ab");
    s += S(u"cd");
    EXPECT_EQ(s.view(), u"abcd");
    EXPECT_EQ(s.getNumElems(), 5u);
    s += S();
    EXPECT_EQ(s.view(), u"abcd");
    EXPECT_EQ(s.getNumElems(), 5u);

    S empty;
    empty += S(u"x");
    EXPECT_EQ(empty.view(), u"x");
    EXPECT_TRUE(normal(empty));

    s += s;
    EXPECT_EQ(s.view(), u"abcdabcd");
    EXPECT_TRUE(normal(s));

    // Spare storage behind the zero is dropped by the append.
    S spare(u"ab");
    ASSERT_TRUE(spare.reAllocBuffer(10));
    spare += S(u"c");
    EXPECT_EQ(spare.view(), u"abc");
    EXPECT_TRUE(normal(spare));
    EXPECT_TRUE(spare.freeUnusedMem());

    const S left(u"ab");
    const S joined = left + S(u"cd");
    EXPECT_EQ(joined.view(), u"abcd");
    EXPECT_EQ(left.view(), u"ab");
    EXPECT_FALSE((S() + S()).isValid());
}

TEST(WCharString, FreeUnusedMem)
{
    EXPECT_FALSE(S().freeUnusedMem());
    S zeros(u"ab");
    ASSERT_TRUE(zeros.zeroBuffer());
    EXPECT_TRUE(zeros.freeUnusedMem());
    EXPECT_FALSE(zeros.isValid());
}

TEST(WCharString, ForwardAndReverseSearch)
{
    uint32_t pos = 99;
    const S aaaa(u"aaaa");
    EXPECT_TRUE(aaaa.getSubStringPos(S(u"aa"), 3, S::pmForward, &pos));
    EXPECT_EQ(pos, 2u);
    EXPECT_TRUE(aaaa.getSubStringPos(S(u"aa"), 1, S::pmReverse, &pos));
    EXPECT_EQ(pos, 2u);
    EXPECT_TRUE(aaaa.getSubStringPos(S(u"aa"), 3, S::pmReverse, &pos));
    EXPECT_EQ(pos, 0u);
    EXPECT_TRUE(S(u"aaa").getSubStringPos(S(u"a"), 3, S::pmForward, &pos));
    EXPECT_EQ(pos, 2u);

    S path(u"C:\\A.XML");
    ASSERT_TRUE(path.toLower());
    EXPECT_EQ(path.view(), u"c:\\a.xml");
    EXPECT_TRUE(path.getSubStringPos(S(u".xml"), 1, S::pmReverse, &pos));
    EXPECT_EQ(pos, 4u);

    // Failures leave the position alone.
    pos = 99;
    EXPECT_FALSE(aaaa.getSubStringPos(S(u"aa"), 4, S::pmForward, &pos));
    EXPECT_FALSE(aaaa.getSubStringPos(S(u"aa"), 0, S::pmForward, &pos));
    EXPECT_FALSE(aaaa.getSubStringPos(S(u"aa"), 5, S::pmForward, &pos));
    EXPECT_FALSE(aaaa.getSubStringPos(S(u"aaaaa"), 1, S::pmForward, &pos));
    EXPECT_FALSE(aaaa.getSubStringPos(S(u"aa"), 1, static_cast<S::parseMode>(3), &pos));
    EXPECT_FALSE(aaaa.getSubStringPos(S(), 1, S::pmForward, &pos));
    EXPECT_FALSE(S().getSubStringPos(S(u"a"), 1, S::pmForward, &pos));
    EXPECT_FALSE(aaaa.getSubStringPos(S(u"a"), 1, S::pmForward, nullptr));
    EXPECT_EQ(pos, 99u);

    EXPECT_EQ(aaaa.getSubStringCount(S(u"aa")), 3u);
    EXPECT_EQ(aaaa.getSubStringCount(S(u"a")), 4u);
    EXPECT_EQ(aaaa.getSubStringCount(S(u"b")), 0u);
    EXPECT_EQ(S().getSubStringCount(S(u"a")), 0u);
    EXPECT_TRUE(S(u"xyz").hasSubString(S(u"yz")));
    EXPECT_FALSE(S(u"xyz").hasSubString(S(u"zy")));
}

TEST(WCharString, OccurrenceNumbersInBothDirections)
{
    // "ab" starts at 0, 3 and 6.
    const S s(u"abxabxab");
    const S ab(u"ab");
    uint32_t occ = 99;
    EXPECT_TRUE(s.getSubStringOccurrance(ab, 6, S::pmForward, &occ));
    EXPECT_EQ(occ, 3u);
    EXPECT_TRUE(s.getSubStringOccurrance(ab, 6, S::pmReverse, &occ));
    EXPECT_EQ(occ, 1u);
    EXPECT_TRUE(s.getSubStringOccurrance(ab, 3, S::pmReverse, &occ));
    EXPECT_EQ(occ, 2u);
    occ = 99;
    EXPECT_FALSE(s.getSubStringOccurrance(ab, 1, S::pmForward, &occ));
    EXPECT_EQ(occ, 99u);

    EXPECT_TRUE(s.getReverseSubStringOccurrance(ab, 1, S::pmForward, &occ));
    EXPECT_EQ(occ, 3u);
    EXPECT_TRUE(s.getReverseSubStringOccurrance(ab, 3, S::pmReverse, &occ));
    EXPECT_EQ(occ, 1u);
    // Overlapping matches: "aa" in "aaaa" at 0, 1, 2.
    EXPECT_TRUE(S(u"aaaa").getReverseSubStringOccurrance(S(u"aa"), 2, S::pmForward, &occ));
    EXPECT_EQ(occ, 2u);
    EXPECT_TRUE(S(u"aaaa").getReverseSubStringOccurrance(S(u"aa"), 1, S::pmReverse, &occ));
    EXPECT_EQ(occ, 3u);

    occ = 99;
    EXPECT_FALSE(s.getReverseSubStringOccurrance(ab, 4, S::pmForward, &occ));
    EXPECT_FALSE(s.getReverseSubStringOccurrance(S(), 1, S::pmForward, &occ));
    EXPECT_FALSE(s.getReverseSubStringOccurrance(ab, 1, static_cast<S::parseMode>(0), &occ));
    EXPECT_EQ(occ, 99u);
}

TEST(WCharString, ArgumentErrorsAreLoggedWithTheirTexts)
{
    ScopedRegistry reg;
    reg.enableLogging(27);
    uint32_t n = 0;
    const S s(u"abc");
    EXPECT_FALSE(s.getSubStringPos(S(u"a"), 0, S::pmForward, &n));
    EXPECT_FALSE(s.getSubStringPos(S(u"a"), 4, S::pmForward, &n));
    EXPECT_FALSE(s.getReverseSubStringOccurrance(S(), 1, S::pmForward, &n));
    EXPECT_FALSE(s.getReverseSubStringOccurrance(S(u"a"), 1, static_cast<S::parseMode>(4), &n));
    EXPECT_THROW(S(1u, S::nsReal, 0, false), CNXRBufferInitException);
    EXPECT_THROW(S(1.5, 11), CNXRBufferInitException);

    const auto lines = readLogLines(reg.logPath());
    const std::string bad = "A bad argument was provided ( ";
    EXPECT_EQ(countLines(lines, bad + "ulOccurrance ). value must be greater than 0"), 1u);
    EXPECT_EQ(countLines(lines, bad + "ulOccurrance ). value is impossible since it is larger than the length of "
                                      "this string"),
              1u);
    EXPECT_EQ(countLines(lines, bad + "subString ). must contain a string"), 1u);
    EXPECT_EQ(countLines(lines, bad + "parseMode ). invalid parse mode"), 1u);
    EXPECT_EQ(countLines(lines, bad + "asNumberSystem ). mode isn't supported, must be hex,bin,or oct"), 1u);
    EXPECT_EQ(countLines(lines, bad + "usPrecision ). precision can't be larger than 10 - will cause buffer "
                                      "underflow"),
              1u);
    EXPECT_EQ(countLines(lines, "Unable to initialize CNXRBuffer"), 2u);
}

TEST(WCharString, OperationsTraceUnderTheirNames)
{
    ScopedRegistry reg;
    reg.enableLogging(256 | 512);
    EXPECT_EQ(S(u"ab").getLength(), 2u);
    const auto lines = readLogLines(reg.logPath());
    EXPECT_EQ(countLines(lines, "<CNXRWCharString::getLength> <Return Code: 0x00000002> <nxr_wchar_string.cpp,"), 1u);
    EXPECT_EQ(countLines(lines, "<ENTRY> <test_wchar_string> <CNXRWCharString::CNXRWCharString>"), 1u);
}

TEST(WCharString, PowerOfTwoNumberTexts)
{
    S out;
    EXPECT_TRUE(S::convertLongToHexString(out, 255, 4, true));
    EXPECT_EQ(out.view(), u"0x00FF");
    EXPECT_TRUE(S::convertLongToHexString(out, 0x1234, 2, false));
    EXPECT_EQ(out.view(), u"34");
    EXPECT_TRUE(S::convertLongToHexString(out, 0, 0, false));
    EXPECT_EQ(out.view(), u"0");
    EXPECT_TRUE(S::convertLongToHexString(out, 0xFFFFFFFF, 0, false));
    EXPECT_EQ(out.view(), u"FFFFFFFF");
    EXPECT_TRUE(S::convertLongToHexString(out, 0xABC, 40, false));
    EXPECT_EQ(out.getLength(), 40u);
    EXPECT_EQ(out.view().substr(36), u"0ABC");
    EXPECT_TRUE(normal(out));

    EXPECT_TRUE(S::convertLongToBinString(out, 5, 8, true));
    EXPECT_EQ(out.view(), u"0b00000101");
    EXPECT_TRUE(S::convertLongToBinString(out, 0x80000000, 0, false));
    EXPECT_EQ(out.view(), u"1" + std::u16string(31, u'0'));
    EXPECT_TRUE(S::convertLongToOctString(out, 8, 0, true));
    EXPECT_EQ(out.view(), u"0o10");
    EXPECT_TRUE(S::convertLongToOctString(out, 0xFFFFFFFF, 0, false));
    EXPECT_EQ(out.view(), u"37777777777");

    EXPECT_EQ(S(255u, S::nsHex, 4, true).view(), u"0x00FF");
    EXPECT_EQ(S(6u, S::nsBin, 0, false).view(), u"110");
    EXPECT_EQ(S(64u, S::nsOct, 4, false).view(), u"0100");
    EXPECT_THROW(S(1u, S::nsNone, 0, false), CNXRBufferInitException);
}

TEST(WCharString, DecimalTexts)
{
    S out;
    EXPECT_TRUE(S::convertLongToDecString(out, -42));
    EXPECT_EQ(out.view(), u"-42");
    EXPECT_TRUE(S::convertLongToDecString(out, 0));
    EXPECT_EQ(out.view(), u"0");
    EXPECT_TRUE(S::convertLongToDecString(out, INT32_MIN));
    EXPECT_EQ(out.view(), u"-2147483648");
    EXPECT_EQ(S(INT32_MAX).view(), u"2147483647");
    // Digits and prefix are ignored; the bits are read as signed.
    EXPECT_EQ(S(0xFFFFFFFFu, S::nsDec, 8, true).view(), u"-1");
    EXPECT_EQ(S(1234u, S::nsDec, 2, true).view(), u"1234");

    char16_t c = u'?';
    EXPECT_TRUE(S::convertDigitToAscii(7, c));
    EXPECT_EQ(c, u'7');
    EXPECT_FALSE(S::convertDigitToAscii(10, c));
    EXPECT_EQ(c, u'7');
}

TEST(WCharString, DoubleTexts)
{
    EXPECT_EQ(S(3.0, 0).view(), u"3");
    EXPECT_EQ(S(3.0, 2).view(), u"3.00");
    EXPECT_EQ(S(2.5, 1).view(), u"2.5");
    EXPECT_EQ(S(-2.25, 2).view(), u"-2.25");
    EXPECT_EQ(S(-0.5, 2).view(), u"-0.50");
    EXPECT_EQ(S(0.5, 2).view(), u"0.50");
    // Leading zeros of the fraction stay; further digits are cut, not rounded.
    EXPECT_EQ(S(1.0625, 2).view(), u"1.06");
    EXPECT_EQ(S(1.0625, 3).view(), u"1.062");
    EXPECT_EQ(S(0.25, 10).view(), u"0.2500000000");
    EXPECT_EQ(S(-2147483648.0, 0).view(), u"-2147483648");
    // 0.5 * 10^10 does not fit 32 bits; nor do these integer parts.
    EXPECT_THROW(S(0.5, 10), CNXRBufferInitException);
    EXPECT_THROW(S(3e9, 1), CNXRBufferInitException);
    EXPECT_THROW(S(std::nan(""), 1), CNXRBufferInitException);
    EXPECT_THROW(S(1.0, 11), CNXRBufferInitException);
}

TEST(WCharString, Utf8BothWays)
{
    // "h", e-acute, the euro sign and U+1F600 (a surrogate pair).
    const std::string utf8 = "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const S s(utf8.c_str());
    EXPECT_EQ(s.view(), u"h\u00E9\u20AC\U0001F600");
    EXPECT_EQ(s.getLength(), 5u);
    EXPECT_TRUE(normal(s));

    const CNXRBuffer<NXR_CHAR> back = s;
    EXPECT_EQ(back.getNumElems(), utf8.size() + 1);
    EXPECT_EQ(narrowText(back), utf8 + '\0');
    EXPECT_EQ(s.toUtf8(), utf8);
    EXPECT_FALSE(static_cast<CNXRBuffer<NXR_CHAR>>(S()).isValid());

    EXPECT_FALSE(S(static_cast<const char*>(nullptr)).isValid());
    EXPECT_FALSE(S("").isValid());
    // A narrow buffer ends at its first zero; what follows is not converted.
    EXPECT_EQ(S(narrow(std::string("ab\0\xFF", 4))).view(), u"ab");

    // Invalid UTF-8 leaves the string as it was.
    S kept(u"keep");
    kept = narrow("a\xC3");
    EXPECT_EQ(kept.view(), u"keep");
    kept = narrow("\xED\xA0\x80"); // an encoded surrogate
    EXPECT_EQ(kept.view(), u"keep");
    EXPECT_FALSE(S("\xFF").isValid());
    kept = CNXRBuffer<NXR_CHAR>();
    EXPECT_FALSE(kept.isValid());

    // An unpaired surrogate has no UTF-8 form.
    const S lone(u"a\xD800");
    EXPECT_FALSE(static_cast<CNXRBuffer<NXR_CHAR>>(lone).isValid());
    EXPECT_EQ(lone.toUtf8(), "a\xEF\xBF\xBD");
}
