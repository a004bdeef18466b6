// CStrataEngine: records with their index entries, bulk loads, export and reindexing.
#include <algorithm>
#include <functional>

#include "backend/strata/strata_engine.h"
#include "backend/strata/strata_errors.h"

namespace {

// Records whose postings a load or reindex gathers before it adds them to the lists.
constexpr size_t kPostingSlice = 20000;
// Records one statement of ForEachRecord reads.
constexpr int64_t kExportSlice = 2000;

// The postings of the stored record text `diriv`; none when it does not parse (a stored record
// always does; should it not, there is no index entry to remove).
void CollectStored(const std::vector<StrataStoreKey>& keys, std::string_view diriv, int64_t number,
                   std::vector<StrataPosting>& out) {
    CMARC record;
    std::string error;
    if (record.Parse(std::string(diriv), error) >= 0) StrataCollectPostings(keys, record, number, out);
}

// Walks the records of database `db` inside the call, kPostingSlice at a time in number order:
// `visit(number, record)` for each record that parses, then `slice(rows, last)` once the slice's
// statement is done (its rows, and whether it was the last), so that what the visitor gathered is
// written before the next slice is read. False when a read or `slice` fails.
bool WalkRecordSlices(CStrataCall& call, int64_t db, const char* what,
                      const std::function<void(int64_t, const CMARC&)>& visit,
                      const std::function<bool(int64_t, bool)>& slice) {
    for (int64_t after = 0;;) {
        int64_t rows = 0;
        {
            CQuery q(call, StrataSql::kRecordsAfter, what);
            q.Bind(1, db).Bind(2, after).Bind(3, int64_t(kPostingSlice));
            while (q.Next()) {
                ++rows;
                after = q.Int(0);
                CMARC record;
                std::string error;
                if (record.Parse(std::string(q.Bytes(1)), error) >= 0) visit(after, record);
            }
            if (q.Failed()) return false;
        }
        const bool last = rows < int64_t(kPostingSlice);
        if (!slice(rows, last)) return false;
        if (last) return true;
    }
}

}  // namespace

bool CStrataEngine::LoadKeys(CStrataCall& call, int64_t db, std::vector<StrataStoreKey>& keys) {
    keys.clear();
    CQuery q(call, StrataSql::kLoadKeys, "load keys");
    q.Bind(1, db);
    while (q.Next()) keys.push_back(StrataStoreKey{q.Int(0), StrataKeyFromText(q.Text(1), q.Text(2))});
    return !q.Failed();
}

bool CStrataEngine::GetRecordText(CStrataCall& call, int64_t db, int64_t number, std::string& diriv, bool& found,
                                  bool forWrite) {
    CQuery q(call, forWrite ? StrataSql::kGetRecordForWrite : StrataSql::kGetRecord, "read record");
    found = q.Bind(1, db).Bind(2, number).Next();
    if (found) diriv.assign(q.Bytes(0));
    return !q.Failed();
}

bool CStrataEngine::AddToCount(CStrataCall& call, int64_t db, int64_t delta, int64_t* count) {
    CQuery q(call, StrataSql::kCountRecords, "count records");
    if (q.Bind(1, db).Bind(2, delta).Next() && count) *count = q.Int(0);
    return q.Run();
}

bool CStrataEngine::ReadRecord(const std::string& db, int64_t number, std::string& diriv, StrataStatus& st) {
    return OnRead(st, [&](CStrataCall& call) {
        StrataDbKey found;
        bool exists = false;
        if (!FindDatabase(call, db, found) || !GetRecordText(call, found.m_db, number, diriv, exists)) return false;
        return exists || st.Set(kStrataNoData, "no record " + std::to_string(number) + " in [" + db + "]");
    });
}

bool CStrataEngine::ReadRecords(const std::string& db, const std::vector<int64_t>& numbers,
                                std::vector<std::string>& dirivs, StrataStatus& st) {
    return OnRead(st, [&](CStrataCall& call) {
        dirivs.assign(numbers.size(), std::string());
        StrataDbKey found;
        if (!FindDatabase(call, db, found)) return false;
        std::vector<int64_t> sorted(numbers);
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        CQuery q(call, StrataSql::kGetRecords, "read records");
        q.Bind(1, found.m_db).Bind(2, sorted);
        std::map<int64_t, std::string> byNumber;
        while (q.Next()) byNumber[q.Int(0)].assign(q.Bytes(1));
        if (q.Failed()) return false;
        for (size_t i = 0; i < numbers.size(); ++i) {
            const auto it = byNumber.find(numbers[i]);
            if (it != byNumber.end()) dirivs[i] = it->second;
        }
        return true;
    });
}

