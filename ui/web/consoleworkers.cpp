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
    std::unique_lock<std::mutex> lock(m_mutex);
    m_room.wait(lock, [this] { return m_queue.size() < kMaxQueued || m_shutdown; });
    m_queue.push_back(std::move(fn));
    if (m_idle < m_queue.size() && m_threads.size() < kMaxThreads && !m_shutdown) {
        ++m_idle;  // counted as idle from its start, so that the next call does not start another
        m_threads.emplace_back([this] { Work(); });
    }
    m_ready.notify_one();
}

void CConsoleWorkers::Work() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_ready.wait(lock, [this] { return !m_queue.empty() || m_shutdown; });
        --m_idle;
        if (m_queue.empty())
            return;  // shutting down, nothing left to run
        std::function<void()> fn = std::move(m_queue.front());
        m_queue.pop_front();
        m_room.notify_one();
        lock.unlock();
        fn();
        lock.lock();
        ++m_idle;
    }
}

void CConsoleWorkers::shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutdown = true;
        threads.swap(m_threads);
    }
    m_ready.notify_all();
    m_room.notify_all();
    for (std::thread& t : threads)
        t.join();
}

size_t CConsoleWorkers::Threads() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads.size();
}
