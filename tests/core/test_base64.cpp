// Base64: padding, decoding up to the zero or '=', the refusals and what they
// log, characters outside the alphabet (fuzz_base64 holds the round trip).
#include "base64encoder.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace nxr;
using Bytes = CNXRBuffer<NXR_BYTE>;
using Chars = CNXRBuffer<NXR_CHAR>;

namespace {

Bytes bytes(const std::string& s) { return Bytes(reinterpret_cast<const NXR_BYTE*>(s.data()), uint32_t(s.size()), 0); }
Chars chars(const std::string& s) { return Chars(s.data(), uint32_t(s.size()), 0); }
Chars text(const std::string& s) { return chars(s + std::string(1, '\0')); } // with the zero the decoder wants
template <class B>
std::string str(const B& b)
{
    return b.getNumElems() ? std::string(reinterpret_cast<const char*>(b.getBuffer()), b.getNumElems()) : "";
}

// Encodes over older, longer content, which must not survive.
std::string encoded(const std::string& in)
{
    Chars out = chars("previous, longer content");
    EXPECT_TRUE(CBase64Encoder().encode(bytes(in), out));
    return str(out);
}

std::string decoded(const Chars& in, bool bExpect = true)
{
    Bytes out = bytes("keep");
    EXPECT_EQ(CBase64Encoder().decode(in, out), bExpect) << str(in);
    return str(out);
}

} // namespace

TEST(Base64, EncodesAndDecodes)
{
    EXPECT_EQ(encoded("abc"), "YWJj"); // exactly four characters, no terminator
    EXPECT_EQ(encoded("\xff"), "/w==");
    EXPECT_EQ(encoded("ab"), "YWI=");
    EXPECT_EQ(encoded(std::string("\xfb\xff\x00", 3)), "+/8A");

    EXPECT_EQ(decoded(text("YWJj")), "abc");
    EXPECT_EQ(decoded(chars("QQ==")), "A");
    EXPECT_EQ(decoded(text("QUI")), "AB"); // three over a multiple of four: no padding needed
    EXPECT_EQ(decoded(chars(std::string("QQ==garbage\0", 12))), "A");
    // Characters outside the alphabet are zero bits, not errors.
    EXPECT_EQ(decoded(text("-_\n ")), std::string(3, '\0'));
    EXPECT_EQ(decoded(text("YW\nj")), "a`#");
}

TEST(Base64, RefusalsAreLoggedOnceAndLeaveOutputZeroed)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(2);
    Chars enc;
    EXPECT_FALSE(CBase64Encoder().encode(Bytes(), enc));
    EXPECT_EQ(decoded(Chars(), false), "keep"); // refused before the output is touched
    EXPECT_EQ(decoded(chars("YWJj"), false), "keep");
    EXPECT_EQ(decoded(text("Q"), false), std::string(4, '\0'));
    // Two over a multiple of four without padding: the '=' check reads past
    // the zero and the bounds check refuses it. One over, likewise.
    EXPECT_EQ(decoded(text("YWJjQQ"), false), std::string(4, '\0'));
    decoded(text("YWJjQ"), false);
    decoded(chars("QQ="), false);

    // A top-bit character is refused by the lookup and decodes as zero bits.
    EXPECT_EQ(decoded(text("\xc3QQQ")), "\x01\x04\x10");
    EXPECT_EQ(CBase64EncoderHelper::_encode(64), 0);
    CBase64EncoderHelper helper;
    uint32_t n = 0;
    EXPECT_TRUE(helper.b64strlen(chars("abcd"), &n)); // neither zero nor '=': the whole buffer
    EXPECT_EQ(n, 4u);
    EXPECT_FALSE(helper.b64strlen(Chars(), &n));

    const std::vector<std::string> expected = {
        "<CBase64Encoder::encode> \"Variable ulSize value of 0 is less than 1\"",
        "<CBase64Encoder::decode> \"Variable ulSize value of 0 is less than 1\"",
        "<CBase64Encoder::decode> \"Variable encodedData value of encodedData[3] = 106 is buffer does not end in "
        "NULL(0) or \"=\"(61)\"",
        "<CBase64EncoderHelper::Base64_Decode> \"Variable iTemp value of 1 is less than uEncodedIndex + 3 (3)\"",
        "\"Index out of array bounds\"",
        "\"Index out of array bounds\"",
        "\"Index out of array bounds\"",
        "\"A bad argument was provided ( const NXR_CHAR c ). Parameter is NULL\"",
        "\"A bad argument was provided ( NXR_CHAR c ). Parameter is NULL\"",
        "\"A bad argument was provided ( const NXR_PCHAR a ). Parameter is NULL\"",
    };
    const auto lines = nxrtest::readLogLines(reg.logPath());
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];
}

