#pragma once
// Installer helpers the setup program calls: probing a listening port and finding or closing the
// running programs of the product family. A program that runs is known by the pid file it keeps
// in the folder it serves ("vk9000.pid", "ap9000.pid", "core9.pid").
// Thread safety: none needed; called from the setup program's one thread.

#include <string>

// Probes `port` on this machine: first a connection to 127.0.0.1, then a bind of the port.
// 1 when a program listens on it (connection accepted, or the bind finds it in use); 0 when it is
// free; -1 when the probe itself failed (for example binding a port below 1024 without root),
// with `errorText` saying why.
int DetectPortListenning(unsigned port, std::string& errorText);

// detectOnly 1: 1 when the program runs for `folder` (its pid file there names a live process
// of that program), else 0.
// detectOnly 0: closes it: SIGTERM, then waits up to 10 seconds for it to exit. 0 when it is not
// running afterwards, -1 when it still runs.
int CloseAp9000Exe(int detectOnly, const std::string& folder, int reserved);
int CloseVk9000Exe(int detectOnly, const std::string& folder, int reserved);
int CloseCore9Exe(int detectOnly, const std::string& folder, int reserved);

// The pid file a program of the family keeps in the folder it serves.
std::string ProgramPidFile(const std::string& folder, const std::string& program);
