// Posting lists of the store: block encoding, and CSqliteStore's reads and writes of the postings
// table (layout in sqlite_store.h).
#include "backend/strata/sqlite_postings.h"

#include <algorithm>
#include <iterator>

#include "backend/strata/sqlite_store.h"
#include "backend/strata/strata_admin.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_storeutil.h"

void EncodePostingBlock(const uint32_t* numbers, size_t count, std::string& out) {
    out.clear();
    uint32_t previous = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t v = numbers[i] - previous;
        previous = numbers[i];
        while (v >= 0x80) {
            out.push_back(char(0x80 | (v & 0x7F)));
            v >>= 7;
        }
        out.push_back(char(v));
    }
}

namespace {

// Calls emit(number) for each number of the block; false when the block is not valid.
template <typename Emit>
bool WalkBlock(const unsigned char* p, size_t size, Emit emit) {
    const unsigned char* end = p + size;
    uint64_t previous = 0;
    bool first = true;
    while (p < end) {
        uint64_t v = 0;
        int shift = 0;
        for (;;) {
            if (p == end || shift > 28) return false;
            const unsigned char c = *p++;
            v |= uint64_t(c & 0x7F) << shift;
            if ((c & 0x80) == 0) break;
            shift += 7;
        }
        if (v == 0 && !first) return false;
        first = false;
        previous += v;
        if (previous > 0xFFFFFFFFu) return false;
        emit(uint32_t(previous));
    }
    return true;
}

}  // namespace

bool DecodePostingBlock(const unsigned char* data, size_t size, std::vector<uint32_t>& out) {
    return WalkBlock(data, size, [&out](uint32_t n) { out.push_back(n); });
}

bool CRecordBitmap::SetBlock(const unsigned char* data, size_t size) {
    return WalkBlock(data, size, [this](uint32_t n) {
        if (n <= uint32_t(kStrataMaxRecordNumber)) Set(n);
    });
}

void CRecordBitmap::AppendTo(std::vector<uint32_t>& out) const {
    for (size_t w = 0; w < m_words.size(); ++w) {
        uint64_t bits = m_words[w];
        while (bits != 0) {
            out.push_back(uint32_t(w * 64 + size_t(__builtin_ctzll(bits))));
            bits &= bits - 1;
        }
    }
}

namespace {

const unsigned char* BlobOf(sqlite3_stmt* s, int column, size_t& size) {
    size = size_t(sqlite3_column_bytes(s, column));
    return static_cast<const unsigned char*>(sqlite3_column_blob(s, column));
}

}  // namespace

bool CSqliteStore::DecodeColumn(CStmt& s, int column, std::vector<uint32_t>& out, StrataStatus& st) {
    size_t size = 0;
    const unsigned char* data = BlobOf(s.Raw(), column, size);
    if (data == nullptr || !DecodePostingBlock(data, size, out)) {
        return st.Set(kStrataStoreError, "damaged posting block; run a reindex of the database");
    }
    return true;
}

bool CSqliteStore::ApplyPostings(std::vector<StorePosting>& postings, bool remove, StrataStatus& st) {
    return StrataForEachList(postings, [&](int64_t k, const std::string& tok, const std::vector<uint32_t>& numbers) {
        return ApplyList(k, tok, numbers, remove, st);
    });
}

