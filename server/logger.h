#pragma once
// CLogger: the daily log. Each Write appends one line "YYYY-MM-DD [hh:mm:ss]<TAB>level<TAB>message
// CR LF" to m_folder + "YYYYMMDD.log" (local date), opening and closing the file per line so the
// files can be moved or deleted while the server runs. Bytes are written as given (ANSI code page).
// Thread safety: Write and GetLevelName from any thread. m_enabled may be switched at any time;
// m_folder is set before the worker threads start (use SetFolder to change it later).

#include <atomic>
#include <ctime>
#include <functional>
#include <string>

#include "platform/mutex.h"

class CLogger {
public:
    // Longest message kept; a longer formatted message is cut there so a line stays bounded.
    static constexpr size_t kMaxMessageBytes = 64 * 1024;

    CLogger();
    virtual ~CLogger();

    // Appends one line at `level` (0 error, 1 warning, 2 info) with the printf-style message.
    // Does nothing when disabled; loses the line silently when the file cannot be written.
    // Never throws.
    void Write(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // "error    ", "warning  ", "info     " (9 characters); "unknown  " for any other level.
    const char* GetLevelName(int level);

    // Replaces the folder under the append lock. Any thread.
    void SetFolder(const std::string& folder);

    // Replaces the clock (whole seconds, like time()); for tests of the day change. Set before use.
    void SetTimeSource(std::function<time_t()> now);

    std::atomic<bool> m_enabled;  // true after construction
    std::string m_folder;         // empty or ending with "/"; the file name is appended directly

private:
    CMutex m_mutex;  // serialises appends and guards m_folder changes through SetFolder
    std::function<time_t()> m_now;
};
