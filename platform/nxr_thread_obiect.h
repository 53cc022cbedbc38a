// CNXRThreadObject: the base of a worker whose body (thread) runs either on a
// thread of its own or inline on the caller's thread.
//
// The object owns four automatic-reset events: the body sets m_hStartEvent
// first thing and m_hFinishEvent last thing, may watch m_hStopEvent, and
// stores its outcome in m_dwExitCode (0 for success); m_hCompleteEvent is set
// once the body has returned on its own thread. Every wait serves the waiting
// thread's message queue while it waits.
//
// Only the constructors (default and named) throw, with
// CNXRThreadObjectInitException; every other operation reports failure in
// the log and through its result.
#pragma once
#include "nxr_logging.h"
#include "nxr_os_thread.h"
#include "nxr_wchar_string.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace nxr {

// The thread procedure: runs the body of the object pParam points to, then
// releases the thread handle and signals completion.
uint32_t threadStarter(void* pParam);

class CNXRThreadObject {
public:
    // Named "Unknown thread", not self-deleting.
    CNXRThreadObject();
    // An empty name becomes "Unknown Thread".
    CNXRThreadObject(const CNXRWCharString& strName, bool bDeleteOnExit);
    // Copies take the name and the self-delete flag, and have events of their
    // own, no thread, exit code 0 and are not running.
    CNXRThreadObject(const CNXRThreadObject& src);
    CNXRThreadObject& operator=(const CNXRThreadObject& src);
    // Stops a thread still marked running, then closes the events.
    virtual ~CNXRThreadObject();

    // The body.
    virtual void thread() = 0;

    // Resets the four events and starts a thread for the body unless a
    // thread handle is still held. Never throws.
    bool startThread();
    // startThread, then waitForEntry if it succeeded; returns startThread's result.
    bool startAndWaitForEntry();
    // Runs the body to its end, on a new thread or inline, and returns its
    // exit code; 0xFFFFFFFF when no thread could be started or an exception
    // ended the run. The object is idle afterwards.
    uint32_t startAndWaitForFinish(bool bUseThread);
    // Waits until the body has set m_hStartEvent (each set releases one wait).
    void waitForEntry();
    // Waits until the body's thread has completed; returns m_dwExitCode.
    uint32_t waitForFinish();
    // Asks a running thread to stop and waits for its completion. Always true.
    bool stopThread();
    // Sets m_hCompleteEvent.
    bool setComplete();
    // Closes and clears the thread handle.
    bool cleanThread();
    // Destroys this object (allocated with new).
    void deleteThis();

    // Waits until one of the handles is signalled, serving the calling
    // thread's messages meanwhile; returns the handle's index. A wait the
    // platform refuses (a handle that is not open) throws std::system_error.
    static uint32_t waitForEvents(uint32_t ulCount, const os::Handle* pHandles);

    friend uint32_t threadStarter(void* pParam);

protected:
    // The name as text, for messages.
    std::u16string_view nameView() const;

    CNXRWCharString m_strThreadName;
    uint32_t m_dwThreadId = 0;
    // Read by the owner while the worker may clear it, hence atomic.
    std::atomic<os::Handle> m_hThread{nullptr};
    uint32_t m_dwExitCode = 0;
    bool m_bRunning = false;
    os::Handle m_hFinishEvent = nullptr;
    os::Handle m_hStopEvent = nullptr;
    os::Handle m_hStartEvent = nullptr;
    os::Handle m_hCompleteEvent = nullptr;
    bool m_bDeleteOnExit = false;

private:
    // The constructors' work under their trace: the name, the flag and the
    // events; a failure throws CNXRThreadObjectInitException.
    void initialize(CFunctionTrace& trace, const CNXRWCharString& strName, bool bDeleteOnExit);
    // Creates the four events; throws CCreateEventException naming the one
    // that failed (the ones made before it stay for releaseEvents).
    void createEvents();
    // Closes the events in order; a failure throws CCloseHandleWarning naming
    // the event and ends the sequence.
    void closeEvents();
    // Closes whatever events are held, quietly, and clears the fields.
    void releaseEvents() noexcept;

    // Held by startThread while it creates the thread and stores its handle;
    // the new thread passes it before running the body, so the worker never
    // releases a handle before the owner has stored it.
    std::mutex m_startGate;
};

} // namespace nxr
