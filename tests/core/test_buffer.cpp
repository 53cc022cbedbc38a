// The typed buffer: bounds, appending, reallocation, conversions, failure
// containment and the wipe before every free.
#include "nxr_buffer.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

using namespace nxr;
using Bytes = CNXRBuffer<NXR_BYTE>;

namespace {

Bytes bytes(std::initializer_list<NXR_BYTE> v) { return Bytes(v.begin(), static_cast<uint32_t>(v.size()), 0); }

std::vector<NXR_BYTE> contents(const Bytes& b)
{
    return b.getNumElems() ? std::vector<NXR_BYTE>(b.getBuffer(), b.getBuffer() + b.getNumElems())
                           : std::vector<NXR_BYTE>();
}

// Heap hooks that check every block is all zero when it is freed and can be
// told to refuse allocations.
struct WatchedHeap {
    static inline size_t freed = 0;
    static inline size_t dirty = 0;
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
        if (std::any_of(b, b + n, [](unsigned char c) { return c != 0; }))
            ++dirty;
        std::free(p);
    }
};
const CNXRHeapHooks watchedHooks = {WatchedHeap::alloc, WatchedHeap::release};

class WatchedHeapTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WatchedHeap::freed = WatchedHeap::dirty = 0;
        WatchedHeap::failAfter = -1;
        nxrSetHeapHooks(&watchedHooks);
    }
    void TearDown() override { nxrSetHeapHooks(nullptr); }
};

} // namespace

TEST(Buffer, EmptyAndZeroed)
{
    Bytes empty(0);
    EXPECT_FALSE(empty.isValid());
    EXPECT_EQ(empty.getBuffer(), nullptr);
    Bytes four(4);
    EXPECT_TRUE(four.isValid());
    EXPECT_EQ(contents(four), (std::vector<NXR_BYTE>{0, 0, 0, 0}));
    const NXR_BYTE src[] = {7, 8};
    EXPECT_EQ(contents(Bytes(src, 2, 3)), (std::vector<NXR_BYTE>{0, 0, 0, 7, 8}));
    EXPECT_THROW(Bytes(nullptr, 2, 0), CBadArgException);
    EXPECT_THROW(Bytes(src, 0, 0), CBadArgException);
}

TEST(Buffer, IndexAndFillBounds)
{
    Bytes b = bytes({1, 2, 3});
    EXPECT_EQ(b[2], 3);
    EXPECT_THROW(b[3], CIndexOutOfBoundsException);
    EXPECT_FALSE(b.fill(9, 3));
    EXPECT_TRUE(b.fill(9, 1));
    EXPECT_EQ(contents(b), (std::vector<NXR_BYTE>{1, 9, 9}));
    Bytes empty;
    EXPECT_FALSE(empty.fill(1, 0));
}

TEST(Buffer, ReadBounds)
{
    Bytes b = bytes({1, 2, 3, 4});
    Bytes dest = bytes({9});
    uint32_t n = 5;
    EXPECT_FALSE(b.readBuffer(dest, 2, n));
    EXPECT_EQ(n, 2u); // what is there
    EXPECT_EQ(contents(dest), (std::vector<NXR_BYTE>{9}));
    n = 0;
    EXPECT_FALSE(b.readBuffer(dest, 0, n));
    n = 2;
    EXPECT_TRUE(b.readBuffer(dest, 2, n));
    EXPECT_EQ(contents(dest), (std::vector<NXR_BYTE>{3, 4}));
    // An offset far past the end neither wraps nor reads.
    n = 1;
    EXPECT_FALSE(b.readBuffer(dest, 0xFFFFFFFF, n));
    EXPECT_EQ(n, 0u);
    // Into itself.
    n = 2;
    EXPECT_TRUE(b.readBuffer(b, 1, n));
    EXPECT_EQ(contents(b), (std::vector<NXR_BYTE>{2, 3}));
}

TEST(Buffer, WriteAndAppend)
{
    Bytes b = bytes({1, 2, 3, 4});
    const Bytes two = bytes({8, 9});
    EXPECT_FALSE(b.writeBuffer(two, 3, false));
    EXPECT_EQ(contents(b), (std::vector<NXR_BYTE>{1, 2, 3, 4}));
    EXPECT_TRUE(b.writeBuffer(two, 3, true));
    EXPECT_EQ(contents(b), (std::vector<NXR_BYTE>{1, 2, 3, 8, 9}));
    EXPECT_TRUE(b.writeBuffer(two, 0, false));
    EXPECT_EQ(contents(b), (std::vector<NXR_BYTE>{8, 9, 3, 8, 9}));
    EXPECT_FALSE(b.writeBuffer(Bytes(), 0, true));

    Bytes six = bytes({1, 2, 3, 4, 5, 6});
    EXPECT_TRUE(six.appendBuffer(two, 1));
    EXPECT_EQ(contents(six), (std::vector<NXR_BYTE>{1, 8, 9}));
    EXPECT_FALSE(six.appendBuffer(two, 4));
    EXPECT_TRUE(six.appendBuffer(six));
    EXPECT_EQ(contents(six), (std::vector<NXR_BYTE>{1, 8, 9, 1, 8, 9}));
    six += two;
    EXPECT_EQ(six.getNumElems(), 8u);
    Bytes empty;
    empty += two;
    EXPECT_EQ(contents(empty), (std::vector<NXR_BYTE>{8, 9}));
}

