// CPgStore: records with their index entries, bulk loads (COPY), export and reindexing.
#include <algorithm>

#include "backend/strata/pg_store.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_storeutil.h"
#include "berkit/codepage.h"

namespace {

// Record numbers as an int8[] literal for "= ANY($1::bigint[])".
std::string NumberArray(const std::vector<int64_t>& numbers) {
    std::string text = "{";
    for (size_t i = 0; i < numbers.size(); ++i) text += (i ? "," : "") + std::to_string(numbers[i]);
    return text + "}";
}

}  // namespace

bool CPgStore::LoadKeys(CPgCall& call, int64_t db, std::vector<StrataStoreKey>& keys) {
    keys.clear();
    CPgResult r;
    if (!call.Run("SELECT id, name, fields FROM keys WHERE db=$1 ORDER BY id", {db}, r, "load keys")) return false;
    for (int i = 0; i < r.Rows(); ++i) keys.push_back(StrataStoreKey{r.Int(i, 0), StrataKeyFromText(r.Bytes(i, 1), r.Bytes(i, 2))});
    return true;
}

bool CPgStore::FindKey(CPgCall& call, int64_t db, const std::string& name, StrataStoreKey& key) {
    CPgResult r;
    if (!call.Run("SELECT id, name, fields FROM keys WHERE db=$1 AND fold=$2", {db, StrataFold(name)}, r, "find key")) {
        return false;
    }
    if (r.Rows() == 0) return call.Status().Set(kStrataBadPath, "no search key [" + name + "]");
    key = StrataStoreKey{r.Int(0, 0), StrataKeyFromText(r.Bytes(0, 1), r.Bytes(0, 2))};
    return true;
}

bool CPgStore::GetRecordText(CPgCall& call, int64_t db, int64_t number, std::string& diriv, bool& found,
                             bool forUpdate) {
    CPgResult r;
    if (!call.Run(forUpdate ? "SELECT diriv FROM records WHERE db=$1 AND num=$2 FOR UPDATE"
                            : "SELECT diriv FROM records WHERE db=$1 AND num=$2",
                  {db, number}, r, "read record")) {
        return false;
    }
    found = r.Rows() == 1;
    if (found) r.BytesInto(0, 0, diriv);
    return true;
}

bool CPgStore::ReadRecord(const std::string& db, int64_t number, std::string& diriv, StrataStatus& st) {
    return OnReadServer(st, [&](CPgCall& call) {
        int64_t id = 0;
        bool found = false;
        if (!call.Begin(true) || !FindDatabase(call, db, id) || !GetRecordText(call, id, number, diriv, found)) {
            return false;
        }
        if (!found) return st.Set(kStrataNoData, "no record " + std::to_string(number) + " in [" + db + "]");
        return call.Commit();
    });
}

bool CPgStore::ReadRecords(const std::string& db, const std::vector<int64_t>& numbers,
                           std::vector<std::string>& dirivs, StrataStatus& st) {
    return OnReadServer(st, [&](CPgCall& call) {
        dirivs.assign(numbers.size(), std::string());
        int64_t id = 0;
        CPgResult r;
        if (!call.Begin(true) || !FindDatabase(call, db, id) ||
            !call.Run("SELECT num, diriv FROM records WHERE db=$1 AND num = ANY($2::bigint[])",
                      {id, CPgParam::Text(NumberArray(numbers))}, r, "read records")) {
            return false;
        }
        std::map<int64_t, int> rowOf;
        for (int i = 0; i < r.Rows(); ++i) rowOf[r.Int(i, 0)] = i;
        for (size_t i = 0; i < numbers.size(); ++i) {
            const auto it = rowOf.find(numbers[i]);
            if (it != rowOf.end()) r.BytesInto(it->second, 1, dirivs[i]);
        }
        return call.Commit();
    });
}

