// Finding and closing the running programs of the product family by the locks on their pid files.
#include <signal.h>
#include <time.h>

#include "platform/file.h"
#include "platform/process.h"
#include "setup/deploykit/deploykit.h"

namespace {

constexpr int kCloseWaitMs = 10000;
constexpr int kPollMs = 100;

void SleepMs(int ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
}

// A program runs when it holds the lock of its pid file: the number a copied or stale file names
// may be another folder's program or nobody's.
int DetectOrClose(const char* program, int detectOnly, const std::string& folder) {
    const int pid = PlatPidFileHolder(ProgramPidFile(folder, program));
    const bool running = PlatIsProgramRunning(pid, program);
    if (detectOnly)
        return running ? 1 : 0;
    if (!running)
        return 0;
    kill(pid, SIGTERM);
    for (int waited = 0; waited < kCloseWaitMs; waited += kPollMs) {
        if (!PlatIsProgramRunning(pid, program))
            return 0;
        SleepMs(kPollMs);
    }
    return PlatIsProgramRunning(pid, program) ? -1 : 0;
}

}  // namespace

std::string ProgramPidFile(const std::string& folder, const std::string& program) {
    return PlatJoinPath(folder, program + ".pid");
}

int CloseAp9000Exe(int detectOnly, const std::string& folder, int) {
    return DetectOrClose("ap9000", detectOnly, folder);
}

int CloseVk9000Exe(int detectOnly, const std::string& folder, int) {
    return DetectOrClose("vk9000", detectOnly, folder);
}

int CloseCore9Exe(int detectOnly, const std::string& folder, int) {
    return DetectOrClose("core9", detectOnly, folder);
}
