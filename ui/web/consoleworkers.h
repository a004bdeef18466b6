#pragma once
// CConsoleWorkers: the console's connection workers. The HTTP library gives every accepted
// connection to one worker for its whole life, so a few clients that open a connection and then
// stall would hold a small fixed pool and keep the operator's requests waiting. This pool starts
// a thread whenever none is idle, up to kMaxThreads; at the cap, further connections wait in a
// queue of at most kMaxQueued, and beyond that accepting pauses until a worker is free (the
// kernel's backlog holds the rest), so memory stays bounded under a flood. Started threads wait
// for further connections until the server stops.
// Thread safety: any thread (one mutex).

#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include <httplib.h>

#include "platform/mutex.h"

// The library listens with a backlog of 5: further connections that arrive before the accepting
// thread runs are dropped, and their clients try again only a second later. Raises the backlog
// of `server`'s bound socket to `backlog`; false when the system refused.
bool WidenListenBacklog(httplib::Server& server, int backlog);

class CConsoleWorkers : public httplib::TaskQueue {
public:
    static constexpr size_t kMaxThreads = 96;
    static constexpr size_t kMaxQueued = 256;

    CConsoleWorkers() = default;
    ~CConsoleWorkers() override;

    // Runs `fn` on a worker; blocks while kMaxQueued connections already wait.
    void enqueue(std::function<void()> fn) override;
    // Runs what is queued, then ends every thread (the server calls it when it stops).
    void shutdown() override;

    size_t Threads();  // threads started so far

private:
    void Work();

    CMutex m_mutex;
    std::condition_variable m_ready;  // work queued, or shutting down
    std::condition_variable m_room;   // the queue has room again
    std::deque<std::function<void()>> m_queue GUARDED_BY(m_mutex);
    std::vector<std::thread> m_threads GUARDED_BY(m_mutex);
    size_t m_idle GUARDED_BY(m_mutex) = 0;
    bool m_shutdown GUARDED_BY(m_mutex) = false;
};
