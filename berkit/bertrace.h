#pragma once
// Debug trace of the codec: printf-style lines on stderr, off unless the environment variable
// VELKAN_TRACE is "1" when the first trace is requested. Carries no behaviour.
// Thread safety: any thread (each line is written with one call).

// True when tracing is on (checks the environment once).
bool BerTraceEnabled();
// Formats and writes one trace line to stderr when tracing is on.
void BerTrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