bool CPgStore::WriteRecord(const std::string& db, int64_t number, StrataWrite how, const std::string& diriv,
                           StrataStatus& st) {
    CMARC record;
    if (!StrataCheckWrittenRecord(diriv, number, how, record, st)) return false;
    CPgCall call(*this, st);
    int64_t id = 0;
    std::vector<StrataStoreKey> keys;
    std::string old;
    bool found = false;
    // The database row is locked first: writers of one database take their turns, as in the
    // embedded store, so index entries and counts never interleave.
    CPgResult lock;
    if (!call.Ok() || !call.Begin(false) || !FindDatabase(call, db, id) ||
        !call.Run("SELECT 1 FROM databases WHERE id=$1 FOR UPDATE", {id}, lock, "write record") ||
        !LoadKeys(call, id, keys) || !GetRecordText(call, id, number, old, found, true)) {
        return false;
    }
    if (found && how == StrataWrite::kInsert) {
        return st.Set(kStrataRecordExists, "record " + std::to_string(number) + " in [" + db + "]");
    }
    if (!found && (how == StrataWrite::kReplace || how == StrataWrite::kDelete)) {
        return st.Set(kStrataNoSuchRecord, "record " + std::to_string(number) + " in [" + db + "]");
    }
    if (found) {
        CMARC oldRecord;
        std::string error;
        std::vector<StrataPosting> postings;
        if (oldRecord.Parse(old, error) >= 0) StrataCollectPostings(keys, oldRecord, number, postings);
        if (!WritePostings(call, postings, true) || !RemoveSortValues(call, id, {number})) return false;
    }
    if (how == StrataWrite::kDelete) {
        if (!call.Run("DELETE FROM records WHERE db=$1 AND num=$2", {id, number}, "delete record")) return false;
    } else {
        std::vector<StrataPosting> postings;
        StrataCollectPostings(keys, record, number, postings);
        std::vector<StrataSortValue> values;
        StrataCollectSortValues(keys, record, number, values);
        if (!call.Run("INSERT INTO records(db, num, diriv) VALUES($1, $2, $3)"
                      " ON CONFLICT(db, num) DO UPDATE SET diriv=EXCLUDED.diriv",
                      {id, number, diriv}, "write record") ||
            !WritePostings(call, postings, false) || !WriteSortValues(call, values)) {
            return false;
        }
    }
    const int64_t delta = how == StrataWrite::kDelete ? -1 : (found ? 0 : 1);
    if (!call.Run("UPDATE databases SET records=records+$2, gen=gen+1 WHERE id=$1", {id, delta}, "count records")) {
        return false;
    }
    m_lastHits = HitList();
    if (!call.Commit()) return false;
    NoteWritePosition(call);
    return true;
}

void CPgStore::NoteWritePosition(CPgCall& call) {
    if (!m_pool->ReadServers()) return;
    // The insert position: with asynchronous commits the commit record may not be written yet.
    ++call.Pool().m_roundTrips;
    CPgResult r(PQexec(call.Connection(), "SELECT pg_current_wal_insert_lsn()::text"));
    // A position that cannot be read sends this channel's reads to the primary until its next write.
    const bool ok = PQresultStatus(r.Get()) == PGRES_TUPLES_OK && r.Rows() == 1;
    m_writePosition = ok ? PQgetvalue(r.Get(), 0, 0) : kPgOnPrimary;
}

int CPgStore::LoadRecords(const std::string& db, const std::vector<std::string>& dirivs,
                          std::vector<StrataRejectedRecord>& rejected, StrataStatus& st) {
    std::vector<CMARC> records;
    std::map<int64_t, size_t> lastOf;
    StrataCheckBatch(dirivs, records, lastOf, rejected);
    CPgCall call(*this, st);
    int64_t id = 0;
    std::vector<StrataStoreKey> keys;
    CPgResult lock, old;
    std::vector<int64_t> numbers;
    for (const auto& entry : lastOf) numbers.push_back(entry.first);
    if (!call.Ok() || !call.Begin(false) || !FindDatabase(call, db, id) ||
        !call.Run("SELECT 1 FROM databases WHERE id=$1 FOR UPDATE", {id}, lock, "load records") ||
        !LoadKeys(call, id, keys) ||
        !call.Run("DELETE FROM records WHERE db=$1 AND num = ANY($2::bigint[]) RETURNING num, diriv",
                  {id, CPgParam::Text(NumberArray(numbers))}, old, "load records")) {
        return -1;
    }
    // Index entries of the records being replaced go first.
    std::vector<StrataPosting> stale;
    for (int i = 0; i < old.Rows(); ++i) {
        CMARC oldRecord;
        std::string error;
        if (oldRecord.Parse(old.Bytes(i, 1), error) >= 0) StrataCollectPostings(keys, oldRecord, old.Int(i, 0), stale);
    }
    std::vector<int64_t> replaced;
    for (int i = 0; i < old.Rows(); ++i) replaced.push_back(old.Int(i, 0));
    if (!WritePostings(call, stale, true) || !RemoveSortValues(call, id, replaced)) return -1;
    std::string rows;
    std::vector<StrataPosting> postings;
    std::vector<StrataSortValue> values;
    for (const auto& [number, position] : lastOf) {
        rows += std::to_string(id) + '\t' + std::to_string(number) + '\t';
        PgAppendCopyBytes(rows, dirivs[position]);
        rows += '\n';
        StrataCollectPostings(keys, records[position], number, postings);
        StrataCollectSortValues(keys, records[position], number, values);
    }
    const int64_t added = int64_t(lastOf.size()) - old.Rows();
    if (!call.Copy("COPY records(db, num, diriv) FROM STDIN", rows, "load records") ||
        !AppendPostings(call, postings) || !WriteSortValues(call, values) ||
        !call.Run("UPDATE databases SET records=records+$2 WHERE id=$1", {id, added}, "count records") ||
        !BumpGeneration(call, id) || !call.Commit()) {
        return -1;
    }
    // Fresh statistics after a bulk load, so that the planner drives searches by the index.
    if (!call.Run("ANALYZE records, postings, sortkeys", {}, "analyze")) return -1;
    std::sort(rejected.begin(), rejected.end(),
              [](const StrataRejectedRecord& a, const StrataRejectedRecord& b) { return a.m_position < b.m_position; });
    return int(lastOf.size());
}

