#pragma once
// A fresh database on the test PostgreSQL cluster for one test, dropped at the end. The cluster
// (scripts/pg_cluster.sh, started by the ctest fixture "pgcluster") is found through
// $VELKAN_PG_CONNINFO or $VELKAN_BINARY_DIR/pgtest/conninfo; a missing cluster fails the test.

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "backend/strata/strata_channel.h"

class CPgTestDatabase {
public:
    ~CPgTestDatabase() { Drop(); }

    bool Create(std::string& error) {
        if (!ReadConnInfo(error)) return false;
        static std::atomic<int> counter{0};
        m_db = "strata_t" + std::to_string(getpid()) + "_" + std::to_string(counter++);
        return Admin("DROP DATABASE IF EXISTS " + m_db + " WITH (FORCE)", error) &&
               Admin("CREATE DATABASE " + m_db + " TEMPLATE template0", error);
    }
    void Drop() {
        if (m_db.empty()) return;
        std::string error;
        Admin("DROP DATABASE IF EXISTS " + m_db + " WITH (FORCE)", error);
        m_db.clear();
    }
    // Runs one statement on the cluster's "postgres" database.
    bool Admin(const std::string& sql, std::string& error) const {
        PGconn* c = PQconnectdb((m_conninfo + " dbname=postgres").c_str());
        bool ok = PQstatus(c) == CONNECTION_OK;
        if (ok) {
            PGresult* r = PQexec(c, sql.c_str());
            ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
            PQclear(r);
        }
        if (!ok) error = sql + ": " + PQerrorMessage(c);
        PQfinish(c);
        return ok;
    }
    // The number of server connections to this test's database.
    int Connections() const {
        PGconn* c = PQconnectdb((m_conninfo + " dbname=postgres").c_str());
        PGresult* r = PQexec(c, ("SELECT count(*) FROM pg_stat_activity WHERE datname='" + m_db + "'").c_str());
        const int n = PQresultStatus(r) == PGRES_TUPLES_OK ? atoi(PQgetvalue(r, 0, 0)) : -1;
        PQclear(r);
        PQfinish(c);
        return n;
    }

    const std::string& Database() const { return m_db; }
    std::string Spec() const { return "pg:" + m_conninfo + " dbname=" + m_db; }
    StrataNetOptions NetOptions(int maxConnections = 16) const {
        return StrataNetOptions{m_host + ":" + m_port, m_user, m_password, maxConnections, {}};
    }

private:
    bool ReadConnInfo(std::string& error) {
        const char* env = getenv("VELKAN_PG_CONNINFO");
        if (env && *env) {
            m_conninfo = env;
        } else {
            const char* bin = getenv("VELKAN_BINARY_DIR");
            const std::string file = std::string(bin ? bin : ".") + "/pgtest/conninfo";
            std::ifstream in(file);
            std::getline(in, m_conninfo);
            if (m_conninfo.empty()) {
                error = "no test PostgreSQL cluster: " + file + " missing (run through ctest, which starts it)";
                return false;
            }
        }
        std::istringstream words(m_conninfo);
        std::string word;
        while (words >> word) {
            const size_t eq = word.find('=');
            if (eq == std::string::npos) continue;
            const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
            if (key == "host") m_host = value;
            if (key == "port") m_port = value;
            if (key == "user") m_user = value;
            if (key == "password") m_password = value;
        }
        return true;
    }

    std::string m_conninfo, m_host, m_port, m_user, m_password, m_db;
};
