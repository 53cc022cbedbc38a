// Base64: known texts, padding, the refusals and what they log, characters
// outside the alphabet, and agreement with the coreutils base64 command.
#include "base64encoder.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

using namespace nxr;
using nxrtest::readLogLines;
using nxrtest::ScopedRegistry;
using Bytes = CNXRBuffer<NXR_BYTE>;
using Chars = CNXRBuffer<NXR_CHAR>;

namespace {

Bytes bytes(const std::string& s) { return Bytes(reinterpret_cast<const NXR_BYTE*>(s.data()), uint32_t(s.size()), 0); }
Chars chars(const std::string& s) { return Chars(s.data(), uint32_t(s.size()), 0); }
// Text followed by the zero the decoder expects.
Chars text(const std::string& s) { return chars(s + std::string(1, '\0')); }

std::string str(const Bytes& b)
{
    return b.getNumElems() ? std::string(reinterpret_cast<const char*>(b.getBuffer()), b.getNumElems()) : "";
}
std::string str(const Chars& b) { return b.getNumElems() ? std::string(b.getBuffer(), b.getNumElems()) : ""; }

size_t countLines(const std::vector<std::string>& lines, const std::string& part)
{
    size_t n = 0;
    for (const auto& line : lines)
        n += line.find(part) != std::string::npos;
    return n;
}

std::string encoded(const std::string& in)
{
    CBase64Encoder codec;
    Chars out;
    EXPECT_TRUE(codec.encode(bytes(in), out));
    return str(out);
}

std::string decoded(const Chars& in, bool bExpect = true)
{
    CBase64Encoder codec;
    Bytes out;
    EXPECT_EQ(codec.decode(in, out), bExpect) << str(in);
    return str(out);
}

std::string randomBytes(std::mt19937& rng, size_t n)
{
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

} // namespace

TEST(Base64, EncodesWithPaddingAndNoTerminator)
{
    EXPECT_EQ(encoded("abc"), "YWJj");
    EXPECT_EQ(encoded("\xff"), "/w==");
    EXPECT_EQ(encoded("ab"), "YWI=");
    EXPECT_EQ(encoded("abcd"), "YWJjZA==");
    EXPECT_EQ(encoded(std::string("\xfb\xff\x00", 3)), "+/8A");
    // The output replaces whatever the buffer held, at exactly 4 * ceil(n / 3).
    CBase64Encoder codec;
    Chars out = chars("previous content that is longer");
    ASSERT_TRUE(codec.encode(bytes("hello"), out));
    EXPECT_EQ(out.getNumElems(), 8u);
    EXPECT_EQ(str(out), "aGVsbG8=");
}

TEST(Base64, DecodesUpToTheZeroOrPadding)
{
    EXPECT_EQ(decoded(text("YWJj")), "abc");
    EXPECT_EQ(decoded(chars("QQ==")), "A");
    EXPECT_EQ(decoded(chars("QUI=")), "AB");
    EXPECT_EQ(decoded(text("QUI")), "AB");     // three over: two bytes, no padding needed
    EXPECT_EQ(decoded(text("YWJjZA==")), "abcd");
    // Characters outside the alphabet are zero bits, not errors.
    EXPECT_EQ(decoded(text("-_\n ")), std::string(3, '\0'));
    EXPECT_EQ(decoded(text("YW\nj")), "a`#");
    // Whatever follows the first '=' or zero is not read.
    EXPECT_EQ(decoded(chars(std::string("QQ==garbage\0", 12))), "A");
}

TEST(Base64, RoundTripsEveryShortLength)
{
    std::mt19937 rng(7);
    for (size_t n = 1; n <= 64; ++n) {
        const std::string data = randomBytes(rng, n);
        const std::string b64 = encoded(data);
        ASSERT_EQ(b64.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(decoded(text(b64)), data) << n;
        EXPECT_EQ(decoded(chars(b64 + "=")), data) << n; // '=' as the terminator works too
    }
}

TEST(Base64, RefusalsAreLoggedAndLeaveOutputZeroed)
{
    ScopedRegistry reg;
    reg.enableLogging(2);
    CBase64Encoder codec;

    Chars enc = chars("xyz");
    EXPECT_FALSE(codec.encode(Bytes(), enc));

    Bytes out = bytes("keep");
    EXPECT_FALSE(codec.decode(Chars(), out));
    EXPECT_EQ(str(out), "keep"); // refused before the output was touched
    EXPECT_FALSE(codec.decode(chars("YWJj"), out));
    EXPECT_EQ(str(out), "keep");

    // One character before the terminator.
    EXPECT_FALSE(codec.decode(text("Q"), out));
    EXPECT_EQ(str(out), std::string(4, '\0'));

    // Two characters over a multiple of four without padding: the '=' check
    // would read past the zero, and the bounds check refuses it.
    out = bytes("keep");
    EXPECT_FALSE(codec.decode(text("YWJjQQ"), out));
    EXPECT_EQ(str(out), std::string(4, '\0'));
    // One over: the group reaches past the end as well.
    EXPECT_FALSE(codec.decode(text("YWJjQ"), out));
    // No zero, only a single '=' after two characters: same refusal.
    EXPECT_FALSE(codec.decode(chars("QQ="), out));

    const auto lines = readLogLines(reg.logPath());
    EXPECT_EQ(countLines(lines, "\"Variable ulSize value of 0 is less than 1\""), 2u);
    EXPECT_EQ(countLines(lines, "\"Variable encodedData value of encodedData[3] = 106 is buffer does not end in "
                                "NULL(0) or \"=\"(61)\""),
              1u);
    EXPECT_EQ(countLines(lines, "\"Variable iTemp value of 1 is less than uEncodedIndex + 3 (3)\""), 1u);
    EXPECT_EQ(countLines(lines, "\"Index out of array bounds\""), 3u);
    // Each refusal is written once, where it was raised.
    EXPECT_EQ(lines.size(), 7u);
}

TEST(Base64, HelperRefusesOutOfRangeCharacters)
{
    ScopedRegistry reg;
    reg.enableLogging(2);
    EXPECT_EQ(CBase64EncoderHelper::_encode(63), '/');
    EXPECT_EQ(CBase64EncoderHelper::_encode(-1), 0);
    EXPECT_EQ(CBase64EncoderHelper::_encode(64), 0);
    EXPECT_EQ(CBase64EncoderHelper::_decode('/'), 63);
    EXPECT_EQ(CBase64EncoderHelper::_decode('\x80'), 0);

    // A top-bit character inside the text is refused by the lookup, which
    // the decoder takes as zero bits.
    EXPECT_EQ(decoded(text("\xc3QQQ")), std::string("\x01\x04\x10", 3));

    CBase64EncoderHelper helper;
    uint32_t n = 99;
    EXPECT_TRUE(helper.b64strlen(chars("abcd"), &n)); // neither zero nor '=': the whole buffer
    EXPECT_EQ(n, 4u);
    EXPECT_TRUE(helper.b64strlen(chars("ab=cd"), &n));
    EXPECT_EQ(n, 2u);
    EXPECT_FALSE(helper.b64strlen(Chars(), &n));
    EXPECT_FALSE(helper.b64strlen(chars("ab"), nullptr));
    Chars enc;
    EXPECT_FALSE(helper.Base64_Encode(Bytes(), enc));
    Bytes dec;
    EXPECT_FALSE(helper.Base64_Decode(Chars(), dec));

    const auto lines = readLogLines(reg.logPath());
    EXPECT_EQ(countLines(lines, "A bad argument was provided ( NXR_CHAR c ). Parameter is NULL"), 2u);
    EXPECT_EQ(countLines(lines, "A bad argument was provided ( const NXR_CHAR c ). Parameter is NULL"), 2u);
    EXPECT_EQ(countLines(lines, "A bad argument was provided ( const NXR_PCHAR a ). Parameter is NULL"), 1u);
    EXPECT_EQ(countLines(lines, "( CNXRBuffer < NXR_BYTE > &Data ). Parameter is 0"), 1u);
    EXPECT_EQ(countLines(lines, "( const CNXRBuffer < NXR_CHAR > &szEncoded ). Buffer is invalid"), 1u);
}

TEST(Base64, AgreesWithCoreutils)
{
    if (std::system("base64 --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "the coreutils base64 command is not installed";
    nxrtest::ScratchDir dir;
    const std::string path = dir.file("data.bin");
    std::mt19937 rng(2024);
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 57u, 58u, 59u, 1000u, 4096u, 10001u}) {
        const std::string data = randomBytes(rng, n);
        nxrtest::writeFile(path, data);
        FILE* pipe = ::popen(("base64 -w0 '" + path + "'").c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string expected;
        char chunk[4096];
        for (size_t got; (got = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0;)
            expected.append(chunk, got);
        ASSERT_EQ(::pclose(pipe), 0);
        EXPECT_EQ(encoded(data), expected) << n;
        EXPECT_EQ(decoded(text(expected)), data) << n;
    }
}
