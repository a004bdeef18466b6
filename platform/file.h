#pragma once
// Whole-file and folder operations used by configuration, logs, packet files and result sets.
// Paths use "/" as the separator. Functions return 0 on success and -1 on failure unless noted;
// the failing system error stays in PlatLastError().
// Thread safety: any thread (no shared state; concurrent writers of one file are the caller's
// business, except that PlatAppendFile appends each call whole).

#include <cstddef>
#include <string>
#include <vector>

// Reads the whole file into `data`. Fails (EFBIG) when it holds more than maxBytes bytes, so
// an untrusted file never makes an unbounded allocation.
int PlatReadFile(const std::string& path, std::string& data, size_t maxBytes);

// Replaces the file's content atomically: writes a temporary file in the same folder, flushes it
// and renames it over `path`. Readers see the old or the new content, never a mix.
int PlatWriteFileAtomic(const std::string& path, const void* data, size_t length);

// Appends the bytes at the end of the file (created if missing) with one O_APPEND write, so that
// appends of several threads or processes never overwrite each other.
int PlatAppendFile(const std::string& path, const void* data, size_t length);

bool PlatFileExists(const std::string& path);  // any kind of entry
bool PlatIsDirectory(const std::string& path);
int PlatDeleteFile(const std::string& path);
// Creates the folder and its missing parents; succeeds when it exists already.
int PlatMakeDirectories(const std::string& path);
// Names (not paths) of the entries of a folder, without "." and "..", sorted.
int PlatListDirectory(const std::string& path, std::vector<std::string>& names);
// "a" + "/" + "b", without doubling a "/" that ends `a` or starts `b`; an empty side gives the other.
std::string PlatJoinPath(const std::string& a, const std::string& b);
