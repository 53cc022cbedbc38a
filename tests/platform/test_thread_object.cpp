// The thread object: bodies run inline and on a thread of their own, waits
// that serve messages, automatic-reset entry signals, failures to create
// threads and events.
#include "nxr_os_thread.h"
#include "nxr_thread_obiect.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>

using namespace nxr;
using nxrtest::countLogLines;
using namespace std::chrono_literals;

namespace {

// A worker whose body the test supplies, with its state opened for checks.
class CProbeThread : public CNXRThreadObject {
public:
    CProbeThread() = default;
    CProbeThread(const char16_t* name) : CNXRThreadObject(CNXRWCharString(name), false) {}

    std::function<void(CProbeThread&)> body;
    void thread() override { body(*this); }

    using CNXRThreadObject::m_bRunning, CNXRThreadObject::m_dwThreadId, CNXRThreadObject::m_hStartEvent,
        CNXRThreadObject::m_hStopEvent, CNXRThreadObject::m_dwExitCode;
    std::u16string name() const { return std::u16string(nameView()); }
    os::Handle threadHandle() const { return m_hThread.load(); }
    std::vector<os::Handle> events() const { return {m_hFinishEvent, m_hStopEvent, m_hStartEvent, m_hCompleteEvent}; }
    void enter() { os::setEvent(m_hStartEvent); }
    void finish() { os::setEvent(m_hFinishEvent); }
};

// A body following the contract: signal entry, do the work, store the exit
// code, signal the end.
std::function<void(CProbeThread&)> contractBody(uint32_t ulExitCode, std::function<void(CProbeThread&)> work = {})
{
    return [=](CProbeThread& self) {
        self.enter();
        if (work)
            work(self);
        self.m_dwExitCode = ulExitCode;
        self.finish();
    };
}

} // namespace

TEST(ThreadObject, RunsInlineOrOnItsOwnThreadAndAgain)
{
    CProbeThread probe(u"Probe");
    EXPECT_TRUE(probe.stopThread()); // never started: returns at once
    std::thread::id ranOn;
    probe.body = contractBody(9, [&](CProbeThread&) { ranOn = std::this_thread::get_id(); });
    for (bool bUseThread : {false, true, true}) {
        SCOPED_TRACE(bUseThread);
        EXPECT_EQ(probe.startAndWaitForFinish(bUseThread), 9u);
        EXPECT_EQ(ranOn == std::this_thread::get_id(), !bUseThread);
        EXPECT_EQ(probe.m_dwThreadId != 0, bUseThread);
        EXPECT_EQ(probe.threadHandle(), nullptr);
        EXPECT_FALSE(probe.m_bRunning);
    }
}

TEST(ThreadObject, PostedMessageIsDispatchedDuringTheWait)
{
    const uint32_t ulOwner = os::currentThreadId();
    const os::Handle hRelease = os::createEvent();
    ASSERT_NE(hRelease, nullptr);
    std::thread::id dispatchedOn;
    CProbeThread probe;
    // The body can only go on once the owner, blocked in its wait, has run
    // the message; a wait that served no messages would time out instead.
    probe.body = contractBody(0, [&](CProbeThread& self) {
        os::postMessage(ulOwner, [&] {
            dispatchedOn = std::this_thread::get_id();
            os::setEvent(hRelease);
        });
        const os::Handle handles[] = {hRelease};
        self.m_dwExitCode = os::waitForMultiple(handles, 30000);
    });
    EXPECT_EQ(probe.startAndWaitForFinish(true), 0u);
    EXPECT_EQ(dispatchedOn, std::this_thread::get_id());
    EXPECT_TRUE(os::closeHandle(hRelease));
}

TEST(ThreadObject, EntrySignalReleasesOneWait)
{
    CProbeThread probe;
    std::atomic<int> entries{0};
    // Runs until asked to stop.
    probe.body = contractBody(0, [&](CProbeThread& self) {
        ++entries;
        const os::Handle handles[] = {self.m_hStopEvent};
        os::waitForMultiple(handles, 30000);
    });
    ASSERT_TRUE(probe.startAndWaitForEntry());
    EXPECT_TRUE(probe.m_bRunning);

    // The entry signal was consumed: a second wait blocks until it comes again.
    auto second = std::async(std::launch::async, [&] { probe.waitForEntry(); });
    EXPECT_EQ(second.wait_for(200ms), std::future_status::timeout);
    os::setEvent(probe.m_hStartEvent);
    EXPECT_EQ(second.wait_for(30s), std::future_status::ready);

    // A thread is still held: starting again creates none.
    const os::Handle hThread = probe.threadHandle();
    ASSERT_NE(hThread, nullptr);
    EXPECT_TRUE(probe.startThread());
    EXPECT_EQ(probe.threadHandle(), hThread);
    EXPECT_TRUE(probe.stopThread());
    EXPECT_FALSE(probe.m_bRunning);
    EXPECT_EQ(entries.load(), 1);
}

TEST(ThreadObject, FailedCreationOfThreadsAndEvents)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_EXCEPTION_BAD);
    CProbeThread probe(u"Probe");
    probe.body = contractBody(5);
    {
        os::CScopedThreadFault fault(os::ThreadOp::CreateThread, EAGAIN);
        EXPECT_EQ(probe.startAndWaitForFinish(true), 0xFFFFFFFFu);
        EXPECT_FALSE(probe.startThread());
    }
    // The object is left idle and can be used again.
    EXPECT_FALSE(probe.m_bRunning);
    EXPECT_EQ(probe.threadHandle(), nullptr);
    EXPECT_EQ(probe.startAndWaitForFinish(true), 5u);
    const std::string thread = "\"Unable to create thread. ( Thread name = Probe )\" <Error: 0x0000000b>";
    EXPECT_EQ(countLogLines(reg.logPath(), {thread}), 2u);

    {
        os::CScopedThreadFault fault(os::ThreadOp::CreateEvent, ENOMEM, 3, 1);
        EXPECT_THROW(CProbeThread(u"Probe"), CNXRThreadObjectInitException);
    }
    EXPECT_EQ(countLogLines(reg.logPath(), {"\"Unable to create event. ( Event name = m_hStartEvent )\""}), 1u);
    EXPECT_EQ(countLogLines(reg.logPath(), {"\"Unable to initialize thread object. ( Thread name = Probe )\""}), 1u);
}

