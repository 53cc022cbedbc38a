#include "nxr_os_error.h"
#include "nxr_os_random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <vector>

using namespace nxr::os;

namespace {

std::vector<int32_t> draw(size_t n)
{
    std::vector<int32_t> v(n);
    std::generate(v.begin(), v.end(), randFallback);
    return v;
}

} // namespace

// The classic unseeded sequence (state * 214013 + 2531011, bits 16 to 30),
// kept per thread: a new thread starts from the beginning.
TEST(OsRandomFallback, UnseededSequencePerThread)
{
    resetRandFallback();
    EXPECT_EQ(draw(3), (std::vector<int32_t>{41, 18467, 6334}));
    std::vector<int32_t> other;
    std::thread([&] { other = draw(5); }).join();
    EXPECT_EQ(other, (std::vector<int32_t>{41, 18467, 6334, 26500, 19169}));
    EXPECT_EQ(draw(2), (std::vector<int32_t>{26500, 19169}));
    resetRandFallback();
    EXPECT_EQ(randFallback(), 41);
}

TEST(OsGenRandom, FillsWholeRequestsAndFailsThroughTheSeam)
{
    std::vector<unsigned char> a(32), b(32);
    ASSERT_TRUE(genRandom(a.data(), a.size()) && genRandom(b.data(), b.size()));
    EXPECT_NE(a, b);
    EXPECT_TRUE(genRandom(nullptr, 0));
    // One getrandom(2) call hands out at most 32 MiB - 1; the tail must still
    // be filled.
    std::vector<unsigned char> big((size_t{32} << 20) + 4096, 0);
    ASSERT_TRUE(genRandom(big.data(), big.size()));
    EXPECT_TRUE(std::any_of(big.end() - 64, big.end(), [](unsigned char c) { return c != 0; }));

    setLastError(0);
    {
        CScopedRandomFailure failing(ENOSYS);
        EXPECT_FALSE(genRandom(a.data(), a.size()));
        EXPECT_EQ(getLastError(), static_cast<uint32_t>(ENOSYS));
        EXPECT_FALSE(genRandom(a.data(), a.size()));
    }
    EXPECT_TRUE(genRandom(a.data(), a.size()));
}
