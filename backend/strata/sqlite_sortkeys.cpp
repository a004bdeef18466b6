// CSqliteStore: the sort values of the records (strata_sortkeys.h) in the table
//   sortkeys(k, id, v)   PRIMARY KEY(k, id), WITHOUT ROWID: key id, record number, value
// so that the values of one key over a range of records are one range of the index.
#include <algorithm>

#include "backend/strata/sqlite_store.h"
#include "backend/strata/strata_errors.h"

const char* const kSqliteSortKeysTable =
    "CREATE TABLE IF NOT EXISTS sortkeys(k INTEGER NOT NULL, id INTEGER NOT NULL, v BLOB NOT NULL,"
    " PRIMARY KEY(k, id)) WITHOUT ROWID";

bool CSqliteStore::WriteSortValues(const std::vector<StrataSortValue>& values, StrataStatus& st) {
    for (const StrataSortValue& value : values) {
        CStmt s(Prepare("INSERT OR REPLACE INTO sortkeys(k, id, v) VALUES(?1, ?2, ?3)"));
        if (!s.Ok() || s.Bind(1, value.m_key).Bind(2, value.m_record).BindBlob(3, value.m_value).Step() != SQLITE_DONE)
            return SqlFail(st, "write sort values");
    }
    return true;
}

bool CSqliteStore::RemoveSortValues(const std::vector<StoreKey>& keys, int64_t number, StrataStatus& st) {
    for (const StoreKey& key : keys) {
        CStmt s(Prepare("DELETE FROM sortkeys WHERE k=?1 AND id=?2"));
        if (!s.Ok() || s.Bind(1, key.m_id).Bind(2, number).Step() != SQLITE_DONE)
            return SqlFail(st, "remove sort values");
    }
    return true;
}

bool CSqliteStore::DropSortValues(int64_t db, StrataStatus& st) {
    CStmt s(Prepare("DELETE FROM sortkeys WHERE k IN (SELECT id FROM keys WHERE db=?1)"));
    return (s.Ok() && s.Bind(1, db).Step() == SQLITE_DONE) || SqlFail(st, "drop sort values");
}

bool CSqliteStore::AddSortValuesTable(StrataStatus& st) {
    CBulkCache cache(m_db);
    if (!Begin(st)) return false;
    bool ok = Exec(kSqliteSortKeysTable, st);
    std::vector<int64_t> dbs;
    if (ok) {
        CStmt s(Prepare("SELECT id FROM databases ORDER BY id"));
        int rc = SQLITE_ERROR;
        while (s.Ok() && (rc = s.Step()) == SQLITE_ROW) dbs.push_back(s.Int(0));
        ok = rc == SQLITE_DONE || SqlFail(st, "add sort values");
    }
    for (size_t i = 0; ok && i < dbs.size(); ++i) {
        std::vector<StoreKey> keys;
        ok = LoadKeys(dbs[i], keys, st);
        std::vector<StrataSortValue> values;
        CStmt s(Prepare("SELECT id, diriv FROM records WHERE id BETWEEN ?1 AND ?2"));
        if (ok && !s.Ok()) ok = SqlFail(st, "add sort values");
        if (!ok || keys.empty()) continue;
        s.Bind(1, dbs[i] * kRecordIdBase).Bind(2, dbs[i] * kRecordIdBase + kStrataMaxRecordNumber);
        int rc;
        while (ok && (rc = s.Step()) == SQLITE_ROW) {
            CMARC record;
            std::string error;
            if (record.Parse(s.Text(1), error) >= 0)
                StrataCollectSortValues(keys, record, s.Int(0) - dbs[i] * kRecordIdBase, values);
        }
        ok = ok && (rc == SQLITE_DONE || SqlFail(st, "add sort values")) && WriteSortValues(values, st);
    }
    ok = ok && Exec("UPDATE meta SET v='velkan-strata-4' WHERE k='format'", st);
    if (!ok) {
        Rollback();
        return false;
    }
    return Commit(st);
}

bool CSqliteStore::ReadSortValues(const std::string& db, const std::string& keyName, int64_t from, int64_t to,
                                  const std::vector<int64_t>& numbers, size_t limit,
                                  std::vector<StrataSortValue>& values, bool& numeric, StrataStatus& st) {
    values.clear();
    CReadScope scope(*this);
    int64_t dbId = 0;
    StoreKey key;
    if (!FindDatabase(db, dbId, st) || !FindKey(dbId, keyName, key, st)) return false;
    numeric = key.m_entry.m_type == CKeyType::kNumeric;
    limit = std::min(limit, kStrataMaxSortValues);
    if (numbers.empty()) {
        CStmt s(Prepare("SELECT id, v FROM sortkeys WHERE k=?1 AND id BETWEEN ?2 AND ?3 ORDER BY id LIMIT ?4"));
        if (!s.Ok()) return SqlFail(st, "read sort values");
        s.Bind(1, key.m_id).Bind(2, from).Bind(3, to).Bind(4, int64_t(limit));
        int rc;
        while ((rc = s.Step()) == SQLITE_ROW) {
            values.push_back(StrataSortValue{key.m_id, s.Int(0), std::string()});
            s.TextInto(1, values.back().m_value);
        }
        return rc == SQLITE_DONE || SqlFail(st, "read sort values");
    }
    for (const int64_t number : numbers) {
        if (number < from || number > to) continue;
        if (values.size() == limit) break;
        if (m_cancel.load(std::memory_order_relaxed)) return st.Set(kStrataCancelled, "read sort values");
        CStmt s(Prepare("SELECT v FROM sortkeys WHERE k=?1 AND id=?2"));
        if (!s.Ok()) return SqlFail(st, "read sort values");
        const int rc = s.Bind(1, key.m_id).Bind(2, number).Step();
        if (rc == SQLITE_ROW) {
            values.push_back(StrataSortValue{key.m_id, number, std::string()});
            s.TextInto(0, values.back().m_value);
        } else if (rc != SQLITE_DONE) {
            return SqlFail(st, "read sort values");
        }
    }
    return true;
}
