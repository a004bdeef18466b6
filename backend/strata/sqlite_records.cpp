// CSqliteStore: records, their index entries, bulk loads and reindexing.
#include <algorithm>
#include <map>

#include "backend/strata/sqlite_store.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_storeutil.h"

namespace {

// Records whose postings a load or reindex gathers before it adds them to the lists.
constexpr size_t kPostingSlice = 50000;

void CollectPostings(const std::vector<StoreKey>& keys, const CMARC& record, int64_t number,
                     std::vector<StorePosting>& out) {
    std::vector<std::string> tokens;
    for (const StoreKey& key : keys) {
        KeyTokens(record, key.m_entry, tokens);
        for (std::string& t : tokens) out.push_back(StorePosting{key.m_id, std::move(t), uint32_t(number)});
        KeyDerivedTokens(record, key.m_entry, tokens);
        for (std::string& t : tokens) out.push_back(StorePosting{-key.m_id, std::move(t), uint32_t(number)});
    }
}

}  // namespace

bool CSqliteStore::LoadKeys(int64_t db, std::vector<StoreKey>& keys, StrataStatus& st) {
    keys.clear();
    CStmt s(Prepare("SELECT id, name, fields FROM keys WHERE db=?1 ORDER BY id"));
    if (!s.Ok()) return SqlFail(st, "load keys");
    s.Bind(1, db);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) keys.push_back(StoreKey{s.Int(0), StrataKeyFromText(s.Text(1), s.Text(2))});
    return rc == SQLITE_DONE || SqlFail(st, "load keys");
}

bool CSqliteStore::FindKey(int64_t db, const std::string& name, StoreKey& key, StrataStatus& st) {
    if (m_cacheChecked) {
        const auto it = m_keyCache.find(std::make_pair(db, name));
        if (it != m_keyCache.end()) {
            key = it->second;
            return true;
        }
    }
    CStmt s(Prepare("SELECT id, name, fields FROM keys WHERE db=?1 AND name=?2"));
    if (!s.Ok()) return SqlFail(st, "find key");
    s.Bind(1, db).Bind(2, name);
    const int rc = s.Step();
    if (rc == SQLITE_ROW) {
        key = StoreKey{s.Int(0), StrataKeyFromText(s.Text(1), s.Text(2))};
        if (m_cacheChecked && m_keyCache.size() < kMaxCachedNames) m_keyCache.emplace(std::make_pair(db, name), key);
        return true;
    }
    if (rc != SQLITE_DONE) return SqlFail(st, "find key");
    return st.Set(kStrataBadPath, "no search key [" + name + "]");
}

bool CSqliteStore::GetRecordText(int64_t db, int64_t number, std::string& diriv, bool& found,
                                 StrataStatus& st) {
    CStmt s(Prepare("SELECT diriv FROM records WHERE id=?1"));
    if (!s.Ok()) return SqlFail(st, "read record");
    s.Bind(1, db * kRecordIdBase + number);
    const int rc = s.Step();
    found = rc == SQLITE_ROW;
    if (found) s.TextInto(0, diriv);
    return rc == SQLITE_ROW || rc == SQLITE_DONE || SqlFail(st, "read record");
}

bool CSqliteStore::IndexRecord(const std::vector<StoreKey>& keys, const CMARC& record, int64_t number,
                               bool remove, StrataStatus& st) {
    std::vector<StorePosting> postings;
    CollectPostings(keys, record, number, postings);
    if (remove) return ApplyPostings(postings, true, st) && RemoveSortValues(keys, number, st);
    std::vector<StrataSortValue> values;
    StrataCollectSortValues(keys, record, number, values);
    return ApplyPostings(postings, false, st) && WriteSortValues(values, st);
}

bool CSqliteStore::ReadRecord(const std::string& db, int64_t number, std::string& diriv, StrataStatus& st) {
    CReadScope scope(*this);
    int64_t id = 0;
    bool found = false;
    if (!FindDatabase(db, id, st) || !GetRecordText(id, number, diriv, found, st)) return false;
    if (!found) return st.Set(kStrataNoData, "no record " + std::to_string(number) + " in [" + db + "]");
    return true;
}

