// The libpq driver's connections (pg_driver.h): its dialect of the engine's statements, prepared
// statements with binary parameters and results (lists as arrays), COPY in binary form, and the
// mapping of server errors to the channel's codes.
#include "backend/strata/pg_driver.h"

#include <endian.h>

#include <cstring>
#include <utility>

#include "backend/strata/strata_errors.h"

namespace {

// The dialect, in the order of StrataSql.
constexpr std::array<const char*, size_t(StrataSql::kCount)> kSql = {
    // accounts
    "SELECT salt, hash, rights FROM accounts WHERE name=$1",
    "INSERT INTO accounts(name, salt, hash, rights) VALUES($1, $2, $3, $4)",
    "UPDATE accounts SET salt=$2, hash=$3 WHERE name=$1",
    "UPDATE accounts SET rights=$2 WHERE name=$1",
    "DELETE FROM accounts WHERE name=$1",
    "SELECT name, rights, salt, hash FROM accounts ORDER BY name",
    "INSERT INTO accounts(name, salt, hash, rights) VALUES($1, $2, $3, $4)"
    " ON CONFLICT(name) DO UPDATE SET salt=EXCLUDED.salt, hash=EXCLUDED.hash, rights=EXCLUDED.rights",
    // databases and cfgs files
    "SELECT name, records, id FROM databases ORDER BY id",
    "INSERT INTO databases(name, fold) VALUES($1, $2)",
    "SELECT id, gen FROM databases WHERE fold=$1",
    "SELECT id, gen FROM databases WHERE fold=$1 FOR UPDATE",
    "SELECT d.id, d.gen, k.id, k.name, k.fields FROM databases d LEFT JOIN keys k ON k.db=d.id AND k.fold=$2"
    " WHERE d.fold=$1",
    "UPDATE databases SET records=records+$2, gen=gen+1 WHERE id=$1 RETURNING records",
    "UPDATE databases SET gen=gen+1 WHERE id=$1",
    "DELETE FROM postings WHERE k IN (SELECT id FROM keys WHERE db=$1 UNION ALL SELECT -id FROM keys WHERE db=$1)",
    "DELETE FROM keys WHERE db=$1",
    "DELETE FROM cfgfiles WHERE db=$1",
    "DELETE FROM records WHERE db=$1",
    "DELETE FROM databases WHERE id=$1",
    "SELECT content FROM cfgfiles WHERE db=$1 AND fold=$2",
    "INSERT INTO cfgfiles(db, name, fold, content) VALUES($1, $2, $3, $4)"
    " ON CONFLICT(db, fold) DO UPDATE SET name=EXCLUDED.name, content=EXCLUDED.content",
    "SELECT name FROM cfgfiles WHERE db=$1 ORDER BY fold",
    "INSERT INTO keys(db, name, fold, fields) VALUES($1, $2, $3, $4)"
    " ON CONFLICT(db, fold) DO UPDATE SET name=EXCLUDED.name, fields=EXCLUDED.fields",
    "SELECT id, name, fields FROM keys WHERE db=$1 ORDER BY id",
    // records
    "SELECT diriv FROM records WHERE db=$1 AND num=$2",
    "SELECT diriv FROM records WHERE db=$1 AND num=$2 FOR UPDATE",
    "SELECT num, diriv FROM records WHERE db=$1 AND num=ANY($2) ORDER BY num",
    "INSERT INTO records(db, num, diriv) VALUES($1, $2, $3) ON CONFLICT(db, num) DO UPDATE SET diriv=EXCLUDED.diriv",
    "DELETE FROM records WHERE db=$1 AND num=$2",
    "DELETE FROM records WHERE db=$1 AND num=ANY($2) RETURNING num, diriv",
    "SELECT coalesce(max(num), 0) FROM records WHERE db=$1",
    "SELECT num, diriv FROM records WHERE db=$1 AND num>$2 ORDER BY num LIMIT $3",
    // posting lists
    "SELECT last, data FROM postings WHERE k=$1 AND tok=$2 AND last>=$3 ORDER BY last LIMIT 1",
    "SELECT last, data FROM postings WHERE k=$1 AND tok=$2 ORDER BY last DESC LIMIT 1",
    "SELECT x, p.last, p.data FROM unnest($2::bytea[]) x,"
    " LATERAL (SELECT last, data FROM postings WHERE k=$1 AND tok=x ORDER BY last DESC LIMIT 1) p",
    "DELETE FROM postings WHERE k=$1 AND tok=$2 AND last=$3",
    "DELETE FROM postings p USING unnest($1::bigint[], $2::bytea[], $3::bigint[]) d(k, tok, last)"
    " WHERE p.k=d.k AND p.tok=d.tok AND p.last=d.last",
    "INSERT INTO postings(k, tok, last, n, data) VALUES($1, $2, $3, $4, $5)",
    "SELECT tok, data FROM postings WHERE k=$1 AND tok=ANY($2) ORDER BY tok, last",
    "SELECT data FROM postings WHERE k=$1 AND tok>=$2 AND tok<$3",
    // one index probe per distinct token (a loose index scan), not a walk of every block
    "WITH RECURSIVE t(tok) AS ((SELECT tok FROM postings WHERE k=$1 ORDER BY tok LIMIT 1)"
    " UNION ALL SELECT (SELECT p.tok FROM postings p WHERE p.k=$1 AND p.tok>t.tok ORDER BY p.tok LIMIT 1)"
    " FROM t WHERE t.tok IS NOT NULL) SELECT tok FROM t WHERE tok IS NOT NULL",
    "SELECT tok, sum(n)::bigint FROM postings WHERE k=$1 AND tok>=$2 GROUP BY tok ORDER BY tok LIMIT $3 OFFSET $4",
    "SELECT tok, sum(n)::bigint FROM postings WHERE k=$1 AND tok<$2 GROUP BY tok ORDER BY tok DESC LIMIT $3 OFFSET $4",
    // sort values
    "INSERT INTO sortkeys(k, num, v) VALUES($1, $2, $3) ON CONFLICT(k, num) DO UPDATE SET v=EXCLUDED.v",
    "DELETE FROM sortkeys WHERE k IN (SELECT id FROM keys WHERE db=$1) AND num=ANY($2)",
    "DELETE FROM sortkeys WHERE k IN (SELECT id FROM keys WHERE db=$1)",
    "SELECT num, v FROM sortkeys WHERE k=$1 AND num BETWEEN $2 AND $3 ORDER BY num LIMIT $4",
    "SELECT num, v FROM sortkeys WHERE k=$1 AND num=ANY($2) AND num BETWEEN $3 AND $4 ORDER BY num LIMIT $5",
    "ANALYZE records, postings, sortkeys",
};

// The tables bulk rows of an insert statement go to.
const char* CopySql(StrataSql id) {
    switch (id) {
    case StrataSql::kPutRecord: return "COPY records(db, num, diriv) FROM STDIN (FORMAT binary)";
    case StrataSql::kInsertBlock: return "COPY postings(k, tok, last, n, data) FROM STDIN (FORMAT binary)";
    case StrataSql::kPutSortValue: return "COPY sortkeys(k, num, v) FROM STDIN (FORMAT binary)";
    default: return nullptr;
    }
}

constexpr Oid kInt8 = 20, kBytea = 17, kInt8Array = 1016, kByteaArray = 1001;

void PutInt32(std::string& out, uint32_t v) {
    v = htobe32(v);
    out.append(reinterpret_cast<const char*>(&v), 4);
}

void PutInt64(std::string& out, int64_t v) {
    const uint64_t be = htobe64(uint64_t(v));
    out.append(reinterpret_cast<const char*>(&be), 8);
}

// A one-dimensional array in binary form: its elements, each with its length.
template <typename T, typename Put>
std::string BinaryArray(const std::vector<T>& v, Oid element, Put put) {
    std::string out;
    PutInt32(out, v.empty() ? 0 : 1);
    PutInt32(out, 0);  // no NULLs
    PutInt32(out, element);
    if (v.empty()) return out;
    PutInt32(out, uint32_t(v.size()));
    PutInt32(out, 1);
    for (const T& e : v) put(out, e);
    return out;
}

}  // namespace

