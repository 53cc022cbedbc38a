// The owning list: links after every change, and every node deleted exactly
// once, by removeNode, flush or the list's destructor.
#include "nxr_dbllist.h"

#include <gtest/gtest.h>

#include <vector>

using namespace nxr;

namespace {

// Data that counts its live copies.
struct Counted {
    static inline int live = 0;
    int value;
    explicit Counted(int v) : value(v) { ++live; }
    Counted(const Counted& o) : value(o.value) { ++live; }
    ~Counted() { --live; }
};

// A node class of the caller's own, which the list must delete through the
// virtual destructor.
struct CountingNode : CNXRDblListNode<Counted> {
    static inline int destroyed = 0;
    using CNXRDblListNode<Counted>::CNXRDblListNode;
    ~CountingNode() override { ++destroyed; }
};

using List = CNXRDblList<Counted>;

// The values from first to last, checking the back links, the last node and
// the count on the way.
std::vector<int> walk(const List& list)
{
    std::vector<int> values;
    const List::Node* prev = nullptr;
    for (const List::Node* p = list.getFirst(); p != nullptr; prev = p, p = p->getNext()) {
        EXPECT_EQ(p->getPrev(), prev);
        values.push_back(p->getData().value);
    }
    EXPECT_EQ(list.getLast(), prev);
    EXPECT_EQ(list.getCount(), values.size());
    return values;
}

} // namespace

TEST(DblList, KeepsLinksAndDeletesEveryNodeOnce)
{
    Counted::live = CountingNode::destroyed = 0;
    {
        List list;
        EXPECT_FALSE(list.addNode(nullptr));
        Counted first(1);
        ASSERT_TRUE(list.add(first, 1));
        first.value = 0; // the node holds its own copy
        for (int i = 2; i <= 5; ++i)
            ASSERT_TRUE(list.addNode(new CountingNode(Counted(i), uint32_t(i))));
        ASSERT_TRUE(list.add(Counted(6), 6)); // plain and derived nodes mix
        EXPECT_EQ(walk(list), (std::vector<int>{1, 2, 3, 4, 5, 6}));

        EXPECT_TRUE(list.removeNode(list.getFirst()->getNext())); // middle
        EXPECT_TRUE(list.removeNode(list.getLast()));
        EXPECT_TRUE(list.removeNode(list.getFirst())); // also the cursor, which moves to the new first
        EXPECT_EQ(walk(list), (std::vector<int>{3, 4, 5}));
        EXPECT_EQ(list.getTempCursor(), list.getFirst());
        EXPECT_EQ(CountingNode::destroyed, 1);
        List other;
        ASSERT_TRUE(other.add(Counted(8), 0));
        EXPECT_FALSE(list.removeNode(other.getFirst())); // not a node of this list
    } // both lists still hold nodes
    EXPECT_EQ(CountingNode::destroyed, 4);
    EXPECT_EQ(Counted::live, 0);

    List list;
    ASSERT_TRUE(list.addNode(new CountingNode(Counted(2), 0)));
    ASSERT_TRUE(list.add(Counted(3), 1));
    EXPECT_TRUE(list.flush());
    EXPECT_EQ(walk(list), std::vector<int>{});
    EXPECT_EQ(list.getTempCursor(), nullptr);
    EXPECT_EQ(CountingNode::destroyed, 5);
    EXPECT_EQ(Counted::live, 0);
}