bool CSqliteStore::ReadRecords(const std::string& db, const std::vector<int64_t>& numbers,
                               std::vector<std::string>& dirivs, StrataStatus& st) {
    dirivs.assign(numbers.size(), std::string());
    CReadScope scope(*this);
    int64_t id = 0;
    if (!FindDatabase(db, id, st)) return false;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (m_cancel.load()) return st.Set(kStrataCancelled, "read records");
        bool found = false;
        if (!GetRecordText(id, numbers[i], dirivs[i], found, st)) return false;
        if (!found) dirivs[i].clear();
    }
    return true;
}

bool CSqliteStore::WriteRecord(const std::string& db, int64_t number, StrataWrite how, const std::string& diriv,
                               StrataStatus& st) {
    CMARC record;
    if (!StrataCheckWrittenRecord(diriv, number, how, record, st)) return false;
    if (!Begin(st)) return false;
    int64_t id = 0;
    std::vector<StoreKey> keys;
    std::string old;
    bool found = false;
    bool ok = FindDatabase(db, id, st) && LoadKeys(id, keys, st) && GetRecordText(id, number, old, found, st);
    if (ok && found && how == StrataWrite::kInsert) {
        ok = st.Set(kStrataRecordExists, "record " + std::to_string(number) + " in [" + db + "]");
    }
    if (ok && !found && (how == StrataWrite::kReplace || how == StrataWrite::kDelete)) {
        ok = st.Set(kStrataNoSuchRecord, "record " + std::to_string(number) + " in [" + db + "]");
    }
    if (ok && found) {
        CMARC oldRecord;
        std::string error;
        // A stored record always parses; should it not, there is no index entry to remove.
        if (oldRecord.Parse(old, error) >= 0) ok = IndexRecord(keys, oldRecord, number, true, st);
    }
    if (ok && how == StrataWrite::kDelete) {
        CStmt s(Prepare("DELETE FROM records WHERE id=?1"));
        ok = s.Ok() && s.Bind(1, id * kRecordIdBase + number).Step() == SQLITE_DONE;
        if (!ok) SqlFail(st, "delete record");
    } else if (ok) {
        CStmt s(Prepare("INSERT OR REPLACE INTO records(id, diriv) VALUES(?1, ?2)"));
        ok = s.Ok() && s.Bind(1, id * kRecordIdBase + number).BindBlob(2, diriv).Step() == SQLITE_DONE;
        if (!ok) SqlFail(st, "write record");
        if (ok) ok = IndexRecord(keys, record, number, false, st);
    }
    const int64_t delta = how == StrataWrite::kDelete ? -1 : (found ? 0 : 1);
    if (ok && delta != 0) {
        CStmt s(Prepare("UPDATE databases SET records=records+?2 WHERE id=?1"));
        ok = s.Ok() && s.Bind(1, id).Bind(2, delta).Step() == SQLITE_DONE;
        if (!ok) SqlFail(st, "count records");
    }
    if (!ok) {
        Rollback();
        return false;
    }
    return Commit(st);
}

