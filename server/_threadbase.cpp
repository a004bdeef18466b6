// CThreadBase on std::thread: cooperative suspension and stop hand-shake (see _threadbase.h).
#include "_threadbase.h"

#include <cerrno>
#include <chrono>
#include <system_error>

#include "berkit/extended_exception.h"

namespace {
// The CThreadBase whose Run this thread executes; lets StopThread notice it is called from it.
thread_local CThreadBase* t_current = nullptr;
}  // namespace

CThreadBase::CThreadBase() : m_bStop(false) { m_evStop.Reset(); }

CThreadBase::~CThreadBase() {
    if (t_current == this) {
        // Destroyed on its own thread: waiting would be waiting for ourselves. Let the thread end
        // on its own; ThreadProc touches nothing of the object after Run returns in this case.
        if (m_hThread) m_hThread->detach();
        t_current = nullptr;
        return;
    }
    StopThread(INFINITE);
}

void CThreadBase::Create(bool suspended, void* /*security*/) {
    if (m_hThread) {
        bool finished;
        {
            CMutexLock lock(m_stateMutex);
            finished = m_finished;
        }
        if (!finished) THROW_EXTENDED(EBUSY, "Failed to create thread");
        StopThread(INFINITE);  // joins the ended thread and resets the stop state
    }
    {
        CMutexLock lock(m_stateMutex);
        m_suspendCount = suspended ? 1 : 0;
        m_finished = false;
    }
    try {
        m_hThread = std::make_unique<std::thread>(&CThreadBase::ThreadProc, this);
    } catch (const std::system_error& e) {
        m_hThread.reset();
        THROW_EXTENDED(e.code().value(), "Failed to create thread");
    }
}

void CThreadBase::ThreadProc(CThreadBase* self) {
    t_current = self;
    bool runIt;
    {
        CMutexLock lock(self->m_stateMutex);
        while (self->m_suspendCount != 0 && !self->m_bStop.load())
            lock.Wait(self->m_stateCv);
        runIt = self->m_suspendCount == 0;  // stopped while still created-suspended: skip Run
    }
    uint32_t code = 0;
    if (runIt) {
        try {
            code = self->Run();
        } catch (...) {
            code = 0xFFFFFFFF;
        }
    }
    if (t_current != self) return;  // the object was destroyed by Run itself (see ~CThreadBase)
    t_current = nullptr;
    self->m_exitCode.store(code);
    CMutexLock lock(self->m_stateMutex);
    self->m_finished = true;
    self->m_stateCv.notify_all();
}

void CThreadBase::StopThread(uint32_t timeoutMs) {
    if (t_current != this && !m_hThread) return;  // own thread first: m_hThread is the controller's
    {
        CMutexLock lock(m_stateMutex);
        m_bStop.store(true);
        m_stateCv.notify_all();  // releases a suspended thread
    }
    m_evStop.Set();
    if (t_current == this) return;  // own thread: request only; the controller joins later

    {
        CMutexLock lock(m_stateMutex);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!m_finished) {
            if (timeoutMs == INFINITE)
                lock.Wait(m_stateCv);
            else if (!lock.WaitUntil(m_stateCv, deadline) && !m_finished)
                return;  // still running: stay in the stopping state rather than kill it
        }
    }
    m_hThread->join();
    m_hThread.reset();
    CMutexLock lock(m_stateMutex);
    m_finished = false;
    m_suspendCount = 0;
    m_bStop.store(false);
    m_evStop.Reset();
}

uint32_t CThreadBase::Suspend() {
    if (!m_hThread) return 0;
    CMutexLock lock(m_stateMutex);
    return m_suspendCount++;
}

uint32_t CThreadBase::Resume() {
    if (!m_hThread) return 0;
    CMutexLock lock(m_stateMutex);
    uint32_t previous = m_suspendCount;
    if (m_suspendCount > 0 && --m_suspendCount == 0) m_stateCv.notify_all();
    return previous;
}

void CThreadBase::WaitWhileSuspended() {
    CMutexLock lock(m_stateMutex);
    while (m_suspendCount != 0 && !m_bStop.load())
        lock.Wait(m_stateCv);
}

bool CThreadBase::WaitStopOrTimeout(uint32_t ms) {
    if (m_bStop.load()) return true;
    bool signalled = m_evStop.Wait(ms);
    WaitWhileSuspended();
    return signalled || m_bStop.load();
}
