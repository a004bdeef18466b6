#pragma once
// Running programs known by pid files: reading a pid file and telling whether the process it names
// is a live instance of a given program (a stale file, a reused pid or a zombie is not).
// Thread safety: any thread.

#include <string>
#include <vector>

// The pid written in `path` (decimal, optional trailing newline), or -1 when the file is missing,
// unreadable or does not hold a positive number.
int PlatReadPidFile(const std::string& path);

// True when `pid` is a live process whose program name is `program` (the file name of its
// executable, e.g. "vk9000").
bool PlatIsProgramRunning(int pid, const std::string& program);

// Holds `path` as this process's pid file: creates it if missing, takes an exclusive advisory
// lock (flock) on it without waiting, and writes this process's pid into it. The lock lasts until
// PlatReleasePidFile or the process's end, so the file's text alone never decides: a file copied
// from a served folder, or left by a killed process, names nobody who holds it.
// Returns a handle (>= 0), or -1 with errorCode: EWOULDBLOCK when another process holds the
// lock (`heldByPid` then names it, or is 0 while the holder has not written its pid yet), any
// other system error when the file cannot be opened or written.
int PlatHoldPidFile(const std::string& path, int& heldByPid, int& errorCode);
// Removes the file and drops the lock of a handle from PlatHoldPidFile (-1 is ignored).
void PlatReleasePidFile(int handle, const std::string& path);

// The pid of the process that holds `path` as its pid file (PlatHoldPidFile), or -1 when nobody
// holds it: a missing file, a stale one or one copied from a served folder names nobody. The
// probe takes a shared lock for a moment; PlatHoldPidFile retries briefly, so a holder that
// starts meanwhile still wins.
int PlatPidFileHolder(const std::string& path);

// Runs `argv` (argv[0] found on PATH when it has no '/') with this process's environment plus the
// "NAME=value" entries of `extraEnv`, its standard output and error appended to `outputFile`
// ("" keeps this process's), and waits for it. Returns its exit code, or -1 with `error` when it
// could not start or was killed by a signal.
int PlatRunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                   const std::string& outputFile, std::string& error);
