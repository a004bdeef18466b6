#pragma once
// CThreadBase: base of every worker thread (listener, session manager, sessions). An object owns
// at most one thread whose body is the virtual Run(), plus a stop flag and a stop event through
// which a controlling thread asks it to end.
// Thread safety: Create, StopThread, Suspend and Resume are for one controlling thread at a time
// (never the object's own thread for a waiting StopThread); Run and the wait helpers run on the
// object's own thread. m_cs is free for subclasses; the base never takes it.
//
// Subclasses whose Run touches their own members must call StopThread(INFINITE) in their own
// destructor: by the time ~CThreadBase runs, the derived part is already gone.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/critsec.h"
#include "platform/mutex.h"
#include "platform/event.h"

constexpr uint32_t INFINITE = 0xFFFFFFFF;

class CThreadBase {
public:
    CThreadBase();
    CThreadBase(const CThreadBase&) = delete;
    CThreadBase& operator=(const CThreadBase&) = delete;

    // Stops and joins the thread (StopThread(INFINITE)).
    virtual ~CThreadBase();

    // Starts the thread running Run(). With `suspended` true, Run() begins only after Resume()
    // (a thread stopped before that never runs it). `security` is ignored. A thread that already
    // ended on its own is joined first; a live one makes it throw. Throws extended_exception
    // (system error, "Failed to create thread") when no thread can be started; the object stays idle.
    virtual void Create(bool suspended = false, void* security = nullptr);

    // Sets the stop flag, signals the stop event and waits up to timeoutMs (INFINITE: until Run
    // returns), then joins and resets the flag and event so the object can be started again.
    // Idle object: no-op. On a finite time-out the thread cannot be killed safely, so the object
    // stays in the stopping state (IsRunning() true, flag set); a later StopThread or the
    // destructor finishes the join. Called on the object's own thread it only requests the stop
    // and returns at once instead of waiting for itself.
    virtual void StopThread(uint32_t timeoutMs);

    // Cooperative suspension: Suspend raises a count that the thread honours at its next
    // WaitStopOrTimeout/WaitWhileSuspended (POSIX has no safe way to freeze a thread at an
    // arbitrary point). Both return the previous count; without a thread they do nothing and
    // return 0. Resume at count 0 stays at 0. A stop request overrides suspension.
    virtual uint32_t Suspend();
    virtual uint32_t Resume();

    // The thread body; its result is the exit code. Exceptions escaping it are caught by the base
    // (exit code 0xFFFFFFFF) rather than ending the process.
    virtual uint32_t Run() = 0;

    // True from Create until a StopThread completes (also after Run returned on its own).
    bool IsRunning() const { return m_hThread != nullptr; }
    // Exit code of the last Run that returned; 0 before any.
    uint32_t GetExitCode() const { return m_exitCode.load(); }

    // --- for the object's own thread (Run and its helpers) ---
    // The run-loop step: waits up to `ms` for the stop event, then holds while suspended.
    // True when a stop has been requested (leave the loop), false when it is time for a unit of work.
    bool WaitStopOrTimeout(uint32_t ms);
    // Blocks while the suspend count is above zero and no stop is requested.
    void WaitWhileSuspended();
    bool IsStopRequested() const { return m_bStop.load(); }

    CCriticalSection m_cs;            // for subclasses; never taken by the base
    std::atomic<bool> m_bStop;        // stop request: set by the controller, read by the thread
    CAutoResetEvent m_evStop;         // wakes the thread on a stop request; waitable with a socket
    std::unique_ptr<std::thread> m_hThread;  // null while no thread exists; controller only

private:
    static void ThreadProc(CThreadBase* self);

    CMutex m_stateMutex;
    std::condition_variable m_stateCv;  // signalled on Resume, stop and the end of Run
    uint32_t m_suspendCount GUARDED_BY(m_stateMutex) = 0;
    bool m_finished GUARDED_BY(m_stateMutex) = false;  // Run has returned (or was skipped)
    std::atomic<uint32_t> m_exitCode{0};
};
