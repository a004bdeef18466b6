// Pid files and live-process checks over /proc (see process.h).
#include "platform/process.h"

#include <signal.h>

#include <cerrno>
#include <climits>
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
