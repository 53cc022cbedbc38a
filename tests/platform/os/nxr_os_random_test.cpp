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
    std::vector<int32_t> v;
    for (size_t i = 0; i < n; ++i)
        v.push_back(randFallback());
    return v;
}

} // namespace

TEST(OsRandomFallback, UnseededSequenceIsTheClassicOne)
{
    resetRandFallback();
    const std::vector<int32_t> got = draw(1000);
    EXPECT_EQ(std::vector<int32_t>(got.begin(), got.begin() + 5),
              (std::vector<int32_t>{41, 18467, 6334, 26500, 19169}));

    uint64_t state = 1;
    for (size_t i = 0; i < got.size(); ++i) {
        state = (state * 214013 + 2531011) % (uint64_t{1} << 32);
        ASSERT_EQ(got[i], static_cast<int32_t>((state >> 16) & 0x7FFF)) << "value " << i;
    }
}

TEST(OsRandomFallback, EachThreadStartsAfresh)
{
    resetRandFallback();
    draw(3); // this thread's state moves on; a new thread's does not
    std::vector<int32_t> other;
    std::thread([&] { other = draw(3); }).join();
    EXPECT_EQ(other, (std::vector<int32_t>{41, 18467, 6334}));
    EXPECT_EQ(randFallback(), 26500);
}

TEST(OsGenRandom, FillsWholeRequestsIncludingVeryLargeOnes)
{
    std::vector<unsigned char> a(32), b(32);
    ASSERT_TRUE(genRandom(a.data(), a.size()));
    ASSERT_TRUE(genRandom(b.data(), b.size()));
    EXPECT_NE(a, b);
    EXPECT_TRUE(genRandom(nullptr, 0));

    // One getrandom(2) call hands out at most 32 MiB - 1; the tail must still
    // be filled.
    std::vector<unsigned char> big((size_t{32} << 20) + 4096, 0);
    ASSERT_TRUE(genRandom(big.data(), big.size()));
    EXPECT_TRUE(std::any_of(big.end() - 64, big.end(), [](unsigned char c) { return c != 0; }));
}

TEST(OsGenRandom, FailureSeamReportsTheErrorUntilCleared)
{
    unsigned char buf[16] = {};
    setLastError(0);
    {
        CScopedRandomFailure failing(ENOSYS);
        EXPECT_FALSE(genRandom(buf, sizeof(buf)));
        EXPECT_EQ(getLastError(), static_cast<uint32_t>(ENOSYS));
        EXPECT_FALSE(genRandom(buf, sizeof(buf)));
    }
    EXPECT_TRUE(genRandom(buf, sizeof(buf)));
}
