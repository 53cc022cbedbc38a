// Random bytes: from the system source, from the kernel's device when that
// source fails, and from the unseeded classic generator when both do.
#include "crypto_test_util.h"
#include "nxr_os_file.h"
#include "nxr_os_random.h"
#include "nxr_securebuffer.h"
#include "swrng.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace nxr;
using namespace cryptotest;

TEST(Rng, FillsTypedAndSecureBuffersAndRefusesEmptyOnes)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_EXCEPTION_BAD);
    CSwRNG rng;
    Bytes a(32), b(32), empty;
    CNXRSecureBuffer<NXR_BYTE> secure(32), secureEmpty;
    ASSERT_TRUE(rng.getRandomBytes(a) && rng.getRandomBytes(b) && rng.getRandomBytes(secure));
    EXPECT_EQ(a.getNumElems(), 32u);
    EXPECT_NE(contents(a), contents(b)); // 256 bits do not repeat
    EXPECT_NE(contents(a), std::vector<uint8_t>(32, 0));
    EXPECT_EQ(secure.asBuffer().getNumElems(), 32u);
    EXPECT_NE(contents(secure.asBuffer()), std::vector<uint8_t>(32, 0));
    // One getrandom(2) call hands out at most 32 MiB - 1; the tail must still
    // be filled.
    std::vector<unsigned char> big((size_t{32} << 20) + 4096, 0);
    ASSERT_TRUE(os::genRandom(big.data(), big.size()));
    EXPECT_TRUE(std::any_of(big.end() - 64, big.end(), [](unsigned char c) { return c != 0; }));
    // The count is checked before anything is written.
    EXPECT_THROW(rng.performRand(33, a), CIndexOutOfBoundsException);

    EXPECT_FALSE(rng.getRandomBytes(empty));
    EXPECT_FALSE(rng.getRandomBytes(secureEmpty));
    EXPECT_FALSE(empty.isValid());
    EXPECT_EQ(countLogLines(reg.logPath(), {"\"Bad arguement in rng.  Probably zero input buffer\""}), 2u);
}

// When getrandom fails the kernel's device stands in; only when that cannot
// be opened either do the bytes come from the unseeded classic generator.
// Each failure and each stand-in is in the log.
TEST(Rng, AFailingSystemSourceGivesWayToTheDeviceThenTheClassicGenerator)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_EXCEPTION_BAD | NXR_LEVEL_WARNING);
    os::resetRandFallback();
    Bytes a(8), b(8), last(8);
    {
        os::CScopedRandomFailure failure(EIO);
        ASSERT_TRUE(CSwRNG().getRandomBytes(a) && CSwRNG().getRandomBytes(b));
        os::CScopedFileFaults noDevice;
        noDevice.fail(os::FileOp::Open, EACCES);
        ASSERT_TRUE(CSwRNG().getRandomBytes(last));
    }
    os::resetRandFallback();
    // The low bytes of 41, 18467, 6334, 26500, 19169, 15724, 11478, 29358,
    // the first values of the unseeded generator.
    const std::vector<uint8_t> classic{41, 35, 190, 132, 225, 108, 214, 174};
    EXPECT_NE(contents(a), classic);
    EXPECT_NE(contents(a), contents(b));
    EXPECT_EQ(contents(last), classic);
    EXPECT_EQ(countLogLines(reg.logPath(), {"\"Error during MS Capi function call\" <Error: 0x00000005>"}), 3u);
    EXPECT_EQ(countLogLines(reg.logPath(), {"<WARNING>", "/dev/urandom"}), 2u);
    EXPECT_EQ(countLogLines(reg.logPath(), {"<WARNING>", "fallback generator", "<Error: 0x0000000d>"}), 1u);
}
