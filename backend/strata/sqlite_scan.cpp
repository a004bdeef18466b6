// CSqliteStore::ScanTerms: a key's index terms and their counts, read from the postings table in
// token order (its primary key is (k, tok, last), so a scan is one range of that index).
#include <algorithm>

#include "backend/strata/sqlite_store.h"
#include "backend/strata/strata_errors.h"
#include "berkit/codepage.h"

bool CSqliteStore::ScanTerms(const std::string& db, const std::string& keyName, const std::string& ansiTerm,
                             bool before, size_t skip, size_t limit, std::vector<StrataTermCount>& terms,
                             StrataStatus& st) {
    terms.clear();
    CReadScope scope(*this);
    int64_t dbId = 0;
    StoreKey key;
    if (!FindDatabase(db, dbId, st) || !FindKey(dbId, keyName, key, st)) return false;
    const std::string from = StrataScanStart(ansiTerm.empty() ? ansiTerm : AnsiToUtf8(ansiTerm), KeyFolding(key.m_entry));
    CStmt s(Prepare(before ? "SELECT tok, total(n) FROM postings WHERE k=?1 AND tok<?2"
                             " GROUP BY tok ORDER BY tok DESC LIMIT ?3 OFFSET ?4"
                           : "SELECT tok, total(n) FROM postings WHERE k=?1 AND tok>=?2"
                             " GROUP BY tok ORDER BY tok LIMIT ?3 OFFSET ?4"));
    if (!s.Ok()) return SqlFail(st, "scan");
    s.Bind(1, key.m_id).Bind(2, from).Bind(3, int64_t(std::min(limit, kStrataMaxScanTerms))).Bind(4, int64_t(skip));
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) {
        if (m_cancel.load(std::memory_order_relaxed)) return st.Set(kStrataCancelled, "scan");
        terms.push_back(StrataTermCount{s.Text(0), s.Int(1)});
    }
    return rc == SQLITE_DONE || SqlFail(st, "scan");
}