bool CStrataEngine::WriteRecord(const std::string& db, int64_t number, StrataWrite how, const std::string& diriv,
                                StrataStatus& st) {
    CMARC record;
    if (!StrataCheckWrittenRecord(diriv, number, how, record, st)) return false;
    return OnWrite(st, [&](CStrataCall& call) {
        // The database row is locked first where the server locks rows: writers of one database
        // take their turns, so index entries and counts never interleave.
        StrataDbKey found;
        std::vector<StrataStoreKey> keys;
        std::string old;
        bool exists = false;
        if (!FindDatabase(call, db, found, true) || !LoadKeys(call, found.m_db, keys) ||
            !GetRecordText(call, found.m_db, number, old, exists, true)) {
            return false;
        }
        const std::string which = "record " + std::to_string(number) + " in [" + db + "]";
        if (exists && how == StrataWrite::kInsert) return st.Set(kStrataRecordExists, which);
        if (!exists && (how == StrataWrite::kReplace || how == StrataWrite::kDelete))
            return st.Set(kStrataNoSuchRecord, which);
        std::vector<StrataPosting> postings;
        if (exists) CollectStored(keys, old, number, postings);
        const std::vector<int64_t> numbers = {number};
        if (!ApplyPostings(call, postings, true) ||
            (exists && !CQuery(call, StrataSql::kRemoveSortValues, "write record").Bind(1, found.m_db).Bind(2, numbers).Run()))
            return false;
        postings.clear();
        if (how == StrataWrite::kDelete) {
            if (!CQuery(call, StrataSql::kDeleteRecord, "delete record").Bind(1, found.m_db).Bind(2, number).Run())
                return false;
        } else {
            StrataCollectPostings(keys, record, number, postings);
            std::vector<StrataSortValue> values;
            StrataCollectSortValues(keys, record, number, values);
            if (!CQuery(call, StrataSql::kPutRecord, "write record").Bind(1, found.m_db).Bind(2, number).Blob(3, diriv).Run() ||
                !ApplyPostings(call, postings, false) || !WriteSortValues(call, values)) {
                return false;
            }
        }
        return AddToCount(call, found.m_db, how == StrataWrite::kDelete ? -1 : (exists ? 0 : 1));
    });
}

