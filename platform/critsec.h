#pragma once
// CCriticalSection: a recursive mutex in the manner of a Win32 critical section, plus CSingleLock,
// its scoped guard. Both carry clang capability annotations so GUARDED_BY members are checked.
// Thread safety: any thread; the owning thread may lock again and must unlock as often.

#include <mutex>

#include "platform/thread_annotations.h"

class CAPABILITY("mutex") CCriticalSection {
public:
    CCriticalSection() = default;
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() ACQUIRE() { m_mutex.lock(); }
    void Unlock() RELEASE() { m_mutex.unlock(); }
    // True when the lock was taken (also when this thread already held it).
    bool TryLock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

private:
    std::recursive_mutex m_mutex;
};

// Holds a critical section for the lifetime of the guard. The section must outlive the guard.
class SCOPED_CAPABILITY CSingleLock {
public:
    explicit CSingleLock(CCriticalSection& cs) ACQUIRE(cs) : m_cs(cs) { m_cs.Lock(); }
    ~CSingleLock() RELEASE() { m_cs.Unlock(); }
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;

private:
    CCriticalSection& m_cs;
};
