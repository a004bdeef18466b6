#pragma once
// Texts of system (errno / socket) error numbers for log lines and exception messages.
// Thread safety: any thread.

#include <string>

// The system's description of error `code`, e.g. "Address already in use"; never empty.
std::string PlatSystemErrorText(int code);

// The calling thread's last system error number (errno).
int PlatLastError();
