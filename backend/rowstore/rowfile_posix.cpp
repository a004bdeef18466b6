// POSIX implementation of the row store's data files (rowfile.h).
#include "backend/rowstore/rowfile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/tempname.h"

namespace {
std::atomic<int64_t> g_memoryBudget{64LL << 20};
std::atomic<int64_t> g_memoryInUse{0};
}  // namespace

void CRowFile::SetMemoryBudget(int64_t bytes) { g_memoryBudget = bytes > 0 ? bytes : 0; }
int64_t CRowFile::GetMemoryBudget() { return g_memoryBudget.load(); }
int64_t CRowFile::GetMemoryInUse() { return g_memoryInUse.load(); }

bool CRowFile::ChargeMemory(int64_t bytes) {
    if (g_memoryInUse.fetch_add(bytes) + bytes <= g_memoryBudget.load())
        return true;
    g_memoryInUse.fetch_sub(bytes);
    return false;
}

void CRowFile::UnchargeMemory(int64_t bytes) { g_memoryInUse.fetch_sub(bytes); }

void CRowFile::ReleaseMemory() {
    g_memoryInUse.fetch_sub(m_charged);
    m_charged = 0;
    std::vector<unsigned char>().swap(m_memory);
}

CRowFile::CRowFile(CRowFile&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_inMemory(std::exchange(other.m_inMemory, false)),
      m_memory(std::move(other.m_memory)),  // the buffer moves: a mapping of it stays valid
      m_memoryLimit(std::exchange(other.m_memoryLimit, 0)),
      m_charged(std::exchange(other.m_charged, 0)),
      m_folder(std::move(other.m_folder)),
      m_prefix(std::move(other.m_prefix)),
      m_path(std::move(other.m_path)),
      m_size(std::exchange(other.m_size, 0)),
      m_data(std::exchange(other.m_data, nullptr)),
      m_mappedSize(std::exchange(other.m_mappedSize, 0)) {
    other.m_memory.clear();
    other.m_path.clear();
}

CRowFile& CRowFile::operator=(CRowFile&& other) noexcept {
    if (this != &other) {
        Remove();
        m_fd = std::exchange(other.m_fd, -1);
        m_inMemory = std::exchange(other.m_inMemory, false);
        m_memory = std::move(other.m_memory);
        other.m_memory.clear();
        m_memoryLimit = std::exchange(other.m_memoryLimit, 0);
        m_charged = std::exchange(other.m_charged, 0);
        m_folder = std::move(other.m_folder);
        m_prefix = std::move(other.m_prefix);
        m_path = std::move(other.m_path);
        other.m_path.clear();
        m_size = std::exchange(other.m_size, 0);
        m_data = std::exchange(other.m_data, nullptr);
        m_mappedSize = std::exchange(other.m_mappedSize, 0);
    }
    return *this;
}

CRowFile::~CRowFile() { Remove(); }

int CRowFile::Create(const std::string& folder, const std::string& prefix, std::string& error) {
    Remove();
    return CreateFile(folder, prefix, error);
}

int CRowFile::Create(const std::string& folder, const std::string& prefix, size_t memoryLimit,
                     std::string& error) {
    Remove();
    if (memoryLimit == 0)
        return CreateFile(folder, prefix, error);
    struct stat info {};
    const char* reason = nullptr;
    if (stat(folder.c_str(), &info) != 0 || access(folder.c_str(), W_OK | X_OK) != 0)
        reason = std::strerror(errno);
    else if (!S_ISDIR(info.st_mode))
        reason = std::strerror(ENOTDIR);
    if (reason != nullptr) {
        error = "cannot create a temporary file in " + folder + ": " + reason;
        return -1;
    }
    m_inMemory = true;
    m_memoryLimit = memoryLimit;
    m_folder = folder;
    m_prefix = prefix;
    m_size = 0;
    return 0;
}

int CRowFile::CreateFile(const std::string& folder, const std::string& prefix, std::string& error) {
    std::string path = PlatGetTempFileName(folder, prefix);
    if (path.empty()) {
        error = "cannot create a temporary file in " + folder + ": " + std::strerror(errno);
        return -1;
    }
    int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        unlink(path.c_str());
        return -1;
    }
    m_fd = fd;
    m_path = std::move(path);
    m_size = 0;
    return 0;
}

// Moves the bytes held in memory to a new file (mapped over the same size when they were). 0,
// or -1 with nothing changed.
int CRowFile::Spill() {
    CRowFile file;
    std::string error;
    if (file.CreateFile(m_folder, m_prefix, error) != 0)
        return -1;
    if (!m_memory.empty() && file.Append(m_memory.data(), m_memory.size()) != 0)
        return -1;  // `file` is removed on return
    if (m_mappedSize > 0 && file.MapFile(m_mappedSize) != 0)
        return -1;
    *this = std::move(file);
    return 0;
}

int CRowFile::Append(const void* data, size_t length) {
    if (m_inMemory) {
        const int64_t add = static_cast<int64_t>(length);
        if (m_memory.size() + length <= m_memoryLimit && ChargeMemory(add)) {
            m_charged += add;
            const unsigned char* p = static_cast<const unsigned char*>(data);
            m_memory.insert(m_memory.end(), p, p + length);
            m_size += static_cast<int64_t>(length);
            if (m_data != nullptr)
                m_data = m_memory.data();  // the buffer may have moved; the mapped size stays
            return 0;
        }
        if (Spill() != 0)
            return -1;
    }
    if (m_fd < 0)
        return -1;
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(m_fd, p + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A partial row would corrupt every later row: cut the file back to its last
            // complete state so a retry appends cleanly.
            int saved = errno;
            if (ftruncate(m_fd, static_cast<off_t>(m_size)) != 0) {
                close(m_fd);  // the file cannot be repaired: make every later use fail
                m_fd = -1;
            }
            errno = saved;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    m_size += static_cast<int64_t>(length);
    return 0;
}

int CRowFile::Map() {
    Unmap();
    if (m_inMemory) {
        if (m_size > 0) {
            m_data = m_memory.data();
            m_mappedSize = m_size;
        }
        return 0;
    }
    if (m_fd < 0)
        return -1;
    return MapFile(m_size);
}

int CRowFile::MapFile(int64_t size) {
    if (size == 0)
        return 0;
    void* p = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, m_fd, 0);
    if (p == MAP_FAILED)
        return -1;
    m_data = static_cast<const unsigned char*>(p);
    m_mappedSize = size;
    return 0;
}

void CRowFile::Unmap() {
    if (m_data && !m_inMemory)
        munmap(const_cast<unsigned char*>(m_data), static_cast<size_t>(m_mappedSize));
    m_data = nullptr;
    m_mappedSize = 0;
}

void CRowFile::Remove() {
    Unmap();
    m_inMemory = false;
    ReleaseMemory();
    m_memoryLimit = 0;
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    if (!m_path.empty())
        unlink(m_path.c_str());
    m_path.clear();
    m_size = 0;
}
