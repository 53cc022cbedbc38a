// Random bytes: from the system source, and from the unseeded classic
// generator when that source fails.
#include "crypto_test_util.h"
#include "nxr_os_random.h"
#include "nxr_securebuffer.h"
#include "swrng.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace nxr;
using namespace cryptotest;

TEST(Rng, FillsTheWholeBuffer)
{
    CSwRNG rng;
    Bytes a(32), b(32);
    ASSERT_TRUE(rng.getRandomBytes(a));
    ASSERT_TRUE(rng.getRandomBytes(b));
    EXPECT_EQ(a.getNumElems(), 32u);
    // Two draws of 256 bits do not repeat, and neither is left zeroed.
    EXPECT_NE(contents(a), contents(b));
    EXPECT_NE(contents(a), std::vector<uint8_t>(32, 0));
}

TEST(Rng, EmptyRequestIsRefused)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_EXCEPTION_BAD);
    CSwRNG rng;
    Bytes empty;
    EXPECT_FALSE(rng.getRandomBytes(empty));
    EXPECT_FALSE(empty.isValid());
    CNXRSecureBuffer<NXR_BYTE> secureEmpty;
    EXPECT_FALSE(rng.getRandomBytes(secureEmpty));
    EXPECT_EQ(countLogLines(reg.logPath(), {"\"Bad arguement in rng.  Probably zero input buffer\""}), 2u);
}

TEST(Rng, FallsBackToTheClassicGeneratorWhenTheSystemFails)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_EXCEPTION_BAD);
    os::resetRandFallback();
    CSwRNG rng;
    Bytes got(8);
    {
        os::CScopedRandomFailure failure(EIO);
        ASSERT_TRUE(rng.getRandomBytes(got));
    }
    // The low bytes of 41, 18467, 6334, 26500, 19169, 15724, 11478, 29358:
    // the first values of the unseeded generator.
    EXPECT_EQ(contents(got), (std::vector<uint8_t>{41, 35, 190, 132, 225, 108, 214, 174}));
    EXPECT_EQ(countLogLines(reg.logPath(), {"Error during MS Capi function call", "<Error: 0x00000005>"}), 1u);
    os::resetRandFallback();
}

TEST(Rng, CountBeyondTheBufferIsThrown)
{
    CSwRNG rng;
    Bytes small(4);
    EXPECT_THROW(rng.performRand(5, small), CIndexOutOfBoundsException);
    os::CScopedRandomFailure failure(EIO);
    EXPECT_THROW(rng.performRand(5, small), CIndexOutOfBoundsException);
}

TEST(Rng, SecureFormEnciphersTheBytes)
{
    CSwRNG rng;
    CNXRSecureBuffer<NXR_BYTE> key(32);
    ASSERT_EQ(key.getPlainLength(), 32u);
    ASSERT_TRUE(rng.getRandomBytes(key));
    EXPECT_EQ(key.getPlainLength(), 32u);
    EXPECT_TRUE(key.isValid());
    const Bytes clear = key.asBuffer();
    ASSERT_EQ(clear.getNumElems(), 32u);
    EXPECT_NE(contents(clear), std::vector<uint8_t>(32, 0));
}