bool CSqliteStore::ApplyList(int64_t k, const std::string& tok, const std::vector<uint32_t>& numbers, bool remove,
                             StrataStatus& st) {
    std::vector<uint32_t> block;
    std::vector<uint32_t> merged;
    size_t i = 0;
    while (i < numbers.size()) {
        int64_t last = -1;  // the key of the block the numbers go to; -1 none
        block.clear();
        {
            CStmt s(Prepare("SELECT last, data FROM postings WHERE k=?1 AND tok=?2 AND last>=?3 ORDER BY last LIMIT 1"));
            if (!s.Ok()) return SqlFail(st, "index");
            const int rc = s.Bind(1, k).Bind(2, tok).Bind(3, int64_t(numbers[i])).Step();
            if (rc == SQLITE_ROW) {
                last = s.Int(0);
                if (!DecodeColumn(s, 1, block, st)) return false;
            } else if (rc != SQLITE_DONE) {
                return SqlFail(st, "index");
            }
        }
        size_t j = numbers.size();
        if (last >= 0) {
            j = size_t(std::upper_bound(numbers.begin() + std::ptrdiff_t(i), numbers.end(), uint32_t(last)) -
                       numbers.begin());
        } else {
            if (remove) return true;  // above every block: not in the list
            // Above every block: the list's final block takes the rest (a new list when none).
            CStmt s(Prepare("SELECT last, data FROM postings WHERE k=?1 AND tok=?2 ORDER BY last DESC LIMIT 1"));
            if (!s.Ok()) return SqlFail(st, "index");
            const int rc = s.Bind(1, k).Bind(2, tok).Step();
            if (rc == SQLITE_ROW) {
                last = s.Int(0);
                if (!DecodeColumn(s, 1, block, st)) return false;
            } else if (rc != SQLITE_DONE) {
                return SqlFail(st, "index");
            }
        }
        StrataMergeBlock(block, numbers.data() + i, numbers.data() + j, remove, merged);
        if (merged.size() != block.size() && !WriteBlocks(k, tok, last, merged, st)) return false;
        i = j;
    }
    return true;
}

bool CSqliteStore::WriteBlocks(int64_t k, const std::string& tok, int64_t oldLast,
                               const std::vector<uint32_t>& numbers, StrataStatus& st) {
    if (oldLast >= 0) {
        CStmt d(Prepare("DELETE FROM postings WHERE k=?1 AND tok=?2 AND last=?3"));
        if (!d.Ok() || d.Bind(1, k).Bind(2, tok).Bind(3, oldLast).Step() != SQLITE_DONE) return SqlFail(st, "index");
    }
    CStmt ins(Prepare("INSERT INTO postings(k, tok, last, n, data) VALUES(?1, ?2, ?3, ?4, ?5)"));
    if (!ins.Ok()) return SqlFail(st, "index");
    for (size_t from = 0; from < numbers.size(); from += kPostingBlockMax) {
        const size_t count = std::min(kPostingBlockMax, numbers.size() - from);
        EncodePostingBlock(numbers.data() + from, count, m_blockText);
        ins.Bind(1, k).Bind(2, tok).Bind(3, int64_t(numbers[from + count - 1])).Bind(4, int64_t(count));
        if (ins.BindBlob(5, m_blockText).Run() != SQLITE_DONE) return SqlFail(st, "index");
    }
    return true;
}

bool CSqliteStore::ReadList(int64_t k, const std::string& tok, std::vector<uint32_t>& out, StrataStatus& st) {
    out.clear();
    CStmt s(Prepare("SELECT data FROM postings WHERE k=?1 AND tok=?2 ORDER BY last"));
    if (!s.Ok()) return SqlFail(st, "search");
    s.Bind(1, k).Bind(2, tok);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) {
        if (m_cancel.load(std::memory_order_relaxed)) return st.Set(kStrataCancelled, "search");
        if (!DecodeColumn(s, 0, out, st)) return false;
    }
    return rc == SQLITE_DONE || SqlFail(st, "search");
}

bool CSqliteStore::ListSize(int64_t k, const std::string& tok, int64_t& size, StrataStatus& st) {
    CStmt s(Prepare("SELECT total(n) FROM postings WHERE k=?1 AND tok=?2"));
    if (!s.Ok() || s.Bind(1, k).Bind(2, tok).Step() != SQLITE_ROW) return SqlFail(st, "search");
    size = s.Int(0);
    return true;
}

bool CSqliteStore::ReadRange(int64_t k, const std::string& lo, const std::string& hi, CRecordBitmap& bits,
                             StrataStatus& st) {
    CStmt s(Prepare("SELECT data FROM postings WHERE k=?1 AND tok>=?2 AND tok<?3"));
    if (!s.Ok()) return SqlFail(st, "search");
    s.Bind(1, k).Bind(2, lo).Bind(3, hi);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) {
        if (m_cancel.load(std::memory_order_relaxed)) return st.Set(kStrataCancelled, "search");
        size_t size = 0;
        const unsigned char* data = BlobOf(s.Raw(), 0, size);
        if (data == nullptr || !bits.SetBlock(data, size)) {
            return st.Set(kStrataStoreError, "damaged posting block; run a reindex of the database");
        }
    }
    return rc == SQLITE_DONE || SqlFail(st, "search");
}
