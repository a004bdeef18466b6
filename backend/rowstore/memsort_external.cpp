// CMemSort's external merge sort: for data above the sort memory limit, the rows are cut into
// runs that each fit the limit, every run is sorted in memory and written to its own temporary
// file, and one k-way merge writes the sorted rows to a new data file.
#include <algorithm>
#include <queue>

#include "backend/rowstore/memsort.h"
#include "backend/rowstore/rowwriter.h"

namespace {
// More runs would mean more open files and a wider merge heap; past this the runs grow instead.
constexpr int64_t kMaxRuns = 64;

struct RunCursor {
    const unsigned char* row;  // at the current row's L field
    const unsigned char* end;
};
}  // namespace

int CMemSort::WriteRun(size_t first, size_t last, std::vector<CRowFile>& runs) {
    const unsigned char* data = m_file.GetData();
    std::sort(m_index.begin() + static_cast<ptrdiff_t>(first),
              m_index.begin() + static_cast<ptrdiff_t>(last), [this, data](int64_t a, int64_t b) {
                  return CompareRowData(data + a, data + b) < 0;
              });
    CRowFile run;
    if (run.Create(GetTempFolder(), kRowRunPrefix, m_lastError) != 0)
        return -1;
    CRowWriter writer(run);
    for (size_t i = first; i < last; ++i) {
        const unsigned char* row = data + m_index[i] - 4;
        writer.Put(row, RowGetU32(row) + 4);
    }
    if (writer.Finish() != 0 || run.Map() != 0) {
        m_lastError = "cannot write the sort run " + run.GetPath();
        return -1;
    }
    runs.push_back(std::move(run));
    return 0;
}

int CMemSort::MergeRuns(std::vector<CRowFile>& runs, CRowFile& out) {
    auto after = [this](const RunCursor& a, const RunCursor& b) {
        return CompareRowData(a.row + 4, b.row + 4) > 0;
    };
    std::priority_queue<RunCursor, std::vector<RunCursor>, decltype(after)> heap(after);
    for (const CRowFile& run : runs)
        if (run.GetMappedSize() > 0)
            heap.push({run.GetData(), run.GetData() + run.GetMappedSize()});
    CRowWriter writer(out);
    while (!heap.empty()) {
        RunCursor top = heap.top();
        heap.pop();
        const size_t length = RowGetU32(top.row) + 4;
        if (writer.Put(top.row, length) != 0)
            break;
        top.row += length;
        if (top.row < top.end)
            heap.push(top);
    }
    if (writer.Finish() != 0) {
        m_lastError = "cannot write " + out.GetPath();
        return -1;
    }
    return 0;
}

int CMemSort::ExternalSort() {
    const unsigned char* data = m_file.GetData();
    const int64_t size = m_file.GetMappedSize();
    const int64_t chunkBytes = std::max(GetSortMemoryLimit(), size / kMaxRuns + 1);
    const size_t rows = m_index.size();
    std::vector<CRowFile> runs;
    size_t first = 0;
    while (first < rows) {
        size_t last = first;
        int64_t bytes = 0;
        while (last < rows) {
            const int64_t length = RowGetU32(data + m_index[last] - 4) + 4;
            if (last > first && bytes + length > chunkBytes)
                break;
            bytes += length;
            ++last;
        }
        if (WriteRun(first, last, runs) != 0)
            return -1;
        if (DoProgress(static_cast<int64_t>(last), static_cast<int64_t>(rows)) != 0)
            return 1;
        first = last;
    }
    CRowFile out;
    if (out.Create(GetTempFolder(), kRowFilePrefix, m_lastError) != 0 || MergeRuns(runs, out) != 0)
        return -1;
    runs.clear();
    m_file = std::move(out);
    if (CreateDataFileMap() != 0 || BuildIndexFile() != 0)
        return -1;
    return 0;
}
