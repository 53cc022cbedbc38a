#include "nxr_thread_obiect.h"

#include "nxr_guard.h"
#include "nxr_os_error.h"

#include <span>
#include <system_error>
#include <utility>

namespace nxr {

#define NXR_THREAD_TRACE(method) NXR_TRACE(u"CNXRThreadObject", method)

namespace {

void resetOne(os::Handle hEvent, const char16_t* pszMember)
{
    if (!os::resetEvent(hEvent))
        NXR_THROW_CODE(CResetEventException, os::getLastError(), pszMember);
}

} // namespace

CNXRThreadObject::CNXRThreadObject()
{
    NXR_THREAD_TRACE(u"CNXRThreadObject");
    initialize(nxrTrace, CNXRWCharString(u"Unknown thread"), false);
}

CNXRThreadObject::CNXRThreadObject(const CNXRWCharString& strName, bool bDeleteOnExit)
{
    NXR_THREAD_TRACE(u"CNXRThreadObject");
    initialize(nxrTrace, strName.getLength() != 0 ? strName : CNXRWCharString(u"Unknown Thread"), bDeleteOnExit);
}

void CNXRThreadObject::initialize(CFunctionTrace& trace, const CNXRWCharString& strName, bool bDeleteOnExit)
{
    m_bDeleteOnExit = bDeleteOnExit;
    m_strThreadName = strName;
    const bool bDone = nxrGuard(
        trace, false,
        [&] {
            createEvents();
            return true;
        },
        NxrErrorSource::LastError);
    if (!bDone) {
        const uint32_t ulError = os::getLastError();
        releaseEvents();
        NXR_THROW_CODE(CNXRThreadObjectInitException, ulError, nameView());
    }
}

CNXRThreadObject::CNXRThreadObject(const CNXRThreadObject& src)
{
    NXR_THREAD_TRACE(u"CNXRThreadObject");
    *this = src;
    nxrTrace.setResult(true);
}

CNXRThreadObject& CNXRThreadObject::operator=(const CNXRThreadObject& src)
{
    NXR_THREAD_TRACE(u"operator=");
    if (this == &src) {
        nxrTrace.setResult(true);
        return *this;
    }
    const bool bDone = nxrGuard(
        nxrTrace, false,
        [&] {
            // What this object held is its own: a thread is stopped and
            // released, the events are closed, before the copy gets new ones.
            if (m_bRunning)
                stopThread();
            cleanThread();
            releaseEvents();
            m_dwExitCode = 0;
            m_bRunning = false;
            m_bDeleteOnExit = src.m_bDeleteOnExit;
            m_strThreadName = src.m_strThreadName;
            createEvents();
            return true;
        },
        NxrErrorSource::LastError);
    if (!bDone)
        releaseEvents();
    return *this;
}

CNXRThreadObject::~CNXRThreadObject()
{
    NXR_THREAD_TRACE(u"~CNXRThreadObject");
    nxrGuardDtor(
        [&] {
            if (m_bRunning)
                stopThread();
            closeEvents();
        },
        NxrErrorSource::LastError);
}

std::u16string_view CNXRThreadObject::nameView() const
{
    const CNXRBuffer<NXR_USHORT>& text = m_strThreadName;
    return text.getBuffer() != nullptr ? std::u16string_view(text.getBuffer(), m_strThreadName.getLength())
                                       : std::u16string_view();
}

void CNXRThreadObject::createEvents()
{
    const std::pair<os::Handle*, const char16_t*> events[] = {{&m_hFinishEvent, u"m_hFinishEvent"},
                                                              {&m_hStopEvent, u"m_hStopEvent"},
                                                              {&m_hStartEvent, u"m_hStartEvent"},
                                                              {&m_hCompleteEvent, u"m_hCompleteEvent"}};
    for (const auto& [pEvent, pszMember] : events) {
        *pEvent = os::createEvent();
        if (*pEvent == nullptr)
            NXR_THROW_CODE(CCreateEventException, os::getLastError(), pszMember);
    }
}

void CNXRThreadObject::closeEvents()
{
    const std::pair<os::Handle*, const char16_t*> events[] = {{&m_hFinishEvent, u"m_hFinishEvent"},
                                                              {&m_hStopEvent, u"m_hStopEvent"},
                                                              {&m_hStartEvent, u"m_hStartEvent"},
                                                              {&m_hCompleteEvent, u"m_hCompleteEvent"}};
    for (const auto& [pEvent, pszMember] : events) {
        // A copy whose events could not be made holds none.
        if (*pEvent == nullptr)
            continue;
        if (!os::closeHandle(std::exchange(*pEvent, nullptr)))
            NXR_THROW_CODE(CCloseHandleWarning, os::getLastError(), pszMember);
    }
}

void CNXRThreadObject::releaseEvents() noexcept
{
    for (os::Handle* pEvent : {&m_hFinishEvent, &m_hStopEvent, &m_hStartEvent, &m_hCompleteEvent})
        if (*pEvent != nullptr)
            os::closeHandle(std::exchange(*pEvent, nullptr));
}

bool CNXRThreadObject::startThread()
{
    NXR_THREAD_TRACE(u"startThread");
    return nxrGuard(
        nxrTrace, false,
        [&] {
            resetOne(m_hStopEvent, u"m_hStopEvent");
            resetOne(m_hFinishEvent, u"m_hFinishEvent");
            resetOne(m_hStartEvent, u"m_hStartEvent");
            resetOne(m_hCompleteEvent, u"m_hCompleteEvent");
            if (m_hThread.load() == nullptr) {
                std::lock_guard<std::mutex> gate(m_startGate);
                const os::Handle hThread = os::createThread(
                    [this] {
                        { std::lock_guard<std::mutex> passed(m_startGate); }
                        threadStarter(this);
                    },
                    &m_dwThreadId);
                if (hThread == nullptr)
                    NXR_THROW_CODE(CCreateThreadException, os::getLastError(), nameView());
                m_hThread = hThread;
            }
            m_bRunning = true;
            return true;
        },
        NxrErrorSource::LastError);
}

bool CNXRThreadObject::startAndWaitForEntry()
{
    NXR_THREAD_TRACE(u"startAndWaitForEntry");
    const bool bStarted = startThread();
    if (bStarted)
        waitForEntry();
    return nxrTrace.setResult(bStarted);
}

uint32_t CNXRThreadObject::startAndWaitForFinish(bool bUseThread)
{
    NXR_THREAD_TRACE(u"startAndWaitForFinish");
    uint32_t ulResult = 0xFFFFFFFF;
    nxrGuard(
        nxrTrace, false,
        [&] {
            if (bUseThread) {
                if (startThread())
                    ulResult = waitForFinish();
            } else {
                thread();
                ulResult = m_dwExitCode;
            }
            m_bRunning = false;
            cleanThread();
        },
        NxrErrorSource::LastError);
    return nxrTrace.setReturnCode(ulResult);
}

void CNXRThreadObject::waitForEntry()
{
    NXR_THREAD_TRACE(u"waitForEntry");
    nxrGuard(nxrTrace, false, [&] { waitForEvents(1, &m_hStartEvent); }, NxrErrorSource::LastError);
}

uint32_t CNXRThreadObject::waitForFinish()
{
    NXR_THREAD_TRACE(u"waitForFinish");
    nxrGuard(nxrTrace, false, [&] { waitForEvents(1, &m_hCompleteEvent); }, NxrErrorSource::LastError);
    return nxrTrace.setReturnCode(m_dwExitCode);
}

bool CNXRThreadObject::stopThread()
{
    NXR_THREAD_TRACE(u"stopThread");
    nxrGuard(
        nxrTrace, false,
        [&] {
            if (m_hThread.load() == nullptr || !m_bRunning)
                return;
            if (!os::setEvent(m_hStopEvent))
                NXR_THROW_CODE(CSetEventException, os::getLastError(), u"m_hStopEvent");
            waitForEvents(1, &m_hCompleteEvent);
            m_bRunning = false;
        },
        NxrErrorSource::LastError);
    return nxrTrace.setResult(true);
}

bool CNXRThreadObject::setComplete()
{
    NXR_THREAD_TRACE(u"setComplete");
    // Once the event is set the owner may destroy this object: nothing here
    // touches it afterwards.
    return nxrGuard(
        nxrTrace, false,
        [&] {
            if (!os::setEvent(m_hCompleteEvent))
                NXR_THROW_CODE(CSetEventException, os::getLastError(), u"m_hCompleteEvent");
            return true;
        },
        NxrErrorSource::LastError);
}

bool CNXRThreadObject::cleanThread()
{
    NXR_THREAD_TRACE(u"cleanThread");
    return nxrGuard(
        nxrTrace, false,
        [&] {
            const os::Handle hThread = m_hThread.exchange(nullptr);
            if (hThread != nullptr && !os::closeHandle(hThread))
                NXR_THROW_CODE(CCloseHandleWarning, os::getLastError(), u"m_hThread");
            return true;
        },
        NxrErrorSource::LastError);
}

void CNXRThreadObject::deleteThis()
{
    NXR_THREAD_TRACE(u"deleteThis");
    nxrGuard(nxrTrace, false, [&] { delete this; }, NxrErrorSource::LastError);
}

uint32_t CNXRThreadObject::waitForEvents(uint32_t ulCount, const os::Handle* pHandles)
{
    NXR_THREAD_TRACE(u"waitForEvents");
    // The platform wait serves the thread's messages itself and returns only
    // for a signalled handle or a wait it refuses.
    os::peekAndDispatch();
    const uint32_t ulIndex = os::waitForMultiple(std::span<const os::Handle>(pHandles, ulCount), os::kInfinite);
    if (ulIndex >= ulCount)
        throw std::system_error(static_cast<int>(os::getLastError()), std::generic_category(), "waitForEvents");
    return nxrTrace.setReturnCode(ulIndex);
}

uint32_t threadStarter(void* pParam)
{
    NXR_TRACE(u"CNXRThreadObject", u"threadStarter ( friend )");
    auto* pThis = static_cast<CNXRThreadObject*>(pParam);
    const bool bDone = nxrGuard(
        nxrTrace, false,
        [&] {
            pThis->thread();
            // The handle is released before completion is signalled, so the
            // owner's later cleanThread finds nothing to close. A self-deleting
            // object is gone afterwards: nothing may touch it.
            pThis->cleanThread();
            if (pThis->m_bDeleteOnExit)
                pThis->deleteThis();
            else
                pThis->setComplete();
        },
        NxrErrorSource::LastError);
    if (!bDone)
        pThis->setComplete();
    return 0;
}

#undef NXR_THREAD_TRACE

} // namespace nxr
