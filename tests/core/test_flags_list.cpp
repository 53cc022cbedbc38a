// The bit-flag set and the owning doubly linked list: flag arithmetic, links
// after every change, and that every node is deleted exactly once, whether
// by removeNode, flush or the list's destructor.
#include "nxr_dbllist.h"
#include "nxr_flags.h"
#include "nxr_wchar_string.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <new>
#include <vector>

using namespace nxr;
using nxrtest::readLogLines;
using nxrtest::ScopedRegistry;

namespace {

// Data that counts its live copies and can be told to fail being copied.
struct Counted {
    static inline int live = 0;
    static inline bool failCopy = false;
    int value;
    explicit Counted(int v) : value(v) { ++live; }
    Counted(const Counted& o) : value(o.value)
    {
        if (failCopy)
            throw std::bad_alloc();
        ++live;
    }
    ~Counted() { --live; }
};

// A node type of the caller's own: the list must delete it through the
// virtual destructor.
struct CountingNode : CNXRDblListNode<Counted> {
    static inline int destroyed = 0;
    using CNXRDblListNode<Counted>::CNXRDblListNode;
    ~CountingNode() override { ++destroyed; }
};

class ListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Counted::live = 0;
        Counted::failCopy = false;
        CountingNode::destroyed = 0;
    }
    void TearDown() override { EXPECT_EQ(Counted::live, 0) << "a node's data outlived its list"; }
};

using List = CNXRDblList<Counted>;

// The values from first to last, checking every back link on the way.
std::vector<int> walk(const List& list)
{
    std::vector<int> values;
    const List::Node* prev = nullptr;
    for (const List::Node* p = list.getFirst(); p != nullptr; p = p->getNext()) {
        EXPECT_EQ(p->getPrev(), prev);
        values.push_back(p->getData().value);
        prev = p;
    }
    EXPECT_EQ(list.getLast(), prev);
    EXPECT_EQ(list.getCount(), values.size());
    return values;
}

} // namespace

TEST(Flags, AddRemoveAndTest)
{
    CNXRFlags f(0x05);
    EXPECT_TRUE(f.hasFlags(0x01));
    EXPECT_TRUE(f.hasFlags(0x05));
    EXPECT_TRUE(f.hasFlags(0));
    EXPECT_FALSE(f.hasFlags(0x03));

    EXPECT_TRUE(f << 0x03);
    EXPECT_EQ(f.getFlags(), 0x07u);
    EXPECT_FALSE(f << 0x01);
    EXPECT_FALSE(f << 0);
    EXPECT_EQ(f.getFlags(), 0x07u);

    CNXRFlags g(0x05);
    EXPECT_FALSE(g >> 0x06); // only some of the bits are set: nothing cleared
    EXPECT_EQ(g.getFlags(), 0x05u);
    EXPECT_FALSE(g >> 0);
    EXPECT_TRUE(g >> 0x04);
    EXPECT_EQ(g.getFlags(), 0x01u);
    EXPECT_TRUE(g << 0x80000000u);
    EXPECT_TRUE(g.hasFlags(0x80000001u));

    CNXRFlags h(g);
    EXPECT_TRUE(h == g);
    EXPECT_FALSE(h != g);
    h = f;
    EXPECT_EQ(h.getFlags(), 0x07u);
    EXPECT_TRUE(h != g);
}

TEST(DblList, AppendsStringsAndFlushes)
{
    CNXRDblList<CNXRWCharString> list;
    const CNXRWCharString one(u"one"), two(u"two"), three(u"three");
    EXPECT_TRUE(list.add(one, 0));
    EXPECT_TRUE(list.add(two, 1));
    EXPECT_TRUE(list.add(three, 2));
    ASSERT_EQ(list.getCount(), 3u);
    auto* first = list.getFirst();
    ASSERT_NE(first, nullptr);
    auto* second = first->getNext();
    auto* third = second->getNext();
    EXPECT_EQ(first->getData().view(), u"one");
    EXPECT_EQ(second->getData().view(), u"two");
    EXPECT_EQ(third->getData().view(), u"three");
    EXPECT_EQ(third->getIndex(), 2u);
    EXPECT_EQ(third->getNext(), nullptr);
    EXPECT_EQ(third->getPrev(), second);
    EXPECT_EQ(second->getPrev(), first);
    EXPECT_EQ(first->getPrev(), nullptr);
    EXPECT_EQ(list.getLast(), third);
    EXPECT_EQ(list.getTempCursor(), first);

    EXPECT_TRUE(list.flush());
    EXPECT_EQ(list.getCount(), 0u);
    EXPECT_EQ(list.getFirst(), nullptr);
    EXPECT_EQ(list.getLast(), nullptr);
    EXPECT_EQ(list.getTempCursor(), nullptr);
    EXPECT_TRUE(list.flush()); // flushing an empty list is fine

    EXPECT_TRUE(list.add(two, 7));
    EXPECT_EQ(list.getCount(), 1u);
    EXPECT_EQ(list.getFirst(), list.getLast());
    EXPECT_EQ(list.getTempCursor(), list.getFirst());
    EXPECT_EQ(list.getFirst()->getIndex(), 7u);
}

