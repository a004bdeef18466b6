// CMemSort: data file, mapping, index building and resequencing of the row store (memsort.h).
#include "backend/rowstore/memsort.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>

#include "backend/rowstore/rowwriter.h"
#include "platform/file.h"

namespace {
std::mutex g_settingsLock;
std::string g_tempFolder;  // guarded by g_settingsLock
std::atomic<int64_t> g_sortMemoryLimit{256LL * 1024 * 1024};
std::atomic<int64_t> g_memoryDataLimit{-1};  // -1: not decided yet

// The data file's path for messages, or what stands for it while the data is in memory.
std::string Describe(const CRowFile& file) {
    return file.IsInMemory() ? std::string("the in-memory row data") : file.GetPath();
}

int64_t MemoryDataLimitFromEnvironment() {
    const char* text = std::getenv("VELKAN_ROWSTORE_MEMORY");
    if (text == nullptr || *text == '\0')
        return CMemSort::kDefaultMemoryDataLimit;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (*end != '\0' || value < 0)
        return CMemSort::kDefaultMemoryDataLimit;
    return std::min<long long>(value, 1LL << 30);
}
}  // namespace

void CMemSort::SetMemoryDataLimit(int64_t bytes) { g_memoryDataLimit = bytes > 0 ? bytes : 0; }

int64_t CMemSort::GetMemoryDataLimit() {
    int64_t limit = g_memoryDataLimit.load();
    if (limit < 0) {
        // Every thread computes the same value; the first store wins, the others agree.
        int64_t expected = -1;
        limit = MemoryDataLimitFromEnvironment();
        if (!g_memoryDataLimit.compare_exchange_strong(expected, limit))
            limit = expected;
    }
    return limit;
}

void CMemSort::SetTempFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(g_settingsLock);
    g_tempFolder = folder;
}

std::string CMemSort::GetTempFolder() {
    {
        std::lock_guard<std::mutex> lock(g_settingsLock);
        if (!g_tempFolder.empty())
            return g_tempFolder;
    }
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? std::string(tmp) : std::string("/tmp");
}

int CMemSort::RemoveStaleFiles() {
    std::string folder;
    {
        std::lock_guard<std::mutex> lock(g_settingsLock);
        folder = g_tempFolder;
    }
    std::vector<std::string> names;
    if (folder.empty() || PlatListDirectory(folder, names) != 0)
        return -1;
    int removed = 0;
    for (const std::string& name : names) {
        const bool ours = name.size() > 7 && (name.rfind(kRowFilePrefix, 0) == 0 || name.rfind(kRowRunPrefix, 0) == 0) &&
                          name.compare(name.size() - 4, 4, ".tmp") == 0;
        if (ours && PlatDeleteFile(PlatJoinPath(folder, name)) == 0)
            ++removed;
    }
    return removed;
}

void CMemSort::SetSortMemoryLimit(int64_t bytes) { g_sortMemoryLimit = bytes > 0 ? bytes : 1; }
int64_t CMemSort::GetSortMemoryLimit() { return g_sortMemoryLimit.load(); }

CMemSort::~CMemSort() { m_file.Remove(); }

int CMemSort::Create(const char* fileName) {
    ClearResource();
    if (fileName) {
        m_lastError = "named data files are not supported";
        return -1;
    }
    return m_file.Create(GetTempFolder(), kRowFilePrefix, static_cast<size_t>(GetMemoryDataLimit()), m_lastError);
}

int CMemSort::AppendData(const void* data, size_t length) {
    if (!m_file.IsOpen()) {
        m_lastError = "no data file";
        return -1;
    }
    if (m_file.Append(data, length) != 0) {
        m_lastError = "cannot write " + Describe(m_file);
        return -1;
    }
    return 0;
}

int CMemSort::CreateDataFileMap() {
    if (m_file.Map() != 0) {
        m_lastError = "cannot map " + Describe(m_file);
        return -1;
    }
    return 0;
}

int CMemSort::BuildIndexFile() {
    m_index.clear();
    m_index.reserve(static_cast<size_t>(std::max<int64_t>(m_rowCount, 0)));
    const unsigned char* data = m_file.GetData();
    const int64_t size = m_file.GetMappedSize();
    int64_t offset = 0;
    while (offset < size) {
        if (size - offset < 4)
            break;
        const uint32_t length = RowGetU32(data + offset);
        const int64_t body = offset + 4;
        if (static_cast<int64_t>(length) > size - body || !IsValidRow(data + body, length))
            break;
        m_index.push_back(body);
        offset = body + length;
    }
    if (offset != size) {
        m_index.clear();
        m_rowCount = 0;
        m_lastError = "malformed row at offset " + std::to_string(offset) + " of " + Describe(m_file);
        return -1;
    }
    m_rowCount = static_cast<int64_t>(m_index.size());
    return 0;
}

int CMemSort::ReSequenceFile() {
    const unsigned char* data = m_file.GetData();
    // Nothing to do when the index already lists every row in file order.
    int64_t expected = 4;
    bool inOrder = true;
    for (int64_t offset : m_index) {
        if (offset != expected) {
            inOrder = false;
            break;
        }
        expected = offset + RowGetU32(data + offset - 4) + 4;
    }
    if (inOrder && expected - 4 == m_file.GetMappedSize())
        return 0;

    CRowFile out;
    const int64_t size = m_file.GetMappedSize();
    if (out.Create(GetTempFolder(), kRowFilePrefix, static_cast<size_t>(GetMemoryDataLimit()), m_lastError) != 0)
        return -1;
    CRowWriter writer(out, static_cast<size_t>(std::min<int64_t>(size, CRowWriter::kDefaultBufferSize)));
    for (int64_t offset : m_index)
        if (writer.Put(data + offset - 4, RowGetU32(data + offset - 4) + 4) != 0)
            break;
    if (writer.Finish() != 0) {
        m_lastError = "cannot write " + Describe(out);
        return -1;  // `out` is removed on return; the old file stays in use
    }
    m_file = std::move(out);
    if (CreateDataFileMap() != 0)
        return -1;
    return BuildIndexFile();
}

int CMemSort::QuickSort() {
    if (m_index.size() > 1 && m_file.GetMappedSize() > GetSortMemoryLimit())
        return ExternalSort();
    return CShellSort::QuickSort();
}

void CMemSort::ClearResource() {
    CShellSort::ClearResource();
    m_file.Remove();
}
