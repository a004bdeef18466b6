// Portable implementation of platform/clock.h on std::chrono.
#include "platform/clock.h"

#include <chrono>
#include <thread>

uint64_t PlatTickCount() {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void PlatSleep(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
