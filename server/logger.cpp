// CLogger: one line per call, appended with O_APPEND under a lock (see logger.h).
#include "logger.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "platform/file.h"
#include "platform/localtime.h"

namespace {
const char* const kLevelNames[] = {"error    ", "warning  ", "info     "};
const char* const kUnknownLevel = "unknown  ";

// printf-style formatting into a string, cut at CLogger::kMaxMessageBytes.
std::string FormatMessage(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
    size_t size = std::min(static_cast<size_t>(n), CLogger::kMaxMessageBytes);
    std::string text(size, '\0');
    std::vsnprintf(text.data(), size + 1, format, args);
    return text;
}
}  // namespace

CLogger::CLogger() : m_enabled(true), m_now([] { return std::time(nullptr); }) {}

CLogger::~CLogger() = default;

const char* CLogger::GetLevelName(int level) {
    if (level < 0 || level >= static_cast<int>(sizeof(kLevelNames) / sizeof(kLevelNames[0])))
        return kUnknownLevel;
    return kLevelNames[level];
}

void CLogger::SetFolder(const std::string& folder) {
    CMutexLock lock(m_mutex);
    m_folder = folder;
}

void CLogger::SetTimeSource(std::function<time_t()> now) {
    CMutexLock lock(m_mutex);
    m_now = std::move(now);
}

void CLogger::Write(int level, const char* format, ...) {
    if (!m_enabled.load()) return;
    try {
        va_list args;
        va_start(args, format);
        std::string message = FormatMessage(format, args);
        va_end(args);

        CMutexLock lock(m_mutex);
        time_t now = m_now ? m_now() : std::time(nullptr);  // one reading for name and stamp
        std::string day = PlatFormatLocalTime("%Y%m%d", now);
        if (day.empty()) return;
        std::string line = PlatFormatLocalTime("%Y-%m-%d [%H:%M:%S]", now);
        line += '\t';
        line += GetLevelName(level);
        line += '\t';
        line += message;
        line += "\r\n";
        PlatAppendFile(m_folder + day + ".log", line.data(), line.size());
    } catch (...) {
        // a lost line is better than an exception in a worker's error path
    }
}
