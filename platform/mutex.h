#pragma once
// CMutex: a plain (non-recursive) mutex that clang's thread-safety analysis understands, so that
// members can be GUARDED_BY it and functions can REQUIRE it; CMutexLock, its scoped guard, which
// a condition variable can also wait with. (std::mutex carries no capability attribute in GCC's
// library, so members guarded by one are not checked.)
// Thread safety: any thread; a thread must not lock a CMutex it already holds.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

class CAPABILITY("mutex") CMutex {
public:
    CMutex() = default;
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    void Lock() ACQUIRE() { m_mutex.lock(); }
    void Unlock() RELEASE() { m_mutex.unlock(); }
    bool TryLock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

private:
    friend class CMutexLock;
    std::mutex m_mutex;
};

// Holds a CMutex from construction to destruction. The mutex must outlive the guard.
class SCOPED_CAPABILITY CMutexLock {
public:
    explicit CMutexLock(CMutex& mutex) ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
    ~CMutexLock() RELEASE() = default;
    CMutexLock(const CMutexLock&) = delete;
    CMutexLock& operator=(const CMutexLock&) = delete;

    // Waits on `cv` once (the mutex is released during the wait and held again after it); the
    // caller loops on its condition, read with the mutex held.
    void Wait(std::condition_variable& cv) { cv.wait(m_lock); }
    // As Wait, but not past `deadline`: false when the deadline has passed.
    bool WaitUntil(std::condition_variable& cv, std::chrono::steady_clock::time_point deadline) {
        return cv.wait_until(m_lock, deadline) == std::cv_status::no_timeout;
    }

private:
    std::unique_lock<std::mutex> m_lock;
};
