#pragma once
// The pid file "vk9000.pid" a running vk9000 keeps in its instance folder, so that the setup
// program can find and close it and a second vk9000 does not serve the same folder. The file is
// held with an advisory lock for the life of the process: a folder is served when nobody holds
// the lock, whatever pid its file names (stale, or copied from a folder being served).
// Thread safety: none; the daemon's main thread.

#include <string>

class CPidFile {
public:
    CPidFile() = default;
    ~CPidFile();  // removes the file and drops the lock
    CPidFile(const CPidFile&) = delete;
    CPidFile& operator=(const CPidFile&) = delete;

    // Locks folder/vk9000.pid and writes this process's pid to it. False with `error` when another
    // process holds it (its pid in `error`) or the file cannot be written.
    bool Acquire(const std::string& folder, std::string& error);
    void Release();

private:
    std::string m_path;
    int m_handle = -1;
};
