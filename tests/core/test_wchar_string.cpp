// The wide string: comparison rules, concatenation in normal form,
// searching, the UTF-8 and file-name conversions both ways, and the records
// of the editing and obscuring operations.
#include "aeskey.h"
#include "nxr_os_text.h"
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

CNXRBuffer<NXR_CHAR> narrow(const std::string& bytes)
{
    return CNXRBuffer<NXR_CHAR>(bytes.data(), static_cast<uint32_t>(bytes.size()), 0);
}

// Which of the six comparisons hold from a to b, e.g. "!= <= <".
std::string relations(const S& a, const S& b)
{
    const std::pair<bool, const char*> ops[] = {{a == b, "=="}, {a != b, "!="}, {a <= b, "<="},
                                                {a >= b, ">="}, {a < b, "<"},   {a > b, ">"}};
    std::string r;
    for (const auto& [bHolds, name] : ops)
        r += bHolds ? (r.empty() ? "" : " ") + std::string(name) : "";
    return r;
}

// What a search reports through its out parameter, or -1 when it fails; a
// failure leaves the out parameter alone.
template <class Search>
int64_t found(Search search)
{
    uint32_t n = 99;
    if (search(&n))
        return n;
    EXPECT_EQ(n, 99u);
    return -1;
}

} // namespace

TEST(WCharString, EqualityIsExactAndOrderingNeedsEqualLengths)
{
    // Code units compare as unsigned values. Strings of different lengths are
    // neither <= nor >=, so both < and >; two empty strings are equal, yet
    // not <=.
    const std::tuple<const char16_t*, const char16_t*, const char*> cases[] = {
        {u"abc", u"abc", "== <= >="}, {u"abc", u"abd", "!= <= <"},  {u"abd", u"abc", "!= >= >"},
        {u"abc", u"ABC", "!= >= >"},  {u"\xFFFF", u"a", "!= >= >"}, {u"ab", u"abc", "!= < >"},
        {u"", u"", "== < >"},         {u"", u"a", "!= < >"}};
    for (const auto& [a, b, expected] : cases)
        EXPECT_EQ(relations(S(a), S(b)), expected) << S(a).toUtf8() << " against " << S(b).toUtf8();
}

TEST(WCharString, ConcatenationAndFreeUnusedMem)
{
    S s(u"ab");
    s += S(u"cd");
    s += S();
    EXPECT_EQ(s.view(), u"abcd");
    EXPECT_EQ(s.getNumElems(), 5u);
    s += s;
    EXPECT_EQ(s.view(), u"abcdabcd");
    EXPECT_TRUE(normal(s));
    S empty;
    empty += S(u"x");
    EXPECT_EQ(empty.view(), u"x");
    EXPECT_TRUE(normal(empty));

    // Spare storage behind the zero is dropped by the append.
    S spare(u"ab");
    ASSERT_TRUE(spare.reAllocBuffer(10));
    spare += S(u"c");
    EXPECT_EQ(spare.view(), u"abc");
    EXPECT_TRUE(normal(spare));
    EXPECT_FALSE((S() + S()).isValid());
}