int CStrataEngine::LoadRecords(const std::string& db, const std::vector<std::string>& dirivs,
                               std::vector<StrataRejectedRecord>& rejected, StrataStatus& st) {
    // Check every record first; a number repeated in the batch keeps its last record.
    std::vector<CMARC> records;
    std::map<int64_t, size_t> lastOf;
    StrataCheckBatch(dirivs, records, lastOf, rejected);
    std::vector<int64_t> numbers;
    for (const auto& entry : lastOf) numbers.push_back(entry.first);
    int64_t replaced = 0, total = 0;
    CStrataCall call(*this, st);
    if (!call.Ok()) return -1;
    call.Conn().Bulk(true);
    const bool ok = call.Begin(StrataTx::kWrite) && [&] {
        StrataDbKey found;
        std::vector<StrataStoreKey> keys;
        if (!FindDatabase(call, db, found, true) || !LoadKeys(call, found.m_db, keys)) return false;
        // The records being replaced leave first, with their index entries.
        std::vector<StrataPosting> postings;
        std::vector<int64_t> replacedNumbers;
        {
            CQuery old(call, StrataSql::kTakeRecords, "load records");
            old.Bind(1, found.m_db).Bind(2, numbers);
            while (old.Next()) {
                replacedNumbers.push_back(old.Int(0));
                CollectStored(keys, old.Bytes(1), old.Int(0), postings);
            }
            if (old.Failed()) return false;
        }
        replaced = int64_t(replacedNumbers.size());
        if (!ApplyPostings(call, postings, true) ||
            (replaced > 0 && !CQuery(call, StrataSql::kRemoveSortValues, "load records")
                                  .Bind(1, found.m_db)
                                  .Bind(2, replacedNumbers)
                                  .Run())) {
            return false;
        }
        postings.clear();
        std::vector<StrataSortValue> values;
        // In slices: each slice's records go in bulk, then its index entries, which append to the
        // lists' final blocks since the numbers ascend.
        for (auto it = lastOf.begin(); it != lastOf.end();) {
            std::unique_ptr<IStrataCopy> copy = call.Conn().Copy(StrataSql::kPutRecord, st);
            if (!copy) return false;
            for (size_t inSlice = 0; it != lastOf.end() && inSlice < kPostingSlice; ++it, ++inSlice) {
                if (Cancelled()) return st.Set(kStrataCancelled, "load");
                const auto& [number, position] = *it;
                copy->Int(found.m_db);
                copy->Int(number);
                copy->Blob(dirivs[position]);
                if (!copy->EndRow(st)) return false;
                StrataCollectPostings(keys, records[position], number, postings);
                StrataCollectSortValues(keys, records[position], number, values);
                records[position] = CMARC();
            }
            if (!copy->Finish(st) || !AppendPostings(call, postings) || !WriteSortValues(call, values)) return false;
            postings.clear();
            values.clear();
        }
        return AddToCount(call, found.m_db, int64_t(lastOf.size()) - replaced, &total);
    }() && call.Commit();
    call.Conn().Bulk(false);
    if (!ok) return -1;
    // Fresh statistics when a load has at least doubled the database, so that the planner drives
    // searches by the index; a copy in many batches so analyzes a few times, not after each.
    if (2 * int64_t(lastOf.size()) >= total && !CQuery(call, StrataSql::kAnalyze, "analyze").Run()) return -1;
    std::sort(rejected.begin(), rejected.end(),
              [](const StrataRejectedRecord& a, const StrataRejectedRecord& b) { return a.m_position < b.m_position; });
    return int(lastOf.size());
}

int64_t CStrataEngine::NextRecordNumber(const std::string& db, StrataStatus& st) {
    CStrataCall call(*this, st);
    StrataDbKey found;
    if (!call.Ok() || !FindDatabase(call, db, found)) return -1;
    CQuery q(call, StrataSql::kMaxRecord, "next record number");
    if (!q.Bind(1, found.m_db).Next()) {
        if (!q.Failed()) st.Set(kStrataStoreError, "next record number: no answer");
        return -1;
    }
    const int64_t next = q.Int(0) + 1;
    if (next > kStrataMaxRecordNumber) {
        st.Set(kStrataBadArgument, "database [" + db + "] has no free record number left");
        return -1;
    }
    return next;
}

int64_t CStrataEngine::ForEachRecord(const std::string& db,
                                     const std::function<bool(int64_t, const std::string&)>& visit,
                                     StrataStatus& st) {
    // Slices of records, each read by a short call of its own, so that the visitor may call back
    // into this store and no connection is held while it works.
    int64_t count = 0;
    std::vector<std::pair<int64_t, std::string>> slice;
    for (int64_t after = 0;;) {
        slice.clear();
        {
            CStrataCall call(*this, st);
            StrataDbKey found;
            if (!call.Ok() || !FindDatabase(call, db, found)) return -1;
            CQuery q(call, StrataSql::kRecordsAfter, "read records");
            q.Bind(1, found.m_db).Bind(2, after).Bind(3, kExportSlice);
            while (q.Next()) slice.emplace_back(q.Int(0), q.Text(1));
            if (q.Failed()) return -1;
        }
        for (const auto& [number, diriv] : slice) {
            ++count;
            after = number;
            if (!visit(number, diriv)) return count;
        }
        if (int64_t(slice.size()) < kExportSlice) return count;
    }
}

bool CStrataEngine::Reindex(const std::string& db, StrataStatus& st) {
    CStrataCall call(*this, st);
    if (!call.Ok()) return false;
    call.Conn().Bulk(true);
    StrataDbKey found;
    const bool ok = call.Begin(StrataTx::kWrite) && FindDatabase(call, db, found, true) &&
                    ReindexLocked(call, found.m_db) && call.Commit();
    call.Conn().Bulk(false);
    return ok && CQuery(call, StrataSql::kAnalyze, "analyze").Run();
}

