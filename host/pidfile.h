#pragma once
// The pid file "vk9000.pid" a running vk9000 keeps in its instance folder, so that the setup
// program can find and close it and a second vk9000 does not serve the same folder. A pid file
// whose process is gone (or is another program now) is stale and is replaced.
// Thread safety: none; the daemon's main thread.

#include <string>

class CPidFile {
public:
    CPidFile() = default;
    ~CPidFile();  // removes the file if it still names this process
    CPidFile(const CPidFile&) = delete;
    CPidFile& operator=(const CPidFile&) = delete;

    // Writes this process's pid to folder/vk9000.pid. False with `error` when another live vk9000
    // serves the folder (its pid in `error`) or the file cannot be written.
    bool Acquire(const std::string& folder, std::string& error);
    void Release();

private:
    std::string m_path;
};
