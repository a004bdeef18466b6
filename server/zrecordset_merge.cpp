// CZRecordSet merges: intersection, union and difference of two sorted sets, each one sequential
// pass over both mapped data files, writing the output in row order.
#include "server/zrecordset.h"

int CZRecordSet::And(CZRecordSet& other, CZRecordSet& output, const std::atomic<bool>* stop) {
    if (IsEmpty() || other.IsEmpty())
        return &output == this || &output == &other ? -1 : 0;
    return Merge(other, output, stop, MergeKind::And);
}

int CZRecordSet::Or(CZRecordSet& other, CZRecordSet& output, const std::atomic<bool>* stop) {
    return Merge(other, output, stop, MergeKind::Or);
}

int CZRecordSet::AndNot(CZRecordSet& other, CZRecordSet& output, const std::atomic<bool>* stop) {
    return Merge(other, output, stop, MergeKind::AndNot);
}

namespace {

// The mapped rows of `set` as [p, end); both null when it has none. After a successful
// EnsureIndexed every row of the mapped data has been validated.
void MappedRows(const CZRecordSet& set, const unsigned char*& p, const unsigned char*& end) {
    p = end = nullptr;
    if (set.HasDataFile() && set.GetRowCount() > 0 && set.GetData()) {
        p = set.GetData();
        end = p + set.GetDataSize();
    }
}

}  // namespace

int CZRecordSet::PrepareMerge(CZRecordSet& other, CZRecordSet& output) {
    if (Materialise() != 0 || other.Materialise() != 0)
        return -1;
    if ((HasDataFile() && EnsureIndexed() != 0) || (other.HasDataFile() && other.EnsureIndexed() != 0))
        return -1;
    return output.Create(nullptr) != 0 ? -1 : 0;
}

int CZRecordSet::Merge(CZRecordSet& other, CZRecordSet& output, const std::atomic<bool>* stop,
                       MergeKind kind) {
    if (&output == this || &output == &other)  // re-creating the output must not destroy an input
        return -1;
    if (MergeCompact(other, output, kind) == 0)
        return 0;
    if (PrepareMerge(other, output) != 0)
        return -1;

    const unsigned char *a, *aEnd, *b, *bEnd;
    MappedRows(*this, a, aEnd);
    MappedRows(other, b, bEnd);
    auto next = [](const unsigned char* row) { return row + RowGetU32(row) + 4; };
    const bool writeLeft = kind != MergeKind::And;
    const bool writeRight = kind == MergeKind::Or;

    while (a < aEnd || b < bEnd) {
        if (stop && stop->load()) {
            output.EnsureIndexed();
            return 1;
        }
        if (a < aEnd && b < bEnd) {
            const int c = CompareRowData(a + 4, b + 4);
            if (c == 0) {
                if (kind != MergeKind::AndNot)
                    output.AddRow(a);
                a = next(a);
                b = next(b);
            } else if (c < 0) {
                if (writeLeft)
                    output.AddRow(a);
                a = next(a);
            } else {
                if (writeRight)
                    output.AddRow(b);
                b = next(b);
            }
        } else if (a < aEnd) {
            if (!writeLeft)
                break;
            output.AddRow(a);
            a = next(a);
        } else {
            if (!writeRight)
                break;
            output.AddRow(b);
            b = next(b);
        }
    }
    return output.EnsureIndexed() == 0 ? 0 : -1;
}
