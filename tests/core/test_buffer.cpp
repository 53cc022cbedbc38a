// The typed buffer: bounds, appending, reallocation, conversions, failure
// containment and the wipe before every free.
#include "nxr_buffer.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <sys/mman.h>
#include <tuple>
#include <vector>

using namespace nxr;
using Bytes = CNXRBuffer<NXR_BYTE>;
using V = std::vector<NXR_BYTE>;

namespace {

Bytes bytes(std::initializer_list<NXR_BYTE> v) { return Bytes(v.begin(), static_cast<uint32_t>(v.size()), 0); }
V contents(const Bytes& b) { return b.getNumElems() ? V(b.getBuffer(), b.getBuffer() + b.getNumElems()) : V(); }

// Heap hooks that count the blocks freed with anything but zeros in them,
// and can be told to refuse allocations.
class WatchedHeap : public ::testing::Test {
protected:
    static inline size_t freed = 0, dirty = 0;
    static inline int failAfter = -1; // allocations left before refusing; -1 never
    static void* alloc(size_t n)
    {
        if (failAfter == 0)
            return nullptr;
        if (failAfter > 0)
            --failAfter;
        return std::malloc(n);
    }
    static void release(void* p, size_t n)
    {
        ++freed;
        const auto* b = static_cast<const unsigned char*>(p);
        dirty += std::any_of(b, b + n, [](unsigned char c) { return c != 0; });
        std::free(p);
    }
    void SetUp() override
    {
        static const CNXRHeapHooks hooks = {alloc, release};
        freed = dirty = 0;
        failAfter = -1;
        nxrSetHeapHooks(&hooks);
    }
    void TearDown() override { nxrSetHeapHooks(nullptr); }
};

} // namespace