// One prepared statement of a connection (or a statement the dialect leaves out).
class CPgStmt : public IStrataStmt {
public:
    CPgStmt(CPgConn& conn, StrataSql id) : m_conn(conn), m_id(id), m_name("s" + std::to_string(int(id))) {}
    ~CPgStmt() override { PQclear(m_result); }

    void BindInt(int i, int64_t v) override {
        Param& p = At(i, kInt8);
        p.m_value.clear();
        PutInt64(p.m_value, v);
    }
    void BindText(int i, std::string_view v) override { At(i, kBytea).m_value.assign(v); }
    void BindBlob(int i, std::string_view v) override { At(i, kBytea).m_value.assign(v); }
    void BindInts(int i, const std::vector<int64_t>& v) override {
        At(i, kInt8Array).m_value = BinaryArray(v, kInt8, [](std::string& out, int64_t e) {
            PutInt32(out, 8);
            PutInt64(out, e);
        });
    }
    void BindTexts(int i, const std::vector<std::string>& v) override {
        At(i, kByteaArray).m_value = BinaryArray(v, kBytea, [](std::string& out, const std::string& e) {
            PutInt32(out, uint32_t(e.size()));
            out += e;
        });
    }
    int Step(StrataStatus& st, const char* what) override {
        if (m_result == nullptr) return Execute(st, what) ? Advance() : kStrataFailed;
        return Advance();
    }
    int64_t Int(int c) override {
        if (PQgetisnull(m_result, m_row, c)) return 0;
        const char* v = PQgetvalue(m_result, m_row, c);
        switch (PQgetlength(m_result, m_row, c)) {
        case 8: { uint64_t x; memcpy(&x, v, 8); return int64_t(be64toh(x)); }
        case 4: { uint32_t x; memcpy(&x, v, 4); return int32_t(be32toh(x)); }
        case 2: { uint16_t x; memcpy(&x, v, 2); return int16_t(be16toh(x)); }
        default: return 0;
        }
    }
    std::string_view Bytes(int c) override {
        return std::string_view(PQgetvalue(m_result, m_row, c), size_t(PQgetlength(m_result, m_row, c)));
    }
    int64_t Changes() override { return m_changes; }
    bool Duplicate() override { return m_duplicate; }
    void Reset() override {
        PQclear(m_result);
        m_result = nullptr;
        for (Param& p : m_params) p.m_set = false;
        m_duplicate = false;
        m_changes = 0;
    }

private:
    struct Param {
        Oid m_type = 0;
        bool m_set = false;
        std::string m_value;
    };
    Param& At(int i, Oid type) {
        if (size_t(i) > m_params.size()) m_params.resize(size_t(i));
        Param& p = m_params[size_t(i) - 1];
        p.m_type = type;
        p.m_set = true;
        return p;
    }
    bool Execute(StrataStatus& st, const char* what) {
        if (m_conn.Cancelled()) return st.Set(kStrataCancelled, what);
        if (!m_conn.Settle(st)) return false;
        const size_t n = m_params.size();
        std::vector<Oid> types;  // what a PREPARE needs
        if (!m_prepared)
            for (const Param& p : m_params) types.push_back(p.m_set ? p.m_type : 0);
        std::vector<const char*> values(n);
        std::vector<int> lengths(n), formats(n, 1);
        for (size_t i = 0; i < n; ++i) {
            values[i] = m_params[i].m_set ? m_params[i].m_value.data() : nullptr;
            lengths[i] = int(m_params[i].m_value.size());
        }
        m_conn.CountRoundTrip();
        if (m_conn.PendingBegin() != nullptr) {
            if (!ExecuteAfterBegin(types, values, lengths, formats, st, what)) return false;
        } else {
            if (!m_prepared) {
                m_conn.CountRoundTrip();
                CPgResultGuard prep(PQprepare(m_conn.m_conn, m_name.c_str(), kSql[size_t(m_id)], int(n), types.data()));
                if (prep.Status() != PGRES_COMMAND_OK) return m_conn.Fail(prep.Get(), st, what);
                m_prepared = true;
            }
            m_result = PQexecPrepared(m_conn.m_conn, m_name.c_str(), int(n), values.data(), lengths.data(),
                                      formats.data(), 1);
        }
        m_row = -1;
        const ExecStatusType status = PQresultStatus(m_result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            m_conn.Fail(m_result, st, what);
            m_duplicate = m_conn.m_state == "23505";
            PQclear(m_result);
            m_result = nullptr;
            return false;
        }
        m_changes = atoll(PQcmdTuples(m_result));
        return true;
    }
    int Advance() { return ++m_row < PQntuples(m_result) ? kStrataRow : kStrataDone; }