TEST_F(ListTest, OwnsCopiesOfTheData)
{
    List list;
    {
        Counted a(1);
        EXPECT_TRUE(list.add(a, 0));
        EXPECT_EQ(Counted::live, 2);
        a.value = 9; // the list holds its own copy
    }
    EXPECT_EQ(walk(list), std::vector<int>{1});
    EXPECT_EQ(Counted::live, 1);
}

TEST_F(ListTest, RemovesNodesAnywhere)
{
    List list;
    for (int i = 1; i <= 4; ++i)
        ASSERT_TRUE(list.add(Counted(i), uint32_t(i)));
    EXPECT_TRUE(list.removeNode(list.getFirst()->getNext())); // middle
    EXPECT_EQ(walk(list), (std::vector<int>{1, 3, 4}));
    EXPECT_TRUE(list.removeNode(list.getLast()));
    EXPECT_EQ(walk(list), (std::vector<int>{1, 3}));
    EXPECT_TRUE(list.removeNode(list.getFirst())); // also the cursor: it moves to the new first
    EXPECT_EQ(walk(list), (std::vector<int>{3}));
    EXPECT_EQ(list.getTempCursor(), list.getFirst());
    EXPECT_EQ(Counted::live, 1);

    List other;
    ASSERT_TRUE(other.add(Counted(8), 0));
    EXPECT_FALSE(list.removeNode(other.getFirst())); // not a node of this list
    EXPECT_FALSE(list.removeNode(nullptr));
    EXPECT_EQ(walk(list), (std::vector<int>{3}));
    EXPECT_EQ(walk(other), (std::vector<int>{8}));

    EXPECT_TRUE(list.removeNode(list.getFirst()));
    EXPECT_EQ(walk(list), std::vector<int>{});
    EXPECT_EQ(list.getFirst(), nullptr);
    EXPECT_TRUE(list.add(Counted(5), 0)); // empty again: works as on a new list
    EXPECT_EQ(walk(list), std::vector<int>{5});
}

TEST_F(ListTest, DestructorAndFlushDeleteThroughTheVirtualDestructor)
{
    {
        List list;
        EXPECT_FALSE(list.addNode(nullptr));
        EXPECT_EQ(list.getCount(), 0u);
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(list.addNode(new CountingNode(Counted(i), uint32_t(i))));
        EXPECT_TRUE(list.removeNode(list.getLast()));
        EXPECT_EQ(CountingNode::destroyed, 1);
        EXPECT_EQ(Counted::live, 4);
    } // four nodes still linked
    EXPECT_EQ(CountingNode::destroyed, 5);
    EXPECT_EQ(Counted::live, 0);

    List list;
    ASSERT_TRUE(list.addNode(new CountingNode(Counted(1), 0)));
    ASSERT_TRUE(list.add(Counted(2), 1)); // plain and derived nodes mix
    EXPECT_TRUE(list.flush());
    EXPECT_EQ(CountingNode::destroyed, 6);
    EXPECT_EQ(Counted::live, 0);
}

TEST_F(ListTest, FailedAddLeavesTheListAsItWas)
{
    ScopedRegistry reg;
    reg.enableLogging(2);
    List list;
    ASSERT_TRUE(list.add(Counted(1), 0));
    const Counted data(2);
    Counted::failCopy = true;
    EXPECT_FALSE(list.add(data, 1));
    Counted::failCopy = false;
    EXPECT_EQ(walk(list), std::vector<int>{1});
    EXPECT_EQ(Counted::live, 2);
    const auto lines = readLogLines(reg.logPath());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"Unable to allocate memory ( pNewNode )\""), std::string::npos);
}
