// CPgStore::ScanTerms: a key's index terms and their counts, read from the postings table in
// token order (bytea compares octet by octet, as the embedded store's text does).
#include <algorithm>

#include "backend/strata/pg_store.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_keys.h"
#include "berkit/codepage.h"

bool CPgStore::ScanTerms(const std::string& db, const std::string& keyName, const std::string& ansiTerm, bool before,
                         size_t skip, size_t limit, std::vector<StrataTermCount>& terms, StrataStatus& st) {
    return OnReadServer(st, [&](CPgCall& call) {
        terms.clear();
        int64_t dbId = 0;
        StrataStoreKey key;
        if (!call.Begin(true) || !FindDatabase(call, db, dbId) || !FindKey(call, dbId, keyName, key)) return false;
        const std::string from =
            StrataScanStart(ansiTerm.empty() ? ansiTerm : AnsiToUtf8(ansiTerm), KeyFolding(key.m_entry));
        CPgResult r;
        const int64_t count = int64_t(std::min(limit, kStrataMaxScanTerms));
        if (!call.Run(before ? "SELECT tok, sum(n)::bigint FROM postings WHERE k=$1 AND tok<$2"
                               " GROUP BY tok ORDER BY tok DESC LIMIT $3 OFFSET $4"
                             : "SELECT tok, sum(n)::bigint FROM postings WHERE k=$1 AND tok>=$2"
                               " GROUP BY tok ORDER BY tok LIMIT $3 OFFSET $4",
                      {key.m_id, from, count, int64_t(skip)}, r, "scan")) {
            return false;
        }
        for (int i = 0; i < r.Rows(); ++i) terms.push_back(StrataTermCount{r.Bytes(i, 0), r.Int(i, 1)});
        return call.Commit();
    });
}
