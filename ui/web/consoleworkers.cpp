// CConsoleWorkers: a connection pool that grows while connections wait (see consoleworkers.h).
#include "ui/web/consoleworkers.h"

namespace {

// Reaches the server's listening socket, a protected member, through a pointer to member taken
// in a derived class (which C++ allows).
struct CListenSocketOf : httplib::Server {
    static constexpr auto kMember = &CListenSocketOf::svr_sock_;
};

}  // namespace

bool WidenListenBacklog(httplib::Server& server, int backlog) {
    return ::listen((server.*CListenSocketOf::kMember).load(), backlog) == 0;
}

CConsoleWorkers::~CConsoleWorkers() { shutdown(); }

void CConsoleWorkers::enqueue(std::function<void()> fn) {
    CMutexLock lock(m_mutex);
    while (m_queue.size() >= kMaxQueued && !m_shutdown)
        lock.Wait(m_room);
    m_queue.push_back(std::move(fn));
    if (m_idle < m_queue.size() && m_threads.size() < kMaxThreads && !m_shutdown) {
        ++m_idle;  // counted as idle from its start, so that the next call does not start another
        m_threads.emplace_back([this] { Work(); });
    }
    m_ready.notify_one();
}

void CConsoleWorkers::Work() {
    bool ranOne = false;
    for (;;) {
        std::function<void()> fn;
        {
            CMutexLock lock(m_mutex);
            if (ranOne)
                ++m_idle;
            while (m_queue.empty() && !m_shutdown)
                lock.Wait(m_ready);
            --m_idle;
            if (m_queue.empty())
                return;  // shutting down, nothing left to run
            fn = std::move(m_queue.front());
            m_queue.pop_front();
            m_room.notify_one();
        }
        fn();
        ranOne = true;
    }
}

void CConsoleWorkers::shutdown() {
    std::vector<std::thread> threads;
    {
        CMutexLock lock(m_mutex);
        m_shutdown = true;
        threads.swap(m_threads);
    }
    m_ready.notify_all();
    m_room.notify_all();
    for (std::thread& t : threads)
        t.join();
}

size_t CConsoleWorkers::Threads() {
    CMutexLock lock(m_mutex);
    return m_threads.size();
}