int64_t CPgStore::NextRecordNumber(const std::string& db, StrataStatus& st) {
    CPgCall call(*this, st);
    int64_t id = 0;
    CPgResult r;
    if (!call.Ok() || !FindDatabase(call, db, id) ||
        !call.Run("SELECT coalesce(max(num), 0) FROM records WHERE db=$1", {id}, r, "next record number")) {
        return -1;
    }
    const int64_t next = r.Int(0, 0) + 1;
    if (next > kStrataMaxRecordNumber) {
        st.Set(kStrataBadArgument, "database [" + db + "] has no free record number left");
        return -1;
    }
    return next;
}

int64_t CPgStore::ForEachRecord(const std::string& db, const std::function<bool(int64_t, const std::string&)>& visit,
                                StrataStatus& st) {
    // Slices of records, each read with its own short call, so the visitor may call back into
    // this store and no connection is held while it works.
    constexpr int64_t kSlice = 2000;
    int64_t count = 0;
    int64_t after = 0;
    for (;;) {
        CPgResult r;
        {
            CPgCall call(*this, st);
            int64_t id = 0;
            if (!call.Ok() || !FindDatabase(call, db, id) ||
                !call.Run("SELECT num, diriv FROM records WHERE db=$1 AND num>$2 ORDER BY num LIMIT $3",
                          {id, after, kSlice}, r, "read records")) {
                return -1;
            }
        }
        for (int i = 0; i < r.Rows(); ++i) {
            ++count;
            after = r.Int(i, 0);
            if (!visit(after, r.Bytes(i, 1))) return count;
        }
        if (r.Rows() < kSlice) return count;
    }
}

bool CPgStore::Reindex(const std::string& db, StrataStatus& st) {
    CPgCall call(*this, st);
    int64_t id = 0;
    return call.Ok() && call.Begin(false) && FindDatabase(call, db, id) && ReindexLocked(call, id) && call.Commit() &&
           call.Run("ANALYZE postings, sortkeys", {}, "analyze");
}

bool CPgStore::ReindexLocked(CPgCall& call, int64_t db) {
    CPgResult r;
    if (!call.Run("DELETE FROM postings WHERE k IN (SELECT id FROM keys WHERE db=$1 UNION ALL SELECT -id FROM keys WHERE db=$1)", {db}, "reindex") ||
        !DropSortValues(call, db) || !call.Run("DELETE FROM keys WHERE db=$1", {db}, "reindex") ||
        !call.Run("SELECT content FROM cfgfiles WHERE db=$1 AND fold='\\x6b6579732e636667'::bytea", {db}, r, "reindex")) {
        return false;
    }
    if (r.Rows() == 0) return BumpGeneration(call, db);  // no keys.cfg: nothing is searchable
    std::vector<CKeyEntry> entries;
    std::string error;
    if (!StrataParseKeys(r.Bytes(0, 0), entries, error)) return call.Status().Set(kStrataBadArgument, error);
    for (const CKeyEntry& entry : entries) {
        if (!call.Run("INSERT INTO keys(db, name, fold, fields) VALUES($1, $2, $3, $4)"
                      " ON CONFLICT(db, fold) DO UPDATE SET name=EXCLUDED.name, fields=EXCLUDED.fields",
                      {db, entry.m_name, StrataFold(entry.m_name), StrataFieldsText(entry)}, "reindex")) {
            return false;
        }
    }
    std::vector<StrataStoreKey> keys;
    if (!LoadKeys(call, db, keys)) return false;
    // Slices keep memory bounded on large databases.
    constexpr int64_t kSlice = 20000;
    int64_t keyed = 0;
    for (int64_t after = 0;;) {
        CPgResult slice;
        if (!call.Run("SELECT num, diriv FROM records WHERE db=$1 AND num>$2 ORDER BY num LIMIT $3",
                      {db, after, kSlice}, slice, "reindex")) {
            return false;
        }
        std::vector<StrataPosting> postings;
        std::vector<StrataSortValue> values;
        for (int i = 0; i < slice.Rows(); ++i) {
            CMARC record;
            after = slice.Int(i, 0);
            if (record.Parse(slice.Bytes(i, 1), error) < 0) continue;
            StrataCollectPostings(keys, record, after, postings);
            StrataCollectSortValues(keys, record, after, values);
        }
        if (!AppendPostings(call, postings) || !WriteSortValues(call, values)) return false;
        keyed += slice.Rows();
        StrataReindexProgress(db, keyed, slice.Rows() < kSlice && keyed > 0);
        if (slice.Rows() < kSlice) return BumpGeneration(call, db);
    }
}

