// The strata tool run as a program: loading with bad records, numbering, listing, export, errors.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "backend/marc/marcrecord.h"
#include "berkit/marcglobal.h"

namespace fs = std::filesystem;

namespace {

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class StrataToolTest : public testing::Test {
protected:
    void SetUp() override {
        // The strata program is built next to this test program.
        const char* src = std::getenv("VELKAN_SOURCE_DIR");
        ASSERT_NE(src, nullptr);
        m_strata = (fs::read_symlink("/proc/self/exe").parent_path() / "strata").string();
        ASSERT_TRUE(fs::exists(m_strata)) << m_strata;
        m_source = src;
        char tmpl[] = "/tmp/strata-tool-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        m_store = (m_dir / "t.strata").string();
    }
    void TearDown() override { fs::remove_all(m_dir); }

    RunResult Run(const std::string& args) {
        std::string command = "'" + m_strata + "' " + args + " >'" + (m_dir / "out").string() + "' 2>'" +
                              (m_dir / "err").string() + "'";
        int status = std::system(command.c_str());
        RunResult r;
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = Slurp(m_dir / "out");
        r.err = Slurp(m_dir / "err");
        return r;
    }

    // Store with database "books" and the demo cfgs.
    void CreateBooks() {
        ASSERT_EQ(Run("create '" + m_store + "'").exitCode, 0);
        RunResult r = Run("db add '" + m_store + "' books --cfgs '" + m_source + "/data/demo/books/cfgs'");
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    std::string Generate(int count) {
        std::string file = (m_dir / "gen.mrc").string();
        std::string command = "python3 '" + m_source + "/data/demo/gendemo.py' books '" + file + "' " + std::to_string(count);
        EXPECT_EQ(std::system(command.c_str()), 0);
        return Slurp(file);
    }

    std::string Write(const std::string& name, const std::string& bytes) {
        fs::path path = m_dir / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    std::string m_strata, m_source, m_store;
    fs::path m_dir;
};

size_t RecordLength(const std::string& file, size_t offset) { return std::stoul(file.substr(offset, 5)); }

}  // namespace

TEST_F(StrataToolTest, BadRecordIsReportedWithItsPositionAndTheRestLoads) {
    CreateBooks();
    std::string good = Generate(3);
    size_t first = RecordLength(good, 0);
    std::string bad = good.substr(0, first);
    bad.replace(12, 5, "00999");  // base address past the record
    std::string file = good.substr(0, first) + bad + good.substr(first);
    RunResult r = Run("load '" + m_store + "' books '" + Write("mixed.mrc", file) + "'");
    EXPECT_EQ(r.exitCode, 5) << r.err;
    EXPECT_NE(r.err.find("record 2 at offset " + std::to_string(first) + " skipped"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("3 records loaded"), std::string::npos) << r.out;
    r = Run("list '" + m_store + "'");
    EXPECT_EQ(r.out, "books\t3\n");
}

TEST_F(StrataToolTest, TruncatedTailAndGarbageAreSkippedNotFatal) {
    CreateBooks();
    std::string good = Generate(2);
    std::string file = "garbage\x1D" + good + good.substr(0, 40);
    RunResult r = Run("load '" + m_store + "' books '" + Write("t.mrc", file) + "'");
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_NE(r.err.find("record 1 at offset 0 skipped: record length is not 5 digits"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("record 4 at offset " + std::to_string(8 + good.size()) + " skipped"), std::string::npos) << r.err;
    EXPECT_EQ(Run("list '" + m_store + "'").out, "books\t2\n");
}

TEST_F(StrataToolTest, ExportGivesBackIdenticalBytesForNumberedRecords) {
    CreateBooks();
    std::string file = Generate(50);
    ASSERT_EQ(Run("load '" + m_store + "' books '" + Write("in.mrc", file) + "'").exitCode, 0);
    std::string out = (m_dir / "out.mrc").string();
    RunResult r = Run("export '" + m_store + "' books '" + out + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Slurp(out), file);
}

TEST_F(StrataToolTest, RecordsWithoutANumberGetTheNextOneAndKeepTheirOld001In035) {
    CreateBooks();
    ASSERT_EQ(Run("load '" + m_store + "' books '" + Write("g.mrc", Generate(2)) + "'").exitCode, 0);  // 1001, 1002
    RunResult r = Run("load '" + m_store + "' books '" + m_source + "/data/demo/books/sample-marc21.mrc'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Run("list '" + m_store + "'").out, "books\t26\n");
    std::string out = (m_dir / "out.mrc").string();
    ASSERT_EQ(Run("export '" + m_store + "' books '" + out + "'").exitCode, 0);
    std::string exported = Slurp(out);
    // Records come out in number order: 0001001, 0001002, then the samples from 0001003.
    size_t offset = RecordLength(exported, 0) + RecordLength(exported, RecordLength(exported, 0));
    std::string rec = exported.substr(offset, RecordLength(exported, offset));
    std::string diriv, error;
    ASSERT_GT(Iso2Diriv(CByteArray(rec.begin(), rec.end()), diriv, error, true, false), 0) << error;
    CMARC marc;
    ASSERT_GT(marc.Parse(diriv, error), 0) << error;
    EXPECT_EQ(marc.FindField("001")->GetValue(), "0001003");
    EXPECT_EQ(marc.FindField("003"), nullptr);
    std::string was;
    ASSERT_NE(marc.FindField("035"), nullptr);
    EXPECT_TRUE(marc.FindField("035")->GetSubfield('a', was));
    EXPECT_EQ(was, "(DLC)   11224466 ");
}

TEST_F(StrataToolTest, ErrorsHaveDistinctExitCodesAndPrefixedMessages) {
    RunResult r = Run("");
    EXPECT_EQ(r.exitCode, 2);
    r = Run("list '" + (m_dir / "missing.strata").string() + "'");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err.rfind("strata: ", 0), 0u) << r.err;
    CreateBooks();
    r = Run("load '" + m_store + "' books '" + (m_dir / "nofile.mrc").string() + "'");
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.err.find("nofile.mrc"), std::string::npos);
    r = Run("load '" + m_store + "' nodb '" + Write("g.mrc", Generate(1)) + "'");
    EXPECT_EQ(r.exitCode, 3);
    r = Run("load '" + m_store + "' books x.mrc --encoding latin1");
    EXPECT_EQ(r.exitCode, 2);
}

TEST_F(StrataToolTest, AccountsCanBeAddedChangedAndRemoved) {
    CreateBooks();
    EXPECT_EQ(Run("account add '" + m_store + "' demo --password demo --rights rw").exitCode, 0);
    RunResult r = Run("account add '" + m_store + "' demo --password x");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("strata: demo: "), std::string::npos);
    EXPECT_EQ(Run("account passwd '" + m_store + "' demo --password other").exitCode, 0);
    EXPECT_EQ(Run("account remove '" + m_store + "' demo").exitCode, 0);
    EXPECT_EQ(Run("account remove '" + m_store + "' demo").exitCode, 3);
}

TEST_F(StrataToolTest, DroppingADatabaseRemovesItAndABadCfgLeavesNoDatabase) {
    CreateBooks();
    EXPECT_EQ(Run("db drop '" + m_store + "' books").exitCode, 0);
    EXPECT_EQ(Run("list '" + m_store + "'").out, "");
    fs::create_directory(m_dir / "cfgs");
    Write("cfgs/keys.cfg", "key name=\"title\" fields=\"245a\n");
    RunResult r = Run("db add '" + m_store + "' bad --cfgs '" + (m_dir / "cfgs").string() + "'");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("keys.cfg"), std::string::npos) << r.err;
    EXPECT_EQ(Run("list '" + m_store + "'").out, "");
}

TEST_F(StrataToolTest, AutoReadsAClearlyMarc8FileAsMarc8AndTheDemoSampleAsBefore) {
    CreateBooks();
    const std::string lines = Write("in.txt",
                                    "00000nam  2200000   4500\n001 0000001\n100 1  $a M\xC3\xBCller, Anton\xC3\xADn\n"
                                    "245 10 $a Caf\xC3\xA9 und \xC3\x98resund\n\n");
    const std::string marc8 = (m_dir / "m8.mrc").string();
    ASSERT_EQ(std::system(("yaz-marcdump -i line -o marc -f utf-8 -t marc8 '" + lines + "' > '" + marc8 + "'").c_str()), 0);
    const struct {
        std::string file;
        const char* same;  // the encoding auto must read the file in
        bool noted;        // whether strata says it read records as MARC-8
    } rows[] = {{marc8, "marc8", true}, {m_source + "/data/demo/books/sample-marc21.mrc", "gbk", false}};
    int n = 0;
    for (const auto& row : rows) {
        std::string exported[2];
        for (int i = 0; i < 2; ++i) {
            const std::string db = "d" + std::to_string(n++);
            ASSERT_EQ(Run("db add '" + m_store + "' " + db + " --cfgs '" + m_source + "/data/demo/books/cfgs'").exitCode, 0);
            RunResult r = Run("load '" + m_store + "' " + db + " '" + row.file + "' --encoding " + (i ? "auto" : row.same));
            ASSERT_EQ(r.exitCode, 0) << r.err;
            if (i) {
                EXPECT_EQ(r.err.find("read as MARC-8") != std::string::npos, row.noted) << row.same << r.err;
            }
            const std::string out = (m_dir / (db + ".out")).string();
            ASSERT_EQ(Run("export '" + m_store + "' " + db + " '" + out + "'").exitCode, 0);
            exported[i] = Slurp(out);
        }
        EXPECT_FALSE(exported[0].empty()) << row.same;
        EXPECT_EQ(exported[1], exported[0]) << row.same;
    }
}
