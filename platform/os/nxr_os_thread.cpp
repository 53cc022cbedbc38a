#include "nxr_os_thread.h"

#include "nxr_os_error.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <sched.h>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace nxr::os {

namespace {

// An event, or a thread seen as a waitable object. A thread's object is
// signalled once its body has returned and is never reset.
struct WaitObject {
    enum class Kind { Event, Thread };
    explicit WaitObject(Kind k) : kind(k) {}
    const Kind kind;
    bool signalled = false;
};

using MessageQueue = std::deque<std::function<void()>>;

// Everything lives under one lock, and every change that a wait may be
// waiting for (an event set, a thread ended, a message posted) wakes all
// waiters, who each check their own handles and queue. The process has few
// threads, so the simplicity is worth more than the extra wake-ups.
struct ThreadState {
    std::mutex mutex;
    std::condition_variable changed;
    std::unordered_map<uintptr_t, std::shared_ptr<WaitObject>> handles;
    uintptr_t lastHandle = 0;
    // Queues of the threads that exist, by identifier.
    std::unordered_map<uint32_t, MessageQueue> queues;
    uint32_t lastThreadId = 0;
};

ThreadState& state()
{
    // Never destroyed: threads may still use it while static objects are
    // destroyed at exit.
    static ThreadState* s_state = new ThreadState;
    return *s_state;
}

CFaultPoint& fault(ThreadOp op)
{
    static CFaultPoint s_points[4];
    return s_points[static_cast<int>(op)];
}

bool injected(ThreadOp op)
{
    if (const int err = fault(op).hit()) {
        errno = err;
        setLastErrorFromErrno();
        return true;
    }
    return false;
}

void failWith(int err)
{
    errno = err;
    setLastErrorFromErrno();
}

// Called with the lock held.
Handle addHandle(ThreadState& s, std::shared_ptr<WaitObject> obj)
{
    // Multiples of 4, as the native handles are; never 0, never reused.
    s.lastHandle += 4;
    s.handles.emplace(s.lastHandle, std::move(obj));
    return reinterpret_cast<Handle>(s.lastHandle);
}

// Called with the lock held. Null (last error EBADF) for an unknown handle.
WaitObject* findObject(ThreadState& s, Handle h)
{
    const auto it = s.handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == s.handles.end()) {
        failWith(EBADF);
        return nullptr;
    }
    return it->second.get();
}

WaitObject* findEvent(ThreadState& s, Handle h)
{
    WaitObject* obj = findObject(s, h);
    if (obj != nullptr && obj->kind != WaitObject::Kind::Event) {
        failWith(EBADF);
        return nullptr;
    }
    return obj;
}

// Removes a thread's queue; the messages left in it are destroyed after the
// lock is released, since destroying them may run arbitrary code.
void dropQueue(uint32_t ulThreadId)
{
    ThreadState& s = state();
    MessageQueue orphans;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto it = s.queues.find(ulThreadId);
        if (it == s.queues.end())
            return;
        orphans.swap(it->second);
        s.queues.erase(it);
    }
}

// The calling thread's identifier; the thread's queue exists from the moment
// an identifier is assigned until the thread ends.
struct ThreadIdentity {
    uint32_t id = 0;
    ~ThreadIdentity()
    {
        if (id != 0)
            dropQueue(id);
    }
};

thread_local ThreadIdentity t_identity;

uint32_t newThreadId(ThreadState& s)
{
    do
        ++s.lastThreadId;
    while (s.lastThreadId == 0 || s.queues.count(s.lastThreadId) != 0);
    s.queues[s.lastThreadId];
    return s.lastThreadId;
}

// Takes the oldest message of the calling thread's queue, if any.
std::optional<std::function<void()>> takeMessage(uint32_t ulThreadId)
{
    ThreadState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto& queue = s.queues[ulThreadId];
    if (queue.empty())
        return std::nullopt;
    std::function<void()> message = std::move(queue.front());
    queue.pop_front();
    return message;
}

} // namespace

Handle createEvent()
{
    if (injected(ThreadOp::CreateEvent))
        return nullptr;
    ThreadState& s = state();
    try {
        auto obj = std::make_shared<WaitObject>(WaitObject::Kind::Event);
        std::lock_guard<std::mutex> lock(s.mutex);
        return addHandle(s, std::move(obj));
    } catch (const std::bad_alloc&) {
        failWith(ENOMEM);
        return nullptr;
    }
}

bool setEvent(Handle hEvent)
{
    if (injected(ThreadOp::SetEvent))
        return false;
    ThreadState& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        WaitObject* obj = findEvent(s, hEvent);
        if (obj == nullptr)
            return false;
        obj->signalled = true;
    }
    s.changed.notify_all();
    return true;
}

