#pragma once
// Test helpers for the channel library: a store with one database on each engine (a temporary
// embedded store, or a fresh database on the test PostgreSQL cluster), Diriv record builders, and
// wrappers that run channel calls and decode their answers. Fixtures derived from StrataStoreTest
// are value-parameterised by engine: STRATA_ENGINE_TESTS(Fixture) runs them on both.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "backend/strata/strata_admin.h"
#include "backend/strata/strata_channel.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_package.h"
#include "backend/strata/strata_routines.h"
#include "berkit/codepage.h"
#include "pg_testdb.h"

inline std::string SevenDigitText(int64_t n) {
    char text[24];
    snprintf(text, sizeof text, "%07lld", static_cast<long long>(n));
    return text;
}

// leader + 001 + 245$a title + 100$a author + 0x1D. Title and author in the ANSI code page.
inline std::string MakeDiriv(int64_t number, const std::string& title, const std::string& author = "Author") {
    std::string d = "00000nam  2200000   4500";
    d += "001" + SevenDigitText(number) + "\x1e";
    d += "100" "1 \x1f" "a" + author + "\x1e";
    d += "245" "10\x1f" "a" + title + "\x1e";
    d += "\x1d";
    return d;
}

class StrataStoreTest : public ::testing::TestWithParam<std::string> {
protected:
    bool IsPg() const { return GetParam() == "pg"; }

    void SetUp() override {
        std::string error;
        if (IsPg()) {
            ASSERT_TRUE(m_pg.Create(error)) << error;
            m_admin = CStrataAdmin::Create(m_pg.Spec(), error);
            ASSERT_TRUE(m_admin) << error;
            m_iface.SetNetworkOptions(m_pg.NetOptions());
            ASSERT_EQ(m_iface.LoadLibraryA("netchan32.dll", m_pg.Database().c_str()), 0);
        } else {
            char pattern[] = "/tmp/strata-test-XXXXXX";
            ASSERT_NE(mkdtemp(pattern), nullptr);
            m_folder = pattern;
            CInterface::SetStoreFolder(m_folder);
            m_admin = CStrataAdmin::Create(StrataStoreFile(m_folder, "inst"), error);
            ASSERT_TRUE(m_admin) << error;
            ASSERT_EQ(m_iface.LoadLibraryA("localcore32.dll", "inst"), 0);
        }
        ASSERT_EQ(m_admin->AddDatabase("books", error), 0) << error;
        ASSERT_EQ(m_admin->PutCfgFile("books", "keys.cfg",
                                      "key name=\"title\" fields=\"245a\"\nkey name=\"author\" fields=\"100a\"\n"
                                      "key name=\"ctl\" fields=\"001\"\n",
                                      error),
                  0)
            << error;
        ASSERT_EQ(m_admin->AddAccount("demo", "demo", kStrataRightRead | kStrataRightWrite, error), 0) << error;
    }
    void TearDown() override {
        m_admin.reset();
        if (!m_folder.empty()) std::filesystem::remove_all(m_folder);
        m_pg.Drop();
    }

    // A channel path: the interface's prefix (the server address through the network) + `path`.
    std::string P(const std::string& path) const { return m_iface.GetPathPrefix() + path; }

    void Load(const std::vector<std::string>& records) {
        std::vector<StrataRejectedRecord> rejected;
        std::string error;
        ASSERT_EQ(m_admin->LoadRecords("books", records, rejected, error), int(records.size())) << error;
    }

    // 30,000 records for which "beta alpha" is a long search: both words are in every title but
    // never next to each other in this order, so every record's title is checked.
    void LoadLongSearch() {
        std::vector<std::string> records;
        for (int i = 1; i <= 30000; ++i) records.push_back(MakeDiriv(i, "alpha x beta"));
        Load(records);
    }

    // A prepared channel logged in as `user`.
    void Open(CConnect& c, const std::string& user = "demo", const std::string& password = "demo") {
        ASSERT_EQ(PrepareDatabaseChannel(c, user, password, &m_iface), 0);
        ASSERT_EQ(LoginDatabase(c, "", false, "public", ""), 0);
    }

    // API_Search + LoadPackage; returns the call's result, the package in `pkg`.
    // `path` without the prefix (added here).
    int Search(CConnect& c, const std::string& path, int style, CPackage& pkg, int size = 65535) {
        std::vector<char> buffer(size_t(size), '\x55');
        const std::string full = P(path);
        const int r = c.API_Search(full.c_str(), int(full.size()) + 1, buffer.data(), size, style);
        if (r > 0) {
            EXPECT_LE(r, size);
            EXPECT_EQ(pkg.LoadPackage(buffer.data(), buffer.size()), 0);
        }
        return r;
    }

    // Every line of a style-5 search (or of `firstStyle`), following continuations.
    std::vector<std::string> AllHits(CConnect& c, const std::string& path, int* pages = nullptr, int size = 65535,
                                     int firstStyle = 5) {
        std::vector<std::string> hits;
        std::string cont;
        int style = firstStyle;
        for (int round = 0; round < 10000; ++round) {
            CPackage pkg;
            const std::string p = cont.empty() ? path : path + "||" + cont;
            if (Search(c, p, style, pkg, size) < 0) break;
            if (pages) ++*pages;
            EXPECT_EQ(pkg.CvtPackageToLineFormat(1), 0);
            for (const std::string& l : pkg.GetLines()) hits.push_back(l);
            cont = pkg.GetContinuation();
            if (cont.empty()) break;
            style |= 0x8000;
        }
        return hits;
    }

    int LastCode(CConnect& c) {
        int code = 0;
        std::string text;
        c.GetLastError(code, text);
        return code;
    }

    std::string m_folder;
    CPgTestDatabase m_pg;
    std::unique_ptr<CStrataAdmin> m_admin;
    CInterface m_iface;
};

inline std::string EngineName(const ::testing::TestParamInfo<std::string>& info) { return info.param; }

// Runs the TEST_P cases of `fixture` on the embedded store and on PostgreSQL.
#define STRATA_ENGINE_TESTS(fixture) \
    INSTANTIATE_TEST_SUITE_P(Engines, fixture, ::testing::Values(std::string("sqlite"), std::string("pg")), EngineName)