TEST(WCharString, ForwardAndReverseSearchWithOverlaps)
{
    const S::parseMode F = S::pmForward, R = S::pmReverse;
    const std::tuple<const char16_t*, const char16_t*, uint32_t, S::parseMode, int64_t> positions[] = {
        {u"aaaa", u"aa", 3, F, 2},  {u"aaaa", u"aa", 1, R, 2},     {u"aaaa", u"aa", 3, R, 0},
        {u"aaa", u"a", 3, F, 2},    {u"aaaa", u"aa", 4, F, -1},    {u"aaaa", u"aa", 0, F, -1},
        {u"aaaa", u"aa", 5, F, -1}, {u"aaaa", u"aaaaa", 1, F, -1}, {u"aaaa", u"aa", 1, S::parseMode(3), -1},
        {u"aaaa", u"", 1, F, -1},   {u"", u"a", 1, F, -1}};
    for (const auto& [text, sub, n, mode, pos] : positions)
        EXPECT_EQ(found([&](uint32_t* p) { return S(text).getSubStringPos(S(sub), n, mode, p); }), pos)
            << S(text).toUtf8() << " / " << S(sub).toUtf8() << ", " << n << ", mode " << mode;
    EXPECT_FALSE(S(u"aaaa").getSubStringPos(S(u"a"), 1, F, nullptr));

    EXPECT_EQ(S(u"aaaa").getSubStringCount(S(u"aa")), 3u);
    S path(u"C:\\A.XML");
    ASSERT_TRUE(path.toLower());
    EXPECT_EQ(path.view(), u"c:\\a.xml");

    // Which occurrence starts at a position ('o'), and an occurrence's number
    // counted from the other end ('r'). "ab" in "abxabxab" starts at 0, 3
    // and 6; "aa" in "aaaa" at 0, 1 and 2.
    const std::tuple<char, const char16_t*, const char16_t*, uint32_t, S::parseMode, int64_t> occurrences[] = {
        {'o', u"abxabxab", u"ab", 6, F, 3},  {'o', u"abxabxab", u"ab", 6, R, 1},  {'o', u"abxabxab", u"ab", 3, R, 2},
        {'o', u"abxabxab", u"ab", 1, F, -1}, {'r', u"abxabxab", u"ab", 1, F, 3},  {'r', u"abxabxab", u"ab", 3, R, 1},
        {'r', u"aaaa", u"aa", 2, F, 2},      {'r', u"aaaa", u"aa", 1, R, 3},      {'r', u"abxabxab", u"ab", 4, F, -1},
        {'r', u"abxabxab", u"", 1, F, -1},   {'r', u"abxabxab", u"ab", 1, S::parseMode(0), -1}};
    for (const auto& [kind, text, sub, n, mode, result] : occurrences) {
        const S s(text), needle(sub);
        const auto search = [&](uint32_t* p) {
            return kind == 'o' ? s.getSubStringOccurrance(needle, n, mode, p)
                               : s.getReverseSubStringOccurrance(needle, n, mode, p);
        };
        EXPECT_EQ(found(search), result) << kind << " " << s.toUtf8() << " / " << needle.toUtf8() << ", " << n;
    }
}

TEST(WCharString, Utf8BothWays)
{
    // "h", e-acute, the euro sign and U+1F600 (a surrogate pair).
    const std::string utf8 = "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const S s(utf8.c_str());
    EXPECT_EQ(s.view(), u"h\u00E9\u20AC\U0001F600");
    EXPECT_TRUE(normal(s));
    const CNXRBuffer<NXR_CHAR> back = s;
    ASSERT_EQ(back.getNumElems(), utf8.size() + 1);
    EXPECT_EQ(std::string(back.getBuffer(), back.getNumElems()), utf8 + '\0');
    EXPECT_EQ(s.toUtf8(), utf8);
    EXPECT_FALSE(static_cast<CNXRBuffer<NXR_CHAR>>(S()).isValid());

    EXPECT_FALSE(S(static_cast<const char*>(nullptr)).isValid() || S("").isValid() || S("\xFF").isValid());
    // A narrow buffer ends at its first zero; what follows is not converted.
    EXPECT_EQ(S(narrow(std::string("ab\0\xFF", 4))).view(), u"ab");
    // Invalid UTF-8 (cut short, an encoded surrogate) leaves the string as it was.
    S kept(u"keep");
    kept = narrow("a\xC3");
    kept = narrow("\xED\xA0\x80");
    EXPECT_EQ(kept.view(), u"keep");
    kept = CNXRBuffer<NXR_CHAR>();
    EXPECT_FALSE(kept.isValid());

    // An unpaired surrogate has no UTF-8 form.
    const S lone(u"a\xD800");
    EXPECT_FALSE(static_cast<CNXRBuffer<NXR_CHAR>>(lone).isValid());
    EXPECT_EQ(lone.toUtf8(), "a\xEF\xBF\xBD");
}