TEST(Buffer, ReallocKeepsAndTruncates)
{
    Bytes b = bytes({1, 2, 3});
    EXPECT_TRUE(b.reAllocBuffer(8));
    EXPECT_EQ(contents(b), (std::vector<NXR_BYTE>{1, 2, 3, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(b.reAllocBuffer(2));
    EXPECT_EQ(contents(b), (std::vector<NXR_BYTE>{1, 2}));
    EXPECT_TRUE(b.reAllocBuffer(0));
    EXPECT_FALSE(b.isValid());
}

TEST(Buffer, CopiesAreDeep)
{
    Bytes a = bytes({1, 2});
    Bytes b(a);
    b[0] = 5;
    EXPECT_EQ(a[0], 1);
    Bytes c;
    c = a;
    c = c;
    EXPECT_EQ(contents(c), (std::vector<NXR_BYTE>{1, 2}));
    c = Bytes();
    EXPECT_FALSE(c.isValid());
}

TEST(Buffer, ConversionsKeepTheBytes)
{
    const Bytes five = bytes({0x41, 0x00, 0x42, 0x00, 0x43});
    const CNXRBuffer<NXR_USHORT> wide = five;
    ASSERT_EQ(wide.getNumElems(), 3u);
    EXPECT_EQ(wide[0], u'A');
    EXPECT_EQ(wide[2], u'C'); // high byte zero
    const Bytes back = wide;
    EXPECT_EQ(contents(back), (std::vector<NXR_BYTE>{0x41, 0, 0x42, 0, 0x43, 0}));
    const CNXRBuffer<NXR_CHAR> narrow = five;
    EXPECT_EQ(narrow.getNumElems(), 5u);
    EXPECT_EQ(narrow[0], 'A');
    const Bytes fromNarrow = narrow;
    EXPECT_EQ(contents(fromNarrow), contents(five));
    const CNXRBuffer<NXR_USHORT> none = Bytes();
    EXPECT_FALSE(none.isValid());
}

TEST_F(WatchedHeapTest, EveryBlockIsZeroWhenFreed)
{
    {
        Bytes b = bytes({1, 2, 3, 4, 5});
        b.reAllocBuffer(9);
        b.appendBuffer(bytes({7, 7}));
        Bytes c(b);
        c = bytes({0xAA});
        CNXRBuffer<NXR_USHORT> w = b;
        w.fill(u'x', 0);
        uint32_t n = 3;
        b.readBuffer(c, 1, n);
        b.flush();
    }
    EXPECT_GE(WatchedHeap::freed, 6u);
    EXPECT_EQ(WatchedHeap::dirty, 0u);
}

TEST_F(WatchedHeapTest, AllocationFailureIsContained)
{
    Bytes b = bytes({1, 2, 3});
    WatchedHeap::failAfter = 0;
    EXPECT_FALSE(b.allocBuffer(10));
    EXPECT_FALSE(b.isValid()); // a failed allocation leaves it empty
    EXPECT_THROW(Bytes(4), CNXRBufferInitException);
    WatchedHeap::failAfter = -1;
    Bytes src = bytes({1, 2, 3});
    WatchedHeap::failAfter = 0;
    // A copy that could not be made is not passed off as one.
    EXPECT_THROW(Bytes copy(src), CNXRBufferInitException);
    // A grow that cannot get its new block keeps the old one and its
    // contents.
    WatchedHeap::failAfter = 0;
    EXPECT_FALSE(src.reAllocBuffer(100));
    ASSERT_EQ(src.getNumElems(), 3u);
    EXPECT_EQ(src[2], 3);
    WatchedHeap::failAfter = -1;
}

TEST(Buffer, FailuresAreLoggedNotThrown)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(27);
    Bytes b = bytes({1, 2, 3, 4});
    uint32_t n = 5;
    EXPECT_FALSE(b.readBuffer(b, 2, n));
    EXPECT_FALSE(b.writeBuffer(bytes({1, 2}), 3, false));
    Bytes().getBuffer();
    const auto lines = nxrtest::readLogLines(reg.logPath());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("\"A bad argument was provided ( ulNumElems + ulOffset ). can't read more elements than "
                            "are in this buffer\""),
              std::string::npos);
    EXPECT_NE(lines[1].find("( buffer ). buffer + offset will overrun this buffer"), std::string::npos);
    EXPECT_NE(lines[2].find("<WARNING> <test_buffer> \"Returning NULL pointer ( m_pBuffer )\" <nxr_buffer.h, "),
              std::string::npos);
}

TEST_F(WatchedHeapTest, MovesHandOverTheBlock)
{
    Bytes a = bytes({1, 2, 3});
    const NXR_BYTE* block = a.getBuffer();
    const size_t freedBefore = WatchedHeap::freed;
    Bytes b(std::move(a));
    EXPECT_EQ(b.getBuffer(), block);
    EXPECT_FALSE(a.isValid());
    Bytes c = bytes({9});
    c = std::move(b);
    EXPECT_EQ(c.getBuffer(), block);
    EXPECT_EQ(contents(c), (std::vector<NXR_BYTE>{1, 2, 3}));
    // Only c's old block was released, wiped.
    EXPECT_EQ(WatchedHeap::freed, freedBefore + 1);
    EXPECT_EQ(WatchedHeap::dirty, 0u);
    // Shrinking keeps the block and wipes the cut-off tail.
    EXPECT_TRUE(c.reAllocBuffer(1));
    EXPECT_EQ(c.getBuffer(), block);
    EXPECT_EQ(block[1], 0);
    EXPECT_EQ(block[2], 0);
}
