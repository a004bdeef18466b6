// The instance folder's pid file (see pidfile.h).
#include "host/pidfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/syserror.h"

namespace {
constexpr const char* kProgram = "vk9000";
}

CPidFile::~CPidFile() {
    Release();
}

bool CPidFile::Acquire(const std::string& folder, std::string& error) {
    const std::string path = PlatJoinPath(folder, std::string(kProgram) + ".pid");
    const std::string text = std::to_string(getpid()) + "\n";
    // O_EXCL makes two starting daemons race for the file; the loser finds the winner live.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            const int code = errno;
            close(fd);
            if (!ok) {
                unlink(path.c_str());
                error = "cannot write " + path + ": " + PlatSystemErrorText(code);
                return false;
            }
            m_path = path;
            return true;
        }
        if (errno != EEXIST) {
            error = "cannot create " + path + ": " + PlatSystemErrorText(errno);
            return false;
        }
        const int pid = PlatReadPidFile(path);
        if (pid > 0 && pid != getpid() && PlatIsProgramRunning(pid, kProgram)) {
            error = "another vk9000 (pid " + std::to_string(pid) + ") serves " + folder;
            return false;
        }
        if (pid < 0 && attempt == 0) {
            // Possibly a daemon between creating and writing its file: give it a moment.
            usleep(200 * 1000);
            continue;
        }
        unlink(path.c_str());  // stale
    }
    error = "cannot take " + path + " (it keeps reappearing)";
    return false;
}

void CPidFile::Release() {
    if (m_path.empty())
        return;
    if (PlatReadPidFile(m_path) == getpid())
        unlink(m_path.c_str());
    m_path.clear();
}