TEST(Buffer, ConstructionCopiesReallocAndConversions)
{
    EXPECT_EQ(Bytes(0).getBuffer(), nullptr);
    EXPECT_EQ(contents(Bytes(4)), V({0, 0, 0, 0}));
    const NXR_BYTE src[] = {7, 8};
    EXPECT_EQ(contents(Bytes(src, 2, 3)), V({0, 0, 0, 7, 8}));
    EXPECT_THROW(Bytes(nullptr, 2, 0), CBadArgException);
    EXPECT_THROW(Bytes(src, 0, 0), CBadArgException);

    Bytes a = bytes({1, 2, 3});
    Bytes b(a);
    b[0] = 5;
    EXPECT_EQ(a[0], 1);
    b = a;
    EXPECT_TRUE(b.reAllocBuffer(8));
    EXPECT_EQ(contents(b), V({1, 2, 3, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(b.reAllocBuffer(2));
    EXPECT_EQ(contents(b), V({1, 2}));

    // Conversions keep the bytes; an odd byte gets a zero high byte.
    const Bytes five = bytes({0x41, 0x00, 0x42, 0x00, 0x43});
    const CNXRBuffer<NXR_USHORT> wide = five;
    ASSERT_EQ(wide.getNumElems(), 3u);
    EXPECT_EQ(wide[2], u'C');
    EXPECT_EQ(contents(wide), V({0x41, 0, 0x42, 0, 0x43, 0}));
    EXPECT_FALSE(CNXRBuffer<NXR_USHORT>(Bytes()).isValid());
}

// 2^31 wide elements are 2^32 bytes, more than an element count can say: the
// byte view is refused, not cut short and copied over. The block is only
// reserved, and released without the wipe that would touch its 4 GiB.
TEST(Buffer, ByteViewRefusesMoreBytesThanACountHolds)
{
    static const CNXRHeapHooks reserve = {
        [](size_t n) -> void* {
            void* p = ::mmap(nullptr, n, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            return p == MAP_FAILED ? nullptr : p;
        },
        [](void*, size_t) {}, true};
    alignas(CNXRBuffer<NXR_USHORT>) unsigned char storage[sizeof(CNXRBuffer<NXR_USHORT>)];
    nxrSetHeapHooks(&reserve);
    const auto* pHuge = new (storage) CNXRBuffer<NXR_USHORT>(0x80000000u);
    nxrSetHeapHooks(nullptr);
    ASSERT_EQ(pHuge->getNumElems(), 0x80000000u);
    EXPECT_FALSE(static_cast<Bytes>(*pHuge).isValid());
    ::munmap(const_cast<NXR_USHORT*>(pHuge->getBuffer()), size_t(1) << 32);
}

TEST(Buffer, BoundsOfIndexFillReadWriteAndAppend)
{
    Bytes b = bytes({1, 2, 3, 4});
    EXPECT_EQ(b[3], 4);
    EXPECT_THROW(b[4], CIndexOutOfBoundsException);
    EXPECT_FALSE(Bytes().fill(1, 0));

    // A read past the end fails and reports in the count what is there; an
    // offset far past the end neither wraps nor reads.
    const std::tuple<uint32_t, uint32_t, bool, uint32_t, V> reads[] = {
        {2, 5, false, 2, {9}}, {0, 0, false, 0, {9}}, {2, 2, true, 2, {3, 4}}, {0xFFFFFFFF, 1, false, 0, {9}}};
    for (const auto& [offset, want, bRead, count, after] : reads) {
        Bytes dest = bytes({9});
        uint32_t n = want;
        EXPECT_EQ(b.readBuffer(dest, offset, n), bRead) << offset << ", " << want;
        EXPECT_EQ(n, count);
        EXPECT_EQ(contents(dest), after);
    }

    const Bytes two = bytes({8, 9});
    EXPECT_FALSE(b.writeBuffer(two, 3, false));
    EXPECT_EQ(contents(b), V({1, 2, 3, 4}));
    EXPECT_TRUE(b.writeBuffer(two, 3, true));
    EXPECT_EQ(contents(b), V({1, 2, 3, 8, 9}));
    EXPECT_TRUE(b.writeBuffer(two, 0, false));
    EXPECT_EQ(contents(b), V({8, 9, 3, 8, 9}));
    EXPECT_FALSE(b.fill(7, 5));

    // Appending at an offset cuts what was behind it; into itself as well.
    EXPECT_TRUE(b.appendBuffer(two, 1));
    EXPECT_EQ(contents(b), V({8, 8, 9}));
    EXPECT_FALSE(b.appendBuffer(two, 4));
    EXPECT_TRUE(b.appendBuffer(b));
    EXPECT_EQ(contents(b), V({8, 8, 9, 8, 8, 9}));
    uint32_t n = 2;
    EXPECT_TRUE(b.readBuffer(b, 4, n));
    EXPECT_EQ(contents(b), V({8, 9}));
}

// Every block is zero when freed across a whole sealing (the wiping test);
// here, that moves hand over the block and a shrink wipes the cut-off tail.
TEST_F(WatchedHeap, MovesHandOverTheBlock)
{
    Bytes a = bytes({1, 2, 3});
    const NXR_BYTE* block = a.getBuffer();
    const size_t freedBefore = freed;
    Bytes b(std::move(a));
    EXPECT_EQ(b.getBuffer(), block);
    EXPECT_FALSE(a.isValid());
    Bytes c = bytes({9});
    c = std::move(b);
    EXPECT_EQ(c.getBuffer(), block);
    EXPECT_EQ(contents(c), V({1, 2, 3}));
    // Only c's old block was released, wiped.
    EXPECT_EQ(freed, freedBefore + 1);
    EXPECT_EQ(dirty, 0u);
    // Shrinking keeps the block and wipes the cut-off tail.
    EXPECT_TRUE(c.reAllocBuffer(1));
    EXPECT_EQ(c.getBuffer(), block);
    EXPECT_EQ(block[1], 0);
    EXPECT_EQ(block[2], 0);
}

TEST_F(WatchedHeap, AllocationFailureIsContained)
{
    Bytes b = bytes({1, 2, 3});
    Bytes src = bytes({1, 2, 3});
    failAfter = 0;
    EXPECT_FALSE(b.allocBuffer(10));
    EXPECT_FALSE(b.isValid()); // a failed allocation leaves it empty
    EXPECT_THROW(Bytes(4), CNXRBufferInitException);
    // A copy that could not be made is not passed off as one.
    EXPECT_THROW(Bytes copy(src), CNXRBufferInitException);
    // A grow that cannot get its new block keeps the old one and its contents.
    EXPECT_FALSE(src.reAllocBuffer(100));
    EXPECT_EQ(contents(src), V({1, 2, 3}));
}