bool resetEvent(Handle hEvent)
{
    if (injected(ThreadOp::ResetEvent))
        return false;
    ThreadState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    WaitObject* obj = findEvent(s, hEvent);
    if (obj == nullptr)
        return false;
    obj->signalled = false;
    return true;
}

bool closeHandle(Handle h)
{
    ThreadState& s = state();
    std::shared_ptr<WaitObject> released; // destroyed after the lock is released
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto it = s.handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == s.handles.end()) {
        failWith(EBADF);
        return false;
    }
    released = std::move(it->second);
    s.handles.erase(it);
    return true;
}

Handle createThread(std::function<void()> body, uint32_t* pulThreadId)
{
    if (injected(ThreadOp::CreateThread))
        return nullptr;
    ThreadState& s = state();
    std::shared_ptr<WaitObject> obj;
    uint32_t id = 0;
    Handle h = nullptr;
    try {
        obj = std::make_shared<WaitObject>(WaitObject::Kind::Thread);
        std::lock_guard<std::mutex> lock(s.mutex);
        id = newThreadId(s);
        h = addHandle(s, obj);
    } catch (const std::bad_alloc&) {
        failWith(ENOMEM);
        return nullptr;
    }

    try {
        std::thread worker([obj, id, fn = std::move(body)]() mutable {
            t_identity.id = id;
            fn();
            fn = nullptr; // whatever the body captured goes before the thread counts as ended
            dropQueue(id);
            t_identity.id = 0;
            ThreadState& st = state();
            {
                std::lock_guard<std::mutex> lock(st.mutex);
                obj->signalled = true;
            }
            st.changed.notify_all();
        });
        // The handle, not a std::thread, stands for the thread from now on;
        // closing it must not wait for the thread.
        worker.detach();
    } catch (const std::system_error& e) {
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.handles.erase(reinterpret_cast<uintptr_t>(h));
        }
        dropQueue(id);
        failWith(e.code().value() != 0 ? e.code().value() : EAGAIN);
        return nullptr;
    }
    if (pulThreadId != nullptr)
        *pulThreadId = id;
    return h;
}

uint32_t currentThreadId()
{
    if (t_identity.id == 0) {
        ThreadState& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        t_identity.id = newThreadId(s);
    }
    return t_identity.id;
}

void yieldThread() { ::sched_yield(); }

bool postMessage(uint32_t ulThreadId, std::function<void()> message)
{
    ThreadState& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto it = s.queues.find(ulThreadId);
        if (it == s.queues.end()) {
            failWith(ESRCH);
            return false;
        }
        it->second.push_back(std::move(message));
    }
    s.changed.notify_all();
    return true;
}

size_t peekAndDispatch()
{
    const uint32_t self = currentThreadId();
    size_t count = 0;
    while (auto message = takeMessage(self)) {
        ++count;
        (*message)();
    }
    return count;
}

uint32_t waitForMultiple(std::span<const Handle> handles, uint32_t ulTimeoutMs)
{
    if (handles.empty() || handles.size() > kMaximumWaitObjects) {
        failWith(EINVAL);
        return kWaitFailed;
    }
    const uint32_t self = currentThreadId();
    ThreadState& s = state();

    // The objects are held for the whole wait, so one closed meanwhile is
    // still waited on, as with the native handles.
    std::vector<std::shared_ptr<WaitObject>> objects;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (const Handle h : handles) {
            const auto it = s.handles.find(reinterpret_cast<uintptr_t>(h));
            if (it == s.handles.end()) {
                failWith(EBADF);
                return kWaitFailed;
            }
            objects.push_back(it->second);
        }
    }

    using Clock = std::chrono::steady_clock;
    const bool bTimed = ulTimeoutMs != kInfinite;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(bTimed ? ulTimeoutMs : 0);
    for (;;) {
        peekAndDispatch();

        std::unique_lock<std::mutex> lock(s.mutex);
        for (size_t i = 0; i < objects.size(); ++i) {
            if (objects[i]->signalled) {
                if (objects[i]->kind == WaitObject::Kind::Event)
                    objects[i]->signalled = false;
                return static_cast<uint32_t>(i);
            }
        }
        if (!s.queues[self].empty())
            continue; // a message arrived: dispatch it, then look again
        if (bTimed) {
            if (Clock::now() >= deadline)
                return kWaitTimeout;
            s.changed.wait_until(lock, deadline);
        } else {
            s.changed.wait(lock);
        }
    }
}

void setThreadFaultForTesting(ThreadOp op, int iErrno, uint32_t ulFirst, uint32_t ulCount) noexcept
{
    fault(op).arm(iErrno, ulFirst, ulCount);
}

} // namespace nxr::os