// Code points at each edge of the encodings convert both ways; overlong
// forms, surrogates, code points past U+10FFFF and cut sequences do not.
TEST(WCharString, TextAtTheEdgesOfTheEncodings)
{
    for (const auto& [utf8, utf16] : std::vector<std::pair<std::string, std::u16string>>{
             {"\x7F", u"\x7F"}, {"\xC2\x80", u"\x80"}, {"\xDF\xBF", u"\x7FF"}, {"\xE0\xA0\x80", u"\x800"},
             {"\xED\x9F\xBF", u"\xD7FF"}, {"\xEE\x80\x80", u"\xE000"}, {"\xEF\xBF\xBF", u"\xFFFF"},
             {"\xF0\x90\x80\x80", u"\xD800\xDC00"}, {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"}}) {
        std::u16string wide;
        std::string back;
        EXPECT_TRUE(os::utf8ToUtf16(utf8, wide) && wide == utf16 && os::utf16ToUtf8(utf16, back) && back == utf8)
            << os::toUtf8Lossy(utf16);
    }
    std::u16string wide;
    std::string narrow;
    for (const char* bad : {"\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xBF\xBF",
                            "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\x80", "a\xE0\xA0"})
        EXPECT_FALSE(os::utf8ToUtf16(bad, wide)) << bad;
    for (const std::u16string bad : {u"\xD800", u"a\xDBFF", u"\xDBFF\xD800", u"\xDC00\xDC00", u"\xDFFF"})
        EXPECT_FALSE(os::utf16ToUtf8(bad, narrow)) << os::toUtf8Lossy(bad);
}

// A byte of a file name that is not part of valid UTF-8 becomes U+DC00 + byte
// and goes back as that byte; UTF-8 around it (a pair too) converts as usual.
TEST(WCharString, FileNamesKeepTheirBytes)
{
    const std::pair<std::string, std::u16string> names[] = {
        {"caf\xE9.xml", u"caf\xDCE9.xml"},
        {"\xF0\x9F\x98\x80\x80", u"\U0001F600\xDC80"},
        {"\xED\xB2\x80", u"\xDCED\xDCB2\xDC80"}, // an encoded surrogate is three stray bytes
        {"a\xC3", u"a\xDCC3"},
        {"\xC3\xA9\xFF\xFE", u"\u00E9\xDCFF\xDCFE"}};
    for (const auto& [bytes, wide] : names) {
        const S name = S::fromFileName(bytes);
        EXPECT_EQ(name.view(), wide);
        EXPECT_EQ(name.toFileName(), bytes);
    }
    // Surrogates that stand for no byte have no name.
    EXPECT_EQ(S(u"\xDC41\xD800").toFileName(), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

// The editing and obscuring operations: the records of their refusals, and
// the obscure form held against the openssl command line. fuzz_wchar holds
// the edits against a plain model and their normal form.
namespace {

CAesKey testKey(NXR_BYTE first)
{
    CNXRBuffer<NXR_BYTE> bytes(32);
    for (uint32_t i = 0; i < 32; ++i)
        bytes[i] = static_cast<NXR_BYTE>(first + i);
    return CAesKey(bytes);
}

} // namespace

TEST(WCharObscure, RoundTripsUnderARealKeyAndFailuresGiveAnEmptyString)
{
    const CAesKey key = testKey(0);
    // The key bytes 00..1f, a zero IV: the same as `openssl enc -aes-256-cbc`
    // of "ab" as UTF-16LE with its zero, in Base64.
    EXPECT_EQ(S(u"ab").obscure(key).view(), u"Ih325gqNLM4nznfWf9eECA==");

    for (const char16_t* text : {u"x", u"Hello, w\u00f6rld \u2713 \U0001F600"}) {
        const S plain(text);
        const S hidden = plain.obscure(key);
        ASSERT_TRUE(hidden.isValid()) << plain.toUtf8();
        EXPECT_TRUE(normal(hidden));
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