    // The transaction's BEGIN, the statement's PREPARE when it is new, and the statement, sent
    // together in pipeline mode; the statement's result into m_result. False with st set when
    // the BEGIN or the PREPARE failed or the pipeline broke.
    bool ExecuteAfterBegin(const std::vector<Oid>& types, const std::vector<const char*>& values,
                           const std::vector<int>& lengths, const std::vector<int>& formats, StrataStatus& st,
                           const char* what) {
        PGconn* c = m_conn.m_conn;
        const int n = int(values.size());
        const bool prepare = !m_prepared;
        bool sent = PQenterPipelineMode(c) == 1 &&
                    PQsendQueryParams(c, m_conn.PendingBegin(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 1 &&
                    (!prepare || PQsendPrepare(c, m_name.c_str(), kSql[size_t(m_id)], n, types.data()) == 1) &&
                    PQsendQueryPrepared(c, m_name.c_str(), n, values.data(), lengths.data(), formats.data(), 1) == 1 &&
                    PQpipelineSync(c) == 1;
        // One result per query sent (BEGIN, PREPARE, the statement), each followed by a null,
        // then the sync. Two nulls in a row mean the connection went.
        std::vector<PGresult*> results;
        const size_t queries = prepare ? 3 : 2;
        size_t at = 0;
        bool synced = false, lastNull = false;
        while (sent && !synced) {
            PGresult* r = PQgetResult(c);
            if (r == nullptr) {
                if (lastNull) break;
                lastNull = true;
                ++at;
                continue;
            }
            lastNull = false;
            if (PQresultStatus(r) == PGRES_PIPELINE_SYNC) {
                synced = true;
                PQclear(r);
            } else if (at < queries && results.size() == at) {
                results.push_back(r);
            } else {
                PQclear(r);
            }
        }
        const bool left = PQpipelineStatus(c) == PQ_PIPELINE_OFF || PQexitPipelineMode(c) == 1;
        auto clear = [&results]() {
            for (PGresult* r : results) PQclear(r);
        };
        if (!sent || !synced || !left || results.size() != queries) {
            PGresult* failed = nullptr;
            for (PGresult* r : results) {
                const ExecStatusType s = PQresultStatus(r);
                if (!failed && s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK && s != PGRES_PIPELINE_ABORTED) failed = r;
            }
            m_conn.Fail(failed, st, what);
            m_conn.m_broken = true;  // whether the BEGIN ran is not known
            clear();
            return false;
        }
        m_conn.BeginSent();
        for (size_t i = 0; i + 1 < queries; ++i) {
            if (PQresultStatus(results[i]) != PGRES_COMMAND_OK) {
                m_conn.Fail(results[i], st, what);
                clear();
                return false;
            }
        }
        if (prepare) m_prepared = true;
        m_result = results.back();
        results.pop_back();
        clear();
        return true;
    }

    CPgConn& m_conn;
    const StrataSql m_id;
    const std::string m_name;
    bool m_prepared = false;
    std::vector<Param> m_params;
    PGresult* m_result = nullptr;
    int m_row = -1;
    int64_t m_changes = 0;
    bool m_duplicate = false;
};

namespace {

// Rows in COPY's binary form, sent in pieces of about kCopyChunk octets.
class CPgCopy : public IStrataCopy {
public:
    explicit CPgCopy(CPgConn& conn) : m_conn(conn) {
        m_data.assign("PGCOPY\n\377\r\n\0", 11);
        PutInt32(m_data, 0);  // flags
        PutInt32(m_data, 0);  // header extension
        m_rowStart = m_data.size();
        m_data.append(2, '\0');
    }
    ~CPgCopy() override {
        if (m_finished) return;
        // Abandoned: the server drops the rows sent.
        PQputCopyEnd(m_conn.m_conn, "abandoned");
        while (PGresult* r = PQgetResult(m_conn.m_conn)) PQclear(r);
    }
    void Int(int64_t v) override {
        PutInt32(m_data, 8);
        PutInt64(m_data, v);
        ++m_columns;
    }
    void Text(std::string_view v) override { Blob(v); }
    void Blob(std::string_view v) override {
        PutInt32(m_data, uint32_t(v.size()));
        m_data.append(v);
        ++m_columns;
    }
    bool EndRow(StrataStatus& st) override {
        const uint16_t count = htobe16(m_columns);
        memcpy(&m_data[m_rowStart], &count, 2);
        m_columns = 0;
        if (m_data.size() >= kCopyChunk && !Send(st)) return false;
        m_rowStart = m_data.size();
        m_data.append(2, '\0');
        return true;
    }
    bool Finish(StrataStatus& st) override {
        m_data.resize(m_rowStart);
        m_data.append("\xff\xff", 2);  // the trailer
        m_finished = true;
        if (!Send(st)) return false;
        if (PQputCopyEnd(m_conn.m_conn, nullptr) != 1) return m_conn.Fail(nullptr, st, "bulk write");
        bool ok = true;
        while (PGresult* r = PQgetResult(m_conn.m_conn)) {
            if (ok && PQresultStatus(r) != PGRES_COMMAND_OK) ok = m_conn.Fail(r, st, "bulk write");
            PQclear(r);
        }
        return ok;
    }

private:
    static constexpr size_t kCopyChunk = 1 << 20;
    bool Send(StrataStatus& st) {
        if (m_conn.Cancelled()) return st.Set(kStrataCancelled, "bulk write");
        if (PQputCopyData(m_conn.m_conn, m_data.data(), int(m_data.size())) != 1)
            return m_conn.Fail(nullptr, st, "bulk write");
        m_data.clear();
        return true;
    }

    CPgConn& m_conn;
    std::string m_data;
    size_t m_rowStart = 0;
    uint16_t m_columns = 0;
    bool m_finished = false;
};

}  // namespace

CPgConn::~CPgConn() {
    for (auto& s : m_statements) s.reset();
    PQfinish(m_conn);
}

bool CPgConn::Cancelled() const { return m_driver != nullptr && m_driver->Cancelled(); }

void CPgConn::CountRoundTrip() { ++m_pool.m_roundTrips; }

void CPgConn::CountSearch() { ++m_pool.m_searches; }

bool CPgConn::Fail(PGresult* r, StrataStatus& st, const char* what) {
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    m_state = state ? state : "";
    std::string message = PgOneLine(r ? PQresultErrorMessage(r) : PQerrorMessage(m_conn));
    if (message.size() > 400) message = message.substr(0, 400) + " ...";
    if (PQstatus(m_conn) != CONNECTION_OK || m_state.rfind("08", 0) == 0 || m_state.rfind("57P", 0) == 0) {
        m_broken = true;
        return st.Set(kStrataChannelBroken, "connection to the PostgreSQL server at " + m_pool.Target().m_address +
                                                " lost during " + what + ": " + message);
    }
    if (m_state == "57014" || Cancelled()) return st.Set(kStrataCancelled, what);
    return st.Set(kStrataStoreError, std::string(what) + ": " + message);
}

bool CPgConn::Settle(StrataStatus& st) {
    if (!m_commitPending) return true;
    m_commitPending = false;
    bool ok = true;
    while (PGresult* r = PQgetResult(m_conn)) {
        if (ok && PQresultStatus(r) != PGRES_COMMAND_OK) ok = Fail(r, st, "commit");
        PQclear(r);
    }
    if (ok && PQstatus(m_conn) != CONNECTION_OK) ok = Fail(nullptr, st, "commit");
    if (!ok) m_broken = true;
    return ok;
}

bool CPgConn::SettleAndBegin(StrataStatus& st, const char* what) {
    if (!Settle(st)) return false;
    const char* begin = std::exchange(m_beginPending, nullptr);
    return begin == nullptr || Exec(begin, st, what);
}

bool CPgConn::Exec(const char* sql, StrataStatus& st, const char* what, std::string* value) {
    if (!SettleAndBegin(st, what)) return false;
    CountRoundTrip();
    CPgResultGuard r(PQexec(m_conn, sql));
    if (r.Status() != PGRES_COMMAND_OK && r.Status() != PGRES_TUPLES_OK) return Fail(r.Get(), st, what);
    if (value) *value = PQntuples(r.Get()) > 0 ? PQgetvalue(r.Get(), 0, 0) : "";
    return true;
}

bool CPgConn::Begin(StrataTx tx, StrataStatus&) {
    m_beginPending = tx == StrataTx::kRead ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY" : "BEGIN";
    m_readOnly = tx == StrataTx::kRead;
    m_inTransaction = true;
    return true;
}

bool CPgConn::Commit(StrataStatus& st) {
    m_inTransaction = false;
    if (std::exchange(m_beginPending, nullptr)) return true;  // nothing was sent
    if (!m_readOnly) return Exec("COMMIT", st, "commit");
    // A read has nothing to lose at its end: its answer is read at the connection's next use.
    if (!Settle(st)) return false;
    if (PQsendQuery(m_conn, "COMMIT") != 1) {
        m_broken = true;
        return Fail(nullptr, st, "commit");
    }
    m_commitPending = true;
    return true;
}

void CPgConn::Rollback() {
    if (!m_inTransaction) return;
    m_inTransaction = false;
    if (std::exchange(m_beginPending, nullptr)) return;  // nothing was sent
    if (m_broken) return;
    StrataStatus ignored;
    if (!Exec("ROLLBACK", ignored, "rollback")) m_broken = true;
}

IStrataStmt* CPgConn::Statement(StrataSql id, StrataStatus&) {
    if (kSql[size_t(id)] == nullptr) {
        static CStrataNoStmt none;
        return &none;
    }
    std::unique_ptr<IStrataStmt>& slot = m_statements[size_t(id)];
    if (!slot) slot = std::make_unique<CPgStmt>(*this, id);
    return slot.get();
}

std::unique_ptr<IStrataCopy> CPgConn::Copy(StrataSql id, StrataStatus& st) {
    const char* sql = CopySql(id);
    if (sql == nullptr) {
        st.Set(kStrataStoreError, "no bulk form of this write");
        return nullptr;
    }
    if (!SettleAndBegin(st, "bulk write")) return nullptr;
    CountRoundTrip();
    CPgResultGuard start(PQexec(m_conn, sql));
    if (start.Status() != PGRES_COPY_IN) {
        Fail(start.Get(), st, "bulk write");
        return nullptr;
    }
    return std::make_unique<CPgCopy>(*this);
}

// The channel's side of the pools: leases routed by CPgReadServers, cancel handles, positions.