bool CStrataEngine::ReindexLocked(CStrataCall& call, int64_t db) {
    StrataStatus& st = call.Status();
    if (!CQuery(call, StrataSql::kDropPostings, "reindex").Bind(1, db).Run() ||
        !CQuery(call, StrataSql::kDropSortValues, "reindex").Bind(1, db).Run() ||
        !CQuery(call, StrataSql::kDropKeys, "reindex").Bind(1, db).Run()) {
        return false;
    }
    std::string text;
    {
        CQuery q(call, StrataSql::kReadCfgFile, "reindex");
        const bool any = q.Bind(1, db).Bind(2, std::string("keys.cfg")).Next();
        if (q.Failed()) return false;
        // No keys.cfg: nothing is searchable.
        if (!any) return CQuery(call, StrataSql::kBumpGeneration, "reindex").Bind(1, db).Run();
        text = q.Text(0);
    }
    std::vector<CKeyEntry> entries;
    std::string error;
    if (!StrataParseKeys(text, entries, error)) return st.Set(kStrataBadArgument, error);
    for (const CKeyEntry& entry : entries) {
        if (!CQuery(call, StrataSql::kPutKey, "reindex")
                 .Bind(1, db)
                 .Bind(2, entry.m_name)
                 .Bind(3, StrataFold(entry.m_name))
                 .Bind(4, StrataFieldsText(entry))
                 .Run()) {
            return false;
        }
    }
    std::vector<StrataStoreKey> keys;
    if (!LoadKeys(call, db, keys)) return false;
    // Slices keep memory bounded on large databases.
    if (Cancelled()) return st.Set(kStrataCancelled, "reindex");
    int64_t keyed = 0;
    std::vector<StrataPosting> postings;
    std::vector<StrataSortValue> values;
    const auto visit = [&](int64_t number, const CMARC& record) {
        StrataCollectPostings(keys, record, number, postings);
        StrataCollectSortValues(keys, record, number, values);
    };
    const auto slice = [&](int64_t rows, bool last) {
        if (!AppendPostings(call, postings) || !WriteSortValues(call, values)) return false;
        postings.clear();
        values.clear();
        keyed += rows;
        if (keyed > 0) StrataReindexProgress(db, keyed, last);
        return last || !Cancelled() || st.Set(kStrataCancelled, "reindex");
    };
    return WalkRecordSlices(call, db, "reindex", visit, slice) &&
           CQuery(call, StrataSql::kBumpGeneration, "reindex").Bind(1, db).Run();
}

bool CStrataEngine::WriteSortValues(CStrataCall& call, const std::vector<StrataSortValue>& values) {
    if (values.size() == 1) {
        const StrataSortValue& v = values.front();
        return CQuery(call, StrataSql::kPutSortValue, "write sort values")
            .Bind(1, v.m_key)
            .Bind(2, v.m_record)
            .Blob(3, v.m_value)
            .Run();
    }
    if (values.empty()) return true;
    std::unique_ptr<IStrataCopy> copy = call.Conn().Copy(StrataSql::kPutSortValue, call.Status());
    if (!copy) return false;
    for (const StrataSortValue& v : values) {
        copy->Int(v.m_key);
        copy->Int(v.m_record);
        copy->Blob(v.m_value);
        if (!copy->EndRow(call.Status())) return false;
    }
    return copy->Finish(call.Status());
}

bool CStrataEngine::FillSortValues(CStrataCall& call, int64_t db) {
    std::vector<StrataStoreKey> keys;
    if (!LoadKeys(call, db, keys) || !CQuery(call, StrataSql::kDropSortValues, "add sort values").Bind(1, db).Run())
        return false;
    if (keys.empty()) return true;
    std::vector<StrataSortValue> values;
    return WalkRecordSlices(
        call, db, "add sort values",
        [&](int64_t number, const CMARC& record) { StrataCollectSortValues(keys, record, number, values); },
        [&](int64_t, bool) {
            const bool written = WriteSortValues(call, values);
            values.clear();
            return written;
        });
}
