#pragma once
// A total time limit per console connection. The HTTP library's read time-out only bounds the
// wait for the next byte, and it reads any number of header lines, so a client that sends a byte
// a second would keep its worker as long as it likes. The library offers no hook on accepted
// connections; CConnectionDeadlines therefore looks at the process's open sockets a few times a
// second, notes when each connection to the console's port first appeared, and shuts down one
// that is older than the limit: the worker's next read or write then fails and the library
// closes the connection. A socket is known by its inode, and it is shut down through a duplicate
// descriptor checked against that inode, so a descriptor number that was closed and reused for
// another connection in the meantime is never touched.
// Thread safety: a watchdog thread of its own; Cut from any thread.

#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>

#include "platform/mutex.h"

class CConnectionDeadlines {
public:
    // Watches the connections accepted on local port `port` (TCP, either family).
    CConnectionDeadlines(int port, std::chrono::milliseconds limit);
    ~CConnectionDeadlines();  // stops the watchdog
    CConnectionDeadlines(const CConnectionDeadlines&) = delete;
    CConnectionDeadlines& operator=(const CConnectionDeadlines&) = delete;

    size_t Cut();  // connections shut down at their limit so far

private:
    void Run();
    // One look at the open sockets: notes new connections, shuts down expired ones.
    void Scan(std::chrono::steady_clock::time_point now);

    const int m_port;
    const std::chrono::milliseconds m_limit;
    struct CSeen {
        std::chrono::steady_clock::time_point since;  // first seen
        bool cut;                                     // shut down at its limit
    };
    std::map<unsigned long, CSeen> m_seen;  // open connections by inode; the watchdog's only
    CMutex m_mutex;
    std::condition_variable m_wake;  // stopping
    size_t m_cut GUARDED_BY(m_mutex) = 0;
    bool m_stop GUARDED_BY(m_mutex) = false;
    std::thread m_thread;  // last: it starts once the members above exist
};
