// The wide string's editing and obscuring operations: the records of their
// refusals, and the obscure form held against the openssl command line.
// fuzz_wchar holds the edits against a plain model and their normal form.
#include "aeskey.h"
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
