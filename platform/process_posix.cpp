// Pid files and live-process checks over /proc (see process.h).
#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstdlib>

#include "platform/file.h"

int PlatReadPidFile(const std::string& path) {
    std::string text;
    if (PlatReadFile(path, text, 64) != 0)
        return -1;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const long pid = std::strtol(text.c_str(), nullptr, 10);
    return pid > 0 && pid <= INT_MAX ? static_cast<int>(pid) : -1;
}

bool PlatIsProgramRunning(int pid, const std::string& program) {
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM))
        return false;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string stat;
    if (PlatReadFile(proc + "/stat", stat, 4096) == 0) {
        // "pid (comm) S ...": the state follows the last ')'. A zombie has exited.
        const size_t close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z')
            return false;
    }
    std::string comm;
    if (PlatReadFile(proc + "/comm", comm, 256) != 0)
        return true;  // no /proc to ask: the pid is alive, take it as the program
    while (!comm.empty() && comm.back() == '\n')
        comm.pop_back();
    // The kernel keeps at most 15 characters of the name.
    return comm == program.substr(0, 15);
}

namespace {

// True when the open `fd` is still the file named `path` (not unlinked or replaced since open).
bool IsSameFile(int fd, const std::string& path) {
    struct stat opened {}, named {};
    return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

// Takes the exclusive lock of `fd`, trying again for a moment: PlatPidFileHolder holds a shared
// lock for the time of a probe, which must not pass for a running holder. False with errno.
bool LockBriefly(int fd) {
    for (int attempt = 0;; ++attempt) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK || attempt == 10)
            return false;
        usleep(5000);
    }
}

}  // namespace

int PlatPidFileHolder(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);  // drops the probe's lock
    if (!held)
        return -1;
    // The holder writes its pid right after it takes the lock.
    return PlatReadPidFile(path);
}

int PlatHoldPidFile(const std::string& path, int& heldByPid, int& errorCode) {
    heldByPid = 0;
    errorCode = 0;
    // A holder that is releasing unlinks the file it locked; a lock won on that unlinked file
    // would hold nothing, so the name is opened again until the locked file is the named one.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            errorCode = errno;
            return -1;
        }
        if (!LockBriefly(fd)) {
            const int code = errno;
            close(fd);
            errorCode = code;
            if (code == EWOULDBLOCK)
                heldByPid = std::max(PlatReadPidFile(path), 0);
            return -1;
        }
        if (!IsSameFile(fd, path)) {
            close(fd);
            continue;
        }
        const std::string text = std::to_string(getpid()) + "\n";
        if (ftruncate(fd, 0) != 0 ||
            pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
            errorCode = errno;
            close(fd);
            return -1;
        }
        return fd;
    }
    errorCode = EAGAIN;
    return -1;
}

void PlatReleasePidFile(int handle, const std::string& path) {
    if (handle < 0)
        return;
    if (IsSameFile(handle, path))
        unlink(path.c_str());
    close(handle);
}
