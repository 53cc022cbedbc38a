// Threads, automatic-reset events, per-thread message queues and a wait that
// keeps serving the waiting thread's messages.
//
// Events and threads are named by handles: opaque values, null meaning none,
// never reused within a process. A closed or unknown handle makes every call
// fail with EBADF in the last-error value, closing twice included.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "nxr_os_fault.h"

namespace nxr::os {

using Handle = void*;

inline constexpr uint32_t kInfinite = 0xFFFFFFFF;     // timeout: wait for ever
inline constexpr uint32_t kWaitTimeout = 0x102;       // waitForMultiple: nothing was signalled in time
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;   // waitForMultiple: bad arguments
inline constexpr size_t kMaximumWaitObjects = 64;

// An automatic-reset event, not signalled. Null on failure.
Handle createEvent();
// Signals the event: exactly one wait, present or future, consumes the signal.
bool setEvent(Handle hEvent);
bool resetEvent(Handle hEvent);

// Releases an event or thread handle. Closing a thread's handle does not stop
// the thread (it may close its own handle while it runs).
bool closeHandle(Handle h);

// Runs body on a new thread, at once. The handle becomes signalled, and stays
// so, once body has returned. The new thread's identifier goes to
// *pulThreadId when given; it can receive messages from the moment this
// returns. Null on failure. An exception leaving body ends the process.
Handle createThread(std::function<void()> body, uint32_t* pulThreadId = nullptr);

// The calling thread's identifier, never 0.
uint32_t currentThreadId();

// Gives up the rest of the time slice.
void yieldThread();

// Queues message to run on the thread ulThreadId, the next time that thread
// dispatches its messages (peekAndDispatch or waitForMultiple). Fails with
// ESRCH for a thread that does not exist (or has ended).
bool postMessage(uint32_t ulThreadId, std::function<void()> message);

// Runs the calling thread's queued messages, oldest first, until the queue is
// empty (messages they post to this thread included). Returns how many ran.
// An exception from a message propagates; the messages after it stay queued.
size_t peekAndDispatch();

// Waits until one of the handles is signalled and returns the index of the
// first signalled one in the list, consuming the signal when it is an event.
// While waiting, the calling thread's messages are dispatched as they arrive.
// Returns kWaitTimeout when ulTimeoutMs (kInfinite: no limit) passes first,
// kWaitFailed (last error EBADF or EINVAL) for an unknown handle, an empty
// list or more than kMaximumWaitObjects handles.
uint32_t waitForMultiple(std::span<const Handle> handles, uint32_t ulTimeoutMs);

// Test seam: make chosen calls of one operation fail (see CFaultPoint::arm).
enum class ThreadOp { CreateThread, CreateEvent, SetEvent, ResetEvent };
void setThreadFaultForTesting(ThreadOp op, int iErrno, uint32_t ulFirst = 1, uint32_t ulCount = kFaultAlways) noexcept;

class CScopedThreadFault {
public:
    CScopedThreadFault(ThreadOp op, int iErrno, uint32_t ulFirst = 1, uint32_t ulCount = kFaultAlways) noexcept
        : m_op(op)
    {
        setThreadFaultForTesting(op, iErrno, ulFirst, ulCount);
    }
    ~CScopedThreadFault() { setThreadFaultForTesting(m_op, 0); }
    CScopedThreadFault(const CScopedThreadFault&) = delete;
    CScopedThreadFault& operator=(const CScopedThreadFault&) = delete;

private:
    ThreadOp m_op;
};

} // namespace nxr::os
