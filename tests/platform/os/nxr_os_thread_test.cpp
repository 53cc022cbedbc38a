#include "nxr_os_error.h"
#include "nxr_os_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <vector>

using namespace nxr::os;

namespace {

// Bounds every wait that should end by itself, so a fault shows as a failure
// rather than a hang. It is never what makes a correct test pass.
constexpr uint32_t kGenerous = 20000;

uint32_t waitOne(Handle h, uint32_t ulTimeoutMs)
{
    const Handle list[] = {h};
    return waitForMultiple(list, ulTimeoutMs);
}

struct Event {
    Handle h = createEvent();
    ~Event() { closeHandle(h); }
};

} // namespace

TEST(OsEvent, OneSetReleasesExactlyOneOfTwoWaiters)
{
    Event ev;
    ASSERT_NE(ev.h, nullptr);
    std::atomic<uint32_t> results[2] = {0xAAAA, 0xAAAA};
    Handle threads[2];
    for (int i = 0; i < 2; ++i)
        ASSERT_NE(threads[i] = createThread([&, i] { results[i] = waitOne(ev.h, 300); }), nullptr);
    ASSERT_TRUE(setEvent(ev.h));
    for (const Handle t : threads)
        EXPECT_TRUE(waitOne(t, kGenerous) == 0 && closeHandle(t));
    const uint32_t a = results[0], b = results[1];
    EXPECT_TRUE((a == 0 && b == kWaitTimeout) || (a == kWaitTimeout && b == 0)) << a << " " << b;
    EXPECT_EQ(waitOne(ev.h, 0), kWaitTimeout) << "the signal was used up";
}

TEST(OsEvent, WaitReturnsTheFirstSignalledIndexAndConsumesOnlyThat)
{
    Event e0, e1, e2;
    const Handle list[] = {e0.h, e1.h, e2.h};
    EXPECT_EQ(waitForMultiple(list, 0), kWaitTimeout);
    ASSERT_TRUE(setEvent(e2.h) && setEvent(e1.h));
    ASSERT_TRUE(setEvent(e1.h)); // no counting: still one signal
    EXPECT_EQ(waitForMultiple(list, kGenerous), 1u);
    EXPECT_EQ(waitForMultiple(list, kGenerous), 2u);
    EXPECT_EQ(waitForMultiple(list, 0), kWaitTimeout);
    ASSERT_TRUE(setEvent(e0.h) && resetEvent(e0.h));
    EXPECT_EQ(waitForMultiple(list, 0), kWaitTimeout);
}

TEST(OsEvent, ClosedAndForeignHandlesAreRefused)
{
    Handle h = createEvent();
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(closeHandle(h));
    EXPECT_FALSE(closeHandle(h));
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(EBADF));
    EXPECT_FALSE(closeHandle(nullptr));
    EXPECT_FALSE(setEvent(h));
    EXPECT_EQ(waitOne(h, 0), kWaitFailed);
    Handle t = createThread([] {});
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(setEvent(t)) << "a thread handle is no event";
    EXPECT_TRUE(waitOne(t, kGenerous) == 0 && closeHandle(t));
}

TEST(OsThread, RunsBodyOnItsOwnThreadAndSignalsItsEnd)
{
    const uint32_t self = currentThreadId();
    EXPECT_NE(self, 0u);
    std::atomic<uint32_t> seenId{0};
    Event go;
    uint32_t id = 0;
    Handle t = createThread([&] { waitOne(go.h, kGenerous), seenId = currentThreadId(); }, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, self);
    EXPECT_EQ(waitOne(t, 0), kWaitTimeout) << "still waiting for go";
    ASSERT_TRUE(setEvent(go.h));
    EXPECT_EQ(waitOne(t, kGenerous), 0u);
    EXPECT_EQ(waitOne(t, 0), 0u) << "an ended thread stays signalled";
    EXPECT_EQ(seenId, id);
    EXPECT_TRUE(closeHandle(t));
    EXPECT_FALSE(postMessage(id, [] {})) << "the thread is gone";
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(ESRCH));
}

TEST(OsMessages, PostedMessageIsDispatchedDuringAWait)
{
    const uint32_t self = currentThreadId();
    Event ev;
    std::atomic<bool> ranHere{false};
    // The event is set only by the message, so the wait can only end if it
    // dispatches the message on this thread.
    Handle poster = createThread([&] {
        postMessage(self, [&] { ranHere = currentThreadId() == self, setEvent(ev.h); });
    });
    ASSERT_NE(poster, nullptr);
    EXPECT_EQ(waitOne(ev.h, kGenerous), 0u);
    EXPECT_TRUE(ranHere);
    EXPECT_TRUE(waitOne(poster, kGenerous) == 0 && closeHandle(poster));
}

TEST(OsMessages, PeekAndDispatchRunsQueuedMessagesInOrder)
{
    EXPECT_EQ(peekAndDispatch(), 0u);
    const uint32_t self = currentThreadId();
    std::vector<int> order;
    ASSERT_TRUE(postMessage(self, [&] { order.push_back(1), postMessage(self, [&] { order.push_back(3); }); }));
    ASSERT_TRUE(postMessage(self, [&] { order.push_back(2); }));
    EXPECT_EQ(peekAndDispatch(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// Thread creation and the nth event failing are exercised through the thread
// object; a failed set must signal nothing.
TEST(OsThread, FailedSetSignalsNothing)
{
    Event ev;
    {
        CScopedThreadFault failSet(ThreadOp::SetEvent, EINVAL);
        EXPECT_FALSE(setEvent(ev.h));
    }
    EXPECT_EQ(waitOne(ev.h, 0), kWaitTimeout);
}
