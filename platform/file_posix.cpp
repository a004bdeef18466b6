// POSIX implementation of platform/file.h.
#include "platform/file.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Writes all bytes, resuming after short writes and interrupts.
bool WriteAll(int fd, const void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = write(fd, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Closes without losing the errno of an earlier failure.
void CloseKeepErrno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}
}  // namespace

int PlatReadFile(const std::string& path, std::string& data, size_t maxBytes) {
    data.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (st.st_mode != 0) errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;  // fstat worked: wrong kind
        CloseKeepErrno(fd);
        return -1;
    }
    if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
        close(fd);
        errno = EFBIG;
        return -1;
    }
    data.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    // The file may change while we read: never read past maxBytes, stop at end of file.
    for (;;) {
        if (got == data.size()) {
            if (data.size() >= maxBytes) {
                char probe;
                ssize_t extra = read(fd, &probe, 1);
                if (extra > 0) {
                    close(fd);
                    data.clear();
                    errno = EFBIG;
                    return -1;
                }
                break;
            }
            data.resize(std::min(maxBytes, data.size() + 4096));
        }
        ssize_t n = read(fd, &data[got], data.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            CloseKeepErrno(fd);
            data.clear();
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    data.resize(got);
    close(fd);
    return 0;
}

int PlatWriteFileAtomic(const std::string& path, const void* data, size_t length) {
    std::string temp = path + ".XXXXXX";
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) return -1;
    if (!WriteAll(fd, data, length) || fsync(fd) != 0) {
        CloseKeepErrno(fd);
        unlink(temp.c_str());
        return -1;
    }
    fchmod(fd, 0644);  // mkostemp creates 0600; configuration files are meant to be readable
    if (close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        int saved = errno;
        unlink(temp.c_str());
        errno = saved;
        return -1;
    }
    return 0;
}

int PlatAppendFile(const std::string& path, const void* data, size_t length) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (!WriteAll(fd, data, length)) {
        CloseKeepErrno(fd);
        return -1;
    }
    return close(fd) == 0 ? 0 : -1;
}

bool PlatFileExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool PlatIsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int PlatDeleteFile(const std::string& path) { return unlink(path.c_str()) == 0 ? 0 : -1; }

int PlatMakeDirectories(const std::string& path) {
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    }
    if (!PlatIsDirectory(path)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

int PlatListDirectory(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return -1;
    errno = 0;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    int failed = errno;
    closedir(dir);
    if (failed != 0) {
        names.clear();
        errno = failed;
        return -1;
    }
    std::sort(names.begin(), names.end());
    return 0;
}

std::string PlatJoinPath(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    bool slashA = a.back() == '/';
    bool slashB = b.front() == '/';
    if (slashA && slashB) return a + b.substr(1);
    if (slashA || slashB) return a + b;
    return a + "/" + b;
}
