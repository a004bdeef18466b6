#pragma once
// Running programs known by pid files: reading a pid file and telling whether the process it names
// is a live instance of a given program (a stale file, a reused pid or a zombie is not).
// Thread safety: any thread.

#include <string>

// The pid written in `path` (decimal, optional trailing newline), or -1 when the file is missing,
// unreadable or does not hold a positive number.
int PlatReadPidFile(const std::string& path);

// True when `pid` is a live process whose program name is `program` (the file name of its
// executable, e.g. "vk9000").
bool PlatIsProgramRunning(int pid, const std::string& program);
