// CAccessLog: the bounded queue and the writer thread of the access log (see accesslog.h).
#include "server/accesslog.h"

#include <cstdio>
#include <vector>

#include "platform/file.h"
#include "platform/localtime.h"

namespace {

// Longest field kept, so that one huge query cannot make a huge line.
constexpr size_t kMaxFieldBytes = 2048;

std::string Field(const std::string& text) {
    std::string out = text.substr(0, kMaxFieldBytes);
    for (char& c : out)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return out.empty() ? "-" : out;
}

}  // namespace

CAccessLog::~CAccessLog() {
    std::thread writer;
    {
        CMutexLock lock(m_lock);
        m_stop = true;
        writer.swap(m_thread);
    }
    m_wake.notify_one();
    if (writer.joinable())
        writer.join();
}

void CAccessLog::SetFolder(const std::string& folder) {
    CMutexLock lock(m_lock);
    m_folder = folder;
}

std::string CAccessLog::FormatLine(const CAccessRecord& r, time_t now) {
    char id[16], ms[32];
    std::snprintf(id, sizeof id, "%08x", r.m_sessionId);
    std::snprintf(ms, sizeof ms, "%.1f", r.m_milliseconds);
    return PlatFormatLocalTime("%Y-%m-%dT%H:%M:%S", now) + "\t" + id + "\t" + Field(r.m_address) + "\t" +
           Field(r.m_user) + "\t" + Field(r.m_operation) + "\t" + Field(r.m_databases) + "\t" + Field(r.m_query) +
           "\t" + (r.m_count < 0 ? std::string("-") : std::to_string(r.m_count)) + "\t" + Field(r.m_status) + "\t" +
           ms + "\n";
}

bool CAccessLog::Write(const CAccessRecord& record, time_t now) {
    std::string text = FormatLine(record, now);
    {
        CMutexLock lock(m_lock);
        if (m_stop || m_queue.size() >= kMaxQueued)
            return false;
        m_queue.push_back(Line{now, std::move(text)});
        if (!m_thread.joinable())
            m_thread = std::thread(&CAccessLog::Run, this);
    }
    m_wake.notify_one();
    return true;
}

void CAccessLog::Run() {
    for (;;) {
        std::deque<Line> batch;
        std::string folder;
        {
            CMutexLock lock(m_lock);
            while (!m_stop && m_queue.empty())
                lock.Wait(m_wake);
            if (m_queue.empty())
                return;  // stopping, and everything is written
            batch.swap(m_queue);
            folder = m_folder;
        }
        AppendBatch(batch, folder);
    }
}

// One append per day file in the batch.
void CAccessLog::AppendBatch(const std::deque<Line>& batch, const std::string& folder) {
    std::string text;
    std::string day;
    for (size_t i = 0; i <= batch.size(); ++i) {
        const std::string lineDay = i < batch.size() ? PlatFormatLocalTime("%Y%m%d", batch[i].when) : "";
        if (!text.empty() && lineDay != day) {
            PlatAppendFile(folder + day + ".access.log", text.data(), text.size());
            text.clear();
        }
        if (i < batch.size()) {
            day = lineDay;
            text += batch[i].text;
        }
    }
}
