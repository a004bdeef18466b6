// Blocking and waiting for the daemon's stop signals (see stopsignals.h).
#include "host/stopsignals.h"

#include <csignal>

namespace {

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

bool BlockStopSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t set = StopSet();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

int WaitStopSignal() {
    const sigset_t set = StopSet();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    return sig;
}
