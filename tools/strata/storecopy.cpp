#include "storecopy.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>

#include "backend/marc/cvtdiriv.h"
#include "backend/strata/strata_admin.h"

namespace {

constexpr size_t kBatch = 50000;  // records per load transaction

// "strata: copying DB: N of M records" on stderr, rewritten at most twice a second, ended when
// `done`. Silent when stderr is not a terminal.
void CopyProgress(const std::string& db, int64_t copied, int64_t total, bool done) {
    static const bool terminal = isatty(STDERR_FILENO) != 0;
    static std::chrono::steady_clock::time_point last;
    if (!terminal) return;
    const auto now = std::chrono::steady_clock::now();
    if (!done && now - last < std::chrono::milliseconds(500)) return;
    last = now;
    std::fprintf(stderr, "\rstrata: copying %s: %lld of %lld records%s", db.c_str(), static_cast<long long>(copied),
                 static_cast<long long>(total), done ? "\n" : "");
}

// One database's records as their ISO 2709 export, record by record (number, bytes).
int ExportRecords(CStrataAdmin& admin, const std::string& db, std::vector<std::pair<int64_t, std::string>>& out,
                  std::string& error) {
    out.clear();
    std::string why;
    const int64_t n = admin.ForEachRecord(db, [&](int64_t number, const std::string& diriv) {
        CByteArray iso;
        if (CvtDirivToISO2709(diriv, iso, 0, why) < 0) iso.clear();  // compared as empty on both sides
        out.emplace_back(number, std::string(iso.begin(), iso.end()));
        return true;
    }, error);
    return n < 0 ? -1 : 0;
}

int Differ(std::string& error, const std::string& what) {
    error = "copy differs: " + what;
    return -1;
}

}  // namespace

int CompareStores(const std::string& a, const std::string& b, std::string& error) {
    auto left = CStrataAdmin::Open(a, error);
    if (!left) return -1;
    auto right = CStrataAdmin::Open(b, error);
    if (!right) return -1;
    std::vector<StrataDatabaseInfo> dbsA, dbsB;
    if (left->ListDatabases(dbsA, error) < 0 || right->ListDatabases(dbsB, error) < 0) return -1;
    if (dbsA.size() != dbsB.size()) return Differ(error, "number of databases");
    for (size_t i = 0; i < dbsA.size(); ++i) {
        const std::string& db = dbsA[i].m_name;
        if (db != dbsB[i].m_name || dbsA[i].m_records != dbsB[i].m_records) {
            return Differ(error, "database " + db + " (name or record count)");
        }
        std::vector<std::string> filesA, filesB;
        if (left->ListCfgFiles(db, filesA, error) < 0 || right->ListCfgFiles(db, filesB, error) < 0) return -1;
        if (filesA != filesB) return Differ(error, db + "/cfgs file list");
        for (const std::string& f : filesA) {
            std::string ca, cb;
            if (left->GetCfgFile(db, f, ca, error) < 0 || right->GetCfgFile(db, f, cb, error) < 0) return -1;
            if (ca != cb) return Differ(error, db + "/cfgs/" + f);
        }
        std::vector<std::pair<int64_t, std::string>> ra, rb;
        if (ExportRecords(*left, db, ra, error) < 0 || ExportRecords(*right, db, rb, error) < 0) return -1;
        if (ra.size() != rb.size()) return Differ(error, db + " export length");
        for (size_t r = 0; r < ra.size(); ++r) {
            if (ra[r] != rb[r]) return Differ(error, db + " record " + std::to_string(ra[r].first));
        }
    }
    std::vector<StrataAccountInfo> accA, accB;
    if (left->ExportAccounts(accA, error) < 0 || right->ExportAccounts(accB, error) < 0) return -1;
    if (accA.size() != accB.size()) return Differ(error, "number of accounts");
    for (size_t i = 0; i < accA.size(); ++i) {
        const StrataAccountInfo& x = accA[i];
        const StrataAccountInfo& y = accB[i];
        if (x.m_name != y.m_name || x.m_rights != y.m_rights || x.m_salt != y.m_salt || x.m_hash != y.m_hash) {
            return Differ(error, "account " + x.m_name);
        }
    }
    return 0;
}

int CopyStore(const std::string& from, const std::string& to, std::ostream& out, std::string& error) {
    auto source = CStrataAdmin::Open(from, error);
    if (!source) return -1;
    auto target = CStrataAdmin::Create(to, error);
    if (!target) return -1;
    std::vector<StrataAccountInfo> accounts;
    if (source->ExportAccounts(accounts, error) < 0) return -1;
    for (const StrataAccountInfo& a : accounts) {
        if (target->ImportAccount(a, error) < 0) return -1;
    }
    std::vector<StrataDatabaseInfo> dbs;
    if (source->ListDatabases(dbs, error) < 0) return -1;
    for (const StrataDatabaseInfo& db : dbs) {
        if (target->AddDatabase(db.m_name, error) < 0) return -1;
        std::vector<std::string> files;
        if (source->ListCfgFiles(db.m_name, files, error) < 0) return -1;
        // keys.cfg first: the records loaded after it are indexed as they go in.
        std::stable_partition(files.begin(), files.end(), [](const std::string& f) { return f == "keys.cfg"; });
        for (const std::string& f : files) {
            std::string content;
            if (source->GetCfgFile(db.m_name, f, content, error) < 0 ||
                target->PutCfgFile(db.m_name, f, content, error) < 0) {
                return -1;
            }
        }
        std::vector<std::string> batch;
        int64_t copied = 0;
        bool failed = false;
        auto flush = [&]() {
            std::vector<StrataRejectedRecord> rejected;
            const int n = target->LoadRecords(db.m_name, batch, rejected, error);
            if (n < 0 || !rejected.empty()) {
                if (n >= 0) error = db.m_name + ": record refused by the target: " + rejected[0].m_reason;
                failed = true;
                return false;
            }
            copied += n;
            batch.clear();
            CopyProgress(db.m_name, copied, db.m_records, false);
            return true;
        };
        const int64_t seen = source->ForEachRecord(db.m_name, [&](int64_t, const std::string& diriv) {
            batch.push_back(diriv);
            return batch.size() < kBatch || flush();
        }, error);
        if (seen < 0 || failed || (!batch.empty() && !flush())) return -1;
        CopyProgress(db.m_name, copied, db.m_records, true);
        out << db.m_name << ": " << copied << " records, " << files.size() << " cfgs files copied\n";
    }
    out << accounts.size() << " accounts copied\n";
    if (isatty(STDERR_FILENO)) std::fprintf(stderr, "strata: verifying the copy\n");
    if (CompareStores(from, to, error) < 0) return -1;
    out << "verified: both stores export the same databases, cfgs files, accounts and records\n";
    return 0;
}