int CSqliteStore::LoadRecords(const std::string& db, const std::vector<std::string>& dirivs,
                              std::vector<StrataRejectedRecord>& rejected, StrataStatus& st) {
    // Check every record first; a number repeated in the batch keeps its last record.
    std::vector<CMARC> records;
    std::map<int64_t, size_t> lastOf;
    StrataCheckBatch(dirivs, records, lastOf, rejected);
    CBulkCache cache(m_db);
    if (!Begin(st)) return -1;
    int64_t id = 0;
    std::vector<StoreKey> keys;
    bool ok = FindDatabase(db, id, st) && LoadKeys(id, keys, st);
    std::vector<StorePosting> postings;
    std::vector<StrataSortValue> values;
    int64_t added = 0;
    int written = 0;
    for (auto it = lastOf.begin(); ok && it != lastOf.end(); ++it) {
        if (m_cancel.load(std::memory_order_relaxed)) {
            ok = st.Set(kStrataCancelled, "load");
            break;
        }
        const int64_t number = it->first;
        std::string old;
        bool found = false;
        ok = GetRecordText(id, number, old, found, st);
        if (ok && found) {
            CMARC oldRecord;
            std::string error;
            if (oldRecord.Parse(old, error) >= 0) ok = IndexRecord(keys, oldRecord, number, true, st);
        }
        if (!ok) break;
        CStmt s(Prepare("INSERT OR REPLACE INTO records(id, diriv) VALUES(?1, ?2)"));
        ok = s.Ok() && s.Bind(1, id * kRecordIdBase + number).BindBlob(2, dirivs[it->second]).Step() == SQLITE_DONE;
        if (!ok) {
            SqlFail(st, "load record");
            break;
        }
        CollectPostings(keys, records[it->second], number, postings);
        StrataCollectSortValues(keys, records[it->second], number, values);
        records[it->second] = CMARC();
        added += found ? 0 : 1;
        ++written;
        // The numbers ascend, so each slice mostly appends to the lists' final blocks.
        if (size_t(written) % kPostingSlice == 0) {
            ok = ApplyPostings(postings, false, st) && WriteSortValues(values, st);
            postings.clear();
            values.clear();
        }
    }
    if (ok) ok = ApplyPostings(postings, false, st) && WriteSortValues(values, st);
    if (ok) {
        CStmt s(Prepare("UPDATE databases SET records=records+?2 WHERE id=?1"));
        ok = s.Ok() && s.Bind(1, id).Bind(2, added).Step() == SQLITE_DONE;
        if (!ok) SqlFail(st, "count records");
    }
    if (!ok || !Commit(st)) {
        Rollback();
        return -1;
    }
    std::sort(rejected.begin(), rejected.end(),
              [](const StrataRejectedRecord& a, const StrataRejectedRecord& b) { return a.m_position < b.m_position; });
    return written;
}

int64_t CSqliteStore::NextRecordNumber(const std::string& db, StrataStatus& st) {
    int64_t id = 0;
    if (!FindDatabase(db, id, st)) return -1;
    CStmt s(Prepare("SELECT max(id) FROM records WHERE id BETWEEN ?1 AND ?2"));
    if (!s.Ok()) {
        SqlFail(st, "next record number");
        return -1;
    }
    s.Bind(1, id * kRecordIdBase).Bind(2, id * kRecordIdBase + kStrataMaxRecordNumber);
    if (s.Step() != SQLITE_ROW) {
        SqlFail(st, "next record number");
        return -1;
    }
    const int64_t top = s.Int(0);
    const int64_t next = top == 0 ? 1 : top - id * kRecordIdBase + 1;
    if (next > kStrataMaxRecordNumber) {
        st.Set(kStrataBadArgument, "database [" + db + "] has no free record number left");
        return -1;
    }
    return next;
}

int64_t CSqliteStore::ForEachRecord(const std::string& db,
                                    const std::function<bool(int64_t, const std::string&)>& visit,
                                    StrataStatus& st) {
    int64_t id = 0;
    if (!FindDatabase(db, id, st)) return -1;
    // A statement of its own: the visitor may call back into this store.
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT id, diriv FROM records WHERE id BETWEEN ?1 AND ?2 ORDER BY id", -1, &raw,
                           nullptr) != SQLITE_OK) {
        SqlFail(st, "read records");
        return -1;
    }
    sqlite3_bind_int64(raw, 1, id * kRecordIdBase);
    sqlite3_bind_int64(raw, 2, id * kRecordIdBase + kStrataMaxRecordNumber);
    int64_t count = 0;
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        const void* p = sqlite3_column_blob(raw, 1);
        const std::string diriv(p ? static_cast<const char*>(p) : "", size_t(sqlite3_column_bytes(raw, 1)));
        ++count;
        if (!visit(sqlite3_column_int64(raw, 0) - id * kRecordIdBase, diriv)) {
            rc = SQLITE_DONE;
            break;
        }
    }
    sqlite3_finalize(raw);
    if (rc != SQLITE_DONE) {
        SqlFail(st, "read records");
        return -1;
    }
    return count;
}

bool CSqliteStore::Reindex(const std::string& db, StrataStatus& st) {
    CBulkCache cache(m_db);
    if (!Begin(st)) return false;
    int64_t id = 0;
    if (!FindDatabase(db, id, st) || !ReindexLocked(id, st)) {
        Rollback();
        return false;
    }
    return Commit(st);
}

