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

TEST(Event, OneSetReleasesExactlyOneOfTwoWaiters)
{
    Event ev;
    ASSERT_NE(ev.h, nullptr);
    std::atomic<uint32_t> results[2] = {0xAAAA, 0xAAAA};
    Handle threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = createThread([&, i] { results[i] = waitOne(ev.h, 300); });
        ASSERT_NE(threads[i], nullptr);
    }
    ASSERT_TRUE(setEvent(ev.h));
    for (const Handle t : threads) {
        EXPECT_EQ(waitOne(t, kGenerous), 0u);
        EXPECT_TRUE(closeHandle(t));
    }
    const uint32_t a = results[0], b = results[1];
    EXPECT_TRUE((a == 0 && b == kWaitTimeout) || (a == kWaitTimeout && b == 0)) << a << " " << b;
    EXPECT_EQ(waitOne(ev.h, 0), kWaitTimeout) << "the signal was used up";
}

TEST(Event, WaitReturnsTheFirstSignalledIndexAndConsumesOnlyThat)
{
    Event e0, e1, e2;
    const Handle list[] = {e0.h, e1.h, e2.h};
    EXPECT_EQ(waitForMultiple(list, 0), kWaitTimeout);

    ASSERT_TRUE(setEvent(e2.h));
    EXPECT_EQ(waitForMultiple(list, kGenerous), 2u);

    ASSERT_TRUE(setEvent(e2.h));
    ASSERT_TRUE(setEvent(e1.h));
    ASSERT_TRUE(setEvent(e1.h)); // no counting: still one signal
    EXPECT_EQ(waitForMultiple(list, kGenerous), 1u);
    EXPECT_EQ(waitForMultiple(list, kGenerous), 2u);
    EXPECT_EQ(waitForMultiple(list, 0), kWaitTimeout);

    ASSERT_TRUE(setEvent(e0.h));
    ASSERT_TRUE(resetEvent(e0.h));
    EXPECT_EQ(waitForMultiple(list, 0), kWaitTimeout);
}

TEST(Event, HandlesAreCheckedLikeNativeOnes)
{
    Handle h = createEvent();
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(closeHandle(h));
    setLastError(0);
    EXPECT_FALSE(closeHandle(h));
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(EBADF));
    EXPECT_FALSE(closeHandle(nullptr));
    EXPECT_FALSE(setEvent(h));
    EXPECT_FALSE(resetEvent(h));
    EXPECT_EQ(waitOne(h, 0), kWaitFailed);
    EXPECT_EQ(waitForMultiple({}, 0), kWaitFailed);
    EXPECT_NE(createEvent(), h) << "handle values are not reused";

    // A thread handle is no event.
    Handle t = createThread([] {});
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(setEvent(t));
    EXPECT_EQ(waitOne(t, kGenerous), 0u);
    EXPECT_TRUE(closeHandle(t));
}

TEST(Thread, RunsBodyOnItsOwnThreadAndSignalsItsEnd)
{
    const uint32_t self = currentThreadId();
    EXPECT_NE(self, 0u);
    EXPECT_EQ(currentThreadId(), self);

    std::atomic<uint32_t> seenId{0};
    Event go;
    uint32_t id = 0;
    Handle t = createThread(
        [&] {
            waitOne(go.h, kGenerous);
            seenId = currentThreadId();
        },
        &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, self);
    EXPECT_EQ(waitOne(t, 0), kWaitTimeout) << "still waiting for go";
    ASSERT_TRUE(setEvent(go.h));
    EXPECT_EQ(waitOne(t, kGenerous), 0u);
    EXPECT_EQ(waitOne(t, 0), 0u) << "an ended thread stays signalled";
    EXPECT_EQ(seenId, id);
    EXPECT_TRUE(closeHandle(t));

    setLastError(0);
    EXPECT_FALSE(postMessage(id, [] {})) << "the thread is gone";
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(ESRCH));
}

TEST(Thread, MayCloseItsOwnHandleWhileRunning)
{
    Event handleStored, done;
    std::atomic<Handle> self{nullptr};
    std::atomic<bool> closed{false};
    self = createThread([&] {
        waitOne(handleStored.h, kGenerous);
        closed = closeHandle(self.load());
        setEvent(done.h);
    });
    ASSERT_NE(self.load(), nullptr);
    ASSERT_TRUE(setEvent(handleStored.h));
    EXPECT_EQ(waitOne(done.h, kGenerous), 0u);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(closeHandle(self.load()));
}

TEST(Messages, PostedMessageIsDispatchedDuringAWait)
{
    const uint32_t self = currentThreadId();
    Event ev;
    std::atomic<bool> ranHere{false};
    // The event is set only by the message, so the wait can only end if it
    // dispatches the message on this thread.
    Handle poster = createThread([&] {
        postMessage(self, [&] {
            ranHere = currentThreadId() == self;
            setEvent(ev.h);
        });
    });
    ASSERT_NE(poster, nullptr);
    EXPECT_EQ(waitOne(ev.h, kGenerous), 0u);
    EXPECT_TRUE(ranHere);
    EXPECT_EQ(waitOne(poster, kGenerous), 0u);
    closeHandle(poster);
}

TEST(Messages, PeekAndDispatchRunsQueuedMessagesInOrder)
{
    EXPECT_EQ(peekAndDispatch(), 0u);
    const uint32_t self = currentThreadId();
    std::vector<int> order;
    ASSERT_TRUE(postMessage(self, [&] {
        order.push_back(1);
        postMessage(self, [&] { order.push_back(3); });
    }));
    ASSERT_TRUE(postMessage(self, [&] { order.push_back(2); }));
    EXPECT_EQ(peekAndDispatch(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    // Messages posted to a new thread before it looks at its queue wait there.
    Event ready;
    std::atomic<int> seen{0};
    uint32_t id = 0;
    Handle t = createThread([&] {
        waitOne(ready.h, kGenerous);
        peekAndDispatch();
    }, &id);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(postMessage(id, [&] { seen = 7; }));
    ASSERT_TRUE(setEvent(ready.h));
    EXPECT_EQ(waitOne(t, kGenerous), 0u);
    EXPECT_EQ(seen, 7);
    closeHandle(t);
}

TEST(Thread, FaultSeams)
{
    {
        CScopedThreadFault noThreads(ThreadOp::CreateThread, EAGAIN);
        bool ran = false;
        EXPECT_EQ(createThread([&] { ran = true; }), nullptr);
        EXPECT_EQ(getLastError(), static_cast<uint32_t>(EAGAIN));
        EXPECT_FALSE(ran);
    }
    {
        // The third event of four fails, as an object creating its events
        // in turn would see it.
        CScopedThreadFault third(ThreadOp::CreateEvent, ENOMEM, 3, 1);
        Handle h[4];
        for (auto& x : h)
            x = createEvent();
        EXPECT_NE(h[0], nullptr);
        EXPECT_NE(h[1], nullptr);
        EXPECT_EQ(h[2], nullptr);
        EXPECT_NE(h[3], nullptr);
        for (auto& x : h)
            if (x != nullptr)
                closeHandle(x);
    }
    Event ev;
    {
        CScopedThreadFault failSet(ThreadOp::SetEvent, EINVAL);
        EXPECT_FALSE(setEvent(ev.h));
    }
    EXPECT_EQ(waitOne(ev.h, 0), kWaitTimeout) << "a failed set signals nothing";
}
