#pragma once
// Monotonic millisecond clock and sleeping, for time-outs and idle sweeps.
// Thread safety: any thread.

#include <cstdint>

// Milliseconds since an arbitrary fixed point; never goes backwards (unlike the wall clock).
uint64_t PlatTickCount();

// Blocks the calling thread for at least `ms` milliseconds.
void PlatSleep(unsigned ms);
