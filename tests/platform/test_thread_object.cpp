// The thread object: bodies run inline (as the key derivation runs them) and
// on a thread of their own, and failures to create threads and events.
#include "nxr_os_thread.h"
#include "nxr_thread_obiect.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <thread>

using namespace nxr;
using nxrtest::countLogLines;

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

