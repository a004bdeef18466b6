#pragma once
// Signals of the daemon: SIGINT and SIGTERM (stop) and SIGHUP (reload) are blocked in every thread (block them before the
// first thread starts, so threads inherit the mask) and taken synchronously by the main thread with
// sigwait, so no handler runs inside a library call and nothing polls.
// Thread safety: BlockStopSignals on the main thread before any other thread exists;
// WaitStopSignal on the main thread.

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and ignores SIGPIPE. False on failure.
bool BlockStopSignals();

// Waits without time limit for SIGINT, SIGTERM or SIGHUP and returns the signal number.
int WaitStopSignal();
