// CPgStore: the sort values of the records (strata_sortkeys.h) in the table
//   sortkeys(k, num, v)   PRIMARY KEY(k, num): key id, record number, value (bytea)
// so that the values of one key over a range of records are one range of the index.
#include <algorithm>

#include "backend/strata/pg_store.h"
#include "backend/strata/strata_errors.h"

const char* const kPgSortKeysTable =
    "CREATE TABLE IF NOT EXISTS sortkeys(k bigint NOT NULL, num bigint NOT NULL, v bytea NOT NULL,"
    " PRIMARY KEY(k, num))";

namespace {

std::string NumberList(const std::vector<int64_t>& numbers) {
    std::string text = "{";
    for (size_t i = 0; i < numbers.size(); ++i) text += (i ? "," : "") + std::to_string(numbers[i]);
    return text + "}";
}

}  // namespace

bool CPgStore::WriteSortValues(CPgCall& call, const std::vector<StrataSortValue>& values) {
    if (values.size() == 1) {
        const StrataSortValue& v = values.front();
        return call.Run("INSERT INTO sortkeys(k, num, v) VALUES($1, $2, $3) ON CONFLICT(k, num) DO UPDATE SET v=EXCLUDED.v",
                        {v.m_key, v.m_record, v.m_value}, "write sort values");
    }
    // The callers have removed the rows of these records first: the rows are new.
    std::string rows;
    for (const StrataSortValue& v : values) {
        rows += std::to_string(v.m_key) + '\t' + std::to_string(v.m_record) + '\t';
        PgAppendCopyBytes(rows, v.m_value);
        rows += '\n';
    }
    return rows.empty() || call.Copy("COPY sortkeys(k, num, v) FROM STDIN", rows, "write sort values");
}

bool CPgStore::RemoveSortValues(CPgCall& call, int64_t db, const std::vector<int64_t>& numbers) {
    return numbers.empty() ||
           call.Run("DELETE FROM sortkeys WHERE k IN (SELECT id FROM keys WHERE db=$1) AND num = ANY($2::bigint[])",
                    {db, CPgParam::Text(NumberList(numbers))}, "remove sort values");
}

bool CPgStore::DropSortValues(CPgCall& call, int64_t db) {
    return call.Run("DELETE FROM sortkeys WHERE k IN (SELECT id FROM keys WHERE db=$1)", {db}, "drop sort values");
}

bool CPgStore::AddSortValuesTable(CPgCall& call) {
    CPgResult dbs;
    if (!call.Run(kPgSortKeysTable, {}, "upgrade store") ||
        !call.Run("SELECT id FROM databases ORDER BY id", {}, dbs, "upgrade store")) {
        return false;
    }
    constexpr int64_t kSlice = 20000;
    for (int i = 0; i < dbs.Rows(); ++i) {
        const int64_t db = dbs.Int(i, 0);
        std::vector<StrataStoreKey> keys;
        if (!LoadKeys(call, db, keys) || !DropSortValues(call, db)) return false;
        for (int64_t after = 0; !keys.empty();) {
            CPgResult slice;
            if (!call.Run("SELECT num, diriv FROM records WHERE db=$1 AND num>$2 ORDER BY num LIMIT $3",
                          {db, after, kSlice}, slice, "upgrade store")) {
                return false;
            }
            std::vector<StrataSortValue> values;
            for (int row = 0; row < slice.Rows(); ++row) {
                CMARC record;
                std::string error;
                after = slice.Int(row, 0);
                if (record.Parse(slice.Bytes(row, 1), error) >= 0) StrataCollectSortValues(keys, record, after, values);
            }
            if (!WriteSortValues(call, values)) return false;
            if (slice.Rows() < kSlice) break;
        }
    }
    return true;
}

bool CPgStore::ReadSortValues(const std::string& db, const std::string& keyName, int64_t from, int64_t to,
                              const std::vector<int64_t>& numbers, size_t limit, std::vector<StrataSortValue>& values,
                              bool& numeric, StrataStatus& st) {
    return OnReadServer(st, [&](CPgCall& call) {
        values.clear();
        int64_t dbId = 0;
        StrataStoreKey key;
        if (!call.Begin(true) || !FindDatabase(call, db, dbId) || !FindKey(call, dbId, keyName, key)) return false;
        numeric = key.m_entry.m_type == CKeyType::kNumeric;
        const int64_t count = int64_t(std::min(limit, kStrataMaxSortValues));
        CPgResult r;
        const bool ok = numbers.empty()
                            ? call.Run("SELECT num, v FROM sortkeys WHERE k=$1 AND num BETWEEN $2 AND $3"
                                       " ORDER BY num LIMIT $4",
                                       {key.m_id, from, to, count}, r, "read sort values")
                            : call.Run("SELECT num, v FROM sortkeys WHERE k=$1 AND num = ANY($2::bigint[])"
                                       " AND num BETWEEN $3 AND $4 ORDER BY num LIMIT $5",
                                       {key.m_id, CPgParam::Text(NumberList(numbers)), from, to, count}, r,
                                       "read sort values");
        if (!ok) return false;
        values.resize(size_t(r.Rows()));
        for (int i = 0; i < r.Rows(); ++i) {
            values[size_t(i)].m_key = key.m_id;
            values[size_t(i)].m_record = r.Int(i, 0);
            r.BytesInto(i, 1, values[size_t(i)].m_value);
        }
        return call.Commit();
    });
}