bool CSqliteStore::ReindexLocked(int64_t db, StrataStatus& st) {
    {
        CStmt drop(Prepare("DELETE FROM postings WHERE k IN (SELECT id FROM keys WHERE db=?1 UNION ALL SELECT -id FROM keys WHERE db=?1)"));
        if (!drop.Ok() || drop.Bind(1, db).Step() != SQLITE_DONE) return SqlFail(st, "reindex");
        if (!DropSortValues(db, st)) return false;
        CStmt dropKeys(Prepare("DELETE FROM keys WHERE db=?1"));
        if (!dropKeys.Ok() || dropKeys.Bind(1, db).Step() != SQLITE_DONE) return SqlFail(st, "reindex");
    }
    std::string text;
    {
        CStmt s(Prepare("SELECT content FROM cfgfiles WHERE db=?1 AND name='keys.cfg'"));
        if (!s.Ok()) return SqlFail(st, "reindex");
        const int rc = s.Bind(1, db).Step();
        if (rc == SQLITE_DONE) return true;  // no keys.cfg: nothing is searchable
        if (rc != SQLITE_ROW) return SqlFail(st, "reindex");
        text = s.Text(0);
    }
    CKeysTree tree;
    try {
        tree.BuildTree(text);
    } catch (const CError& e) {
        return st.Set(kStrataBadArgument, "keys.cfg line " + std::to_string(e.GetLine()) + " column " +
                                              std::to_string(e.GetColumn()) + ": " + e.GetMessage());
    }
    std::vector<StoreKey> keys;
    for (const CKeyEntry& entry : tree.GetKeys()) {
        CStmt s(Prepare("INSERT OR REPLACE INTO keys(db, name, fields) VALUES(?1, ?2, ?3)"));
        if (!s.Ok() || s.Bind(1, db).Bind(2, entry.m_name).Bind(3, StrataFieldsText(entry)).Step() != SQLITE_DONE) {
            return SqlFail(st, "reindex");
        }
    }
    if (!LoadKeys(db, keys, st)) return false;
    // Index in slices so that memory stays bounded on large databases.
    const int64_t sliceSize = int64_t(kPostingSlice);
    int64_t keyed = 0;
    for (int64_t from = 1; from <= kStrataMaxRecordNumber; from += sliceSize) {
        if (m_cancel.load(std::memory_order_relaxed)) return st.Set(kStrataCancelled, "reindex");
        std::vector<StorePosting> postings;
        std::vector<StrataSortValue> values;
        CStmt s(Prepare("SELECT id, diriv FROM records WHERE id BETWEEN ?1 AND ?2"));
        if (!s.Ok()) return SqlFail(st, "reindex");
        s.Bind(1, db * kRecordIdBase + from).Bind(2, db * kRecordIdBase + from + sliceSize - 1);
        int rc;
        bool any = false;
        while ((rc = s.Step()) == SQLITE_ROW) {
            any = true;
            ++keyed;
            CMARC record;
            std::string error;
            if (record.Parse(s.Text(1), error) < 0) continue;
            CollectPostings(keys, record, s.Int(0) - db * kRecordIdBase, postings);
            StrataCollectSortValues(keys, record, s.Int(0) - db * kRecordIdBase, values);
        }
        if (rc != SQLITE_DONE) return SqlFail(st, "reindex");
        if (!any) {
            // Skip empty stretches quickly: jump to the next stored record.
            CStmt n(Prepare("SELECT min(id) FROM records WHERE id > ?1 AND id <= ?2"));
            if (!n.Ok() || n.Bind(1, db * kRecordIdBase + from).Bind(2, db * kRecordIdBase + kStrataMaxRecordNumber).Step() != SQLITE_ROW) {
                return SqlFail(st, "reindex");
            }
            const int64_t nextId = n.Int(0);
            if (nextId == 0) break;
            from = nextId - db * kRecordIdBase - sliceSize;
            continue;
        }
        if (!ApplyPostings(postings, false, st) || !WriteSortValues(values, st)) return false;
        StrataReindexProgress(db, keyed, false);
    }
    if (keyed > 0) StrataReindexProgress(db, keyed, true);
    return true;
}
