// Result sets: row order and duplicates, buffered writes, merges, row access and data files.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "server/zrecordset.h"

namespace {

using Row = std::pair<std::string, int64_t>;
using Rows = std::vector<Row>;

class ZRecordSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = ::testing::TempDir() + "zrecordset_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(0, PlatMakeDirectories(m_folder));
        std::vector<std::string> stale;
        PlatListDirectory(m_folder, stale);
        for (const auto& name : stale)
            PlatDeleteFile(PlatJoinPath(m_folder, name));
        CMemSort::SetTempFolder(m_folder);
        // Most cases watch the data files: every set writes its file from the start unless a
        // case sets a memory data limit.
        CMemSort::SetMemoryDataLimit(0);
    }
    void TearDown() override {
        CMemSort::SetTempFolder("");
        CMemSort::SetMemoryDataLimit(CMemSort::kDefaultMemoryDataLimit);
    }

    // A created, filled and sorted set.
    void Fill(CZRecordSet& set, const Rows& rows) {
        ASSERT_EQ(0, set.Create(nullptr));
        for (const auto& [name, number] : rows)
            ASSERT_EQ(0, set.Add(name, number));
        ASSERT_EQ(0, set.Sort(0));
    }
    Rows Read(const CZRecordSet& set) {
        Rows rows;
        Row row;
        for (int64_t i = 0; set.GetRow(i, row.first, row.second) == 0; ++i)
            rows.push_back(row);
        EXPECT_EQ(set.GetRowCount(), static_cast<int64_t>(rows.size()));
        return rows;
    }
    size_t FilesInFolder() {
        std::vector<std::string> names;
        PlatListDirectory(m_folder, names);
        return names.size();
    }
    std::string m_folder;
};

TEST_F(ZRecordSetTest, SortOrdersByNameBytesThenNumberAndDropsDuplicates) {
    CZRecordSet set;
    Fill(set, {{"books", 7}, {"books", 3}, {"Books", 5}, {"books", 3}});
    EXPECT_EQ((Rows{{"Books", 5}, {"books", 3}, {"books", 7}}), Read(set));
}

TEST_F(ZRecordSetTest, RecordNumbersCompareAsSigned64BitValues) {
    CZRecordSet set;
    Fill(set, {{"db", 1LL << 40}, {"db", -2}, {"db", 0}, {"db", INT64_MIN}, {"db", INT64_MAX}});
    EXPECT_EQ((Rows{{"db", INT64_MIN}, {"db", -2}, {"db", 0}, {"db", 1LL << 40}, {"db", INT64_MAX}}),
              Read(set));
}

TEST_F(ZRecordSetTest, NamesAreComparedAsBytesSoGbkSortsAfterAscii) {
    CZRecordSet set;
    const std::string gbk = "\xd6\xd0\xce\xc4";  // two GBK characters, high bytes
    Fill(set, {{gbk, 1}, {"zz", 1}, {"a", 9}});
    EXPECT_EQ((Rows{{"a", 9}, {"zz", 1}, {gbk, 1}}), Read(set));
}

TEST_F(ZRecordSetTest, RowsReachTheFileInBatchesOfOneHundred) {
    CZRecordSet set;
    ASSERT_EQ(0, set.Create(nullptr));
    const int64_t rowBytes = 4 + 4 + 3 + 4 + 8;  // name "db"
    for (int i = 0; i < 250; ++i) {
        ASSERT_EQ(0, set.Add("db", i));
        if (i == 98) {
            EXPECT_EQ(0, set.GetFileSize());
        }
        if (i == 99) {
            EXPECT_EQ(100 * rowBytes, set.GetFileSize());
        }
    }
    EXPECT_EQ(200 * rowBytes, set.GetFileSize());
    EXPECT_EQ(50, set.m_pendingRows);
    EXPECT_EQ(250, set.GetRowCount());
    ASSERT_EQ(0, set.EnsureIndexed());
    EXPECT_EQ(250 * rowBytes, set.GetFileSize());
    EXPECT_EQ(0, set.m_pendingRows);
    EXPECT_EQ(0, set.m_writeBuffer.capacity() % 4096);
}

TEST_F(ZRecordSetTest, FlushReportsBytesAndAnEmptyBufferWritesNothing) {
    CZRecordSet set;
    ASSERT_EQ(0, set.Create(nullptr));
    EXPECT_EQ(0, set.Flush());
    ASSERT_EQ(0, set.Add("db", 1));
    EXPECT_EQ(23, set.Flush());
    EXPECT_EQ(0, set.Flush());
}

TEST_F(ZRecordSetTest, AFailedFlushKeepsTheRowsAndIndexingReportsIt) {
    CZRecordSet set;  // never Created: no data file to write to
    ASSERT_EQ(0, set.Add("db", 1));
    EXPECT_EQ(-1, set.Flush());
    EXPECT_EQ(1, set.m_pendingRows);
    EXPECT_EQ(23u, set.m_writeBuffer.size());
    EXPECT_EQ(-1, set.EnsureIndexed());
    EXPECT_EQ(-1, set.Sort(0));
    EXPECT_EQ(1, set.GetRowCount());
    EXPECT_TRUE(set.IsEmpty());
}

TEST_F(ZRecordSetTest, AppendingAfterIndexingIndexesAgain) {
    CZRecordSet set;
    Fill(set, {{"db", 2}});
    ASSERT_EQ(1, set.m_indexed);
    ASSERT_EQ(0, set.Add("db", 1));
    EXPECT_EQ(0, set.m_indexed);
    std::string name;
    int64_t number = 0;
    EXPECT_EQ(-1, set.GetRow(1, name, number));  // not indexed: no reading
    ASSERT_EQ(0, set.Sort(0));
    EXPECT_EQ((Rows{{"db", 1}, {"db", 2}}), Read(set));
}

TEST_F(ZRecordSetTest, GetRowIsBoundsChecked) {
    CZRecordSet set;
    Fill(set, {{"db", 1}, {"db", 2}});
    std::string name = "untouched";
    int64_t number = 77;
    EXPECT_EQ(-1, set.GetRow(2, name, number));
    EXPECT_EQ(-1, set.GetRow(-1, name, number));
    EXPECT_EQ("untouched", name);
    EXPECT_EQ(77, number);
    EXPECT_EQ(0, set.GetRow(1, name, number));
    EXPECT_EQ(Row("db", 2), Row(name, number));
}

TEST_F(ZRecordSetTest, OverlongNamesAndImplausibleRowsAreRefused) {
    CZRecordSet set;
    ASSERT_EQ(0, set.Create(nullptr));
    EXPECT_EQ(-1, set.Add(std::string(CZRecordSet::kMaxNameLength + 1, 'x'), 1));
    const unsigned char tiny[8] = {3, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(-1, set.AddRow(tiny));
    EXPECT_EQ(0, set.GetRowCount());
    EXPECT_EQ(0, set.Add(std::string(CZRecordSet::kMaxNameLength, 'x'), 1));
    EXPECT_EQ(0, set.Sort(0));
    EXPECT_EQ(1, set.GetRowCount());
}

TEST_F(ZRecordSetTest, IsEmptyWithoutFileOrRows) {
    CZRecordSet set;
    EXPECT_TRUE(set.IsEmpty());
    ASSERT_EQ(0, set.Create(nullptr));
    EXPECT_TRUE(set.IsEmpty());
    ASSERT_EQ(0, set.Add("db", 1));
    EXPECT_FALSE(set.IsEmpty());
}

class ZRecordSetMergeTest : public ZRecordSetTest {
protected:
    CZRecordSet m_left, m_right, m_out;
};

TEST_F(ZRecordSetMergeTest, AndKeepsRowsInBoth) {
    Fill(m_left, {{"a", 1}, {"a", 2}, {"b", 1}, {"b", 5}});
    Fill(m_right, {{"a", 2}, {"b", 5}, {"b", 6}, {"c", 1}});
    EXPECT_EQ(0, m_left.And(m_right, m_out));
    EXPECT_EQ((Rows{{"a", 2}, {"b", 5}}), Read(m_out));
}

TEST_F(ZRecordSetMergeTest, OrKeepsEveryRowOnce) {
    Fill(m_left, {{"a", 1}, {"b", 5}});
    Fill(m_right, {{"a", 1}, {"a", 3}, {"c", 2}});
    EXPECT_EQ(0, m_left.Or(m_right, m_out));
    EXPECT_EQ((Rows{{"a", 1}, {"a", 3}, {"b", 5}, {"c", 2}}), Read(m_out));
}

TEST_F(ZRecordSetMergeTest, AndNotKeepsLeftRowsMissingOnTheRight) {
    Fill(m_left, {{"a", 1}, {"a", 2}, {"b", 5}, {"c", 9}});
    Fill(m_right, {{"a", 2}, {"b", 4}, {"c", 9}});
    EXPECT_EQ(0, m_left.AndNot(m_right, m_out));
    EXPECT_EQ((Rows{{"a", 1}, {"b", 5}}), Read(m_out));
}

TEST_F(ZRecordSetMergeTest, SameNumberInTwoDatabasesIsTwoRows) {
    Fill(m_left, {{"books", 7}, {"unimarc", 7}});
    Fill(m_right, {{"books", 7}});
    EXPECT_EQ(0, m_left.And(m_right, m_out));
    EXPECT_EQ((Rows{{"books", 7}}), Read(m_out));
    EXPECT_EQ(0, m_left.AndNot(m_right, m_out));
    EXPECT_EQ((Rows{{"unimarc", 7}}), Read(m_out));
    EXPECT_EQ(0, m_right.Or(m_left, m_out));
    EXPECT_EQ((Rows{{"books", 7}, {"unimarc", 7}}), Read(m_out));
}

TEST_F(ZRecordSetMergeTest, EmptyInputs) {
    const Rows s = {{"a", 1}, {"b", 2}};
    CZRecordSet empty;
    ASSERT_EQ(0, empty.Create(nullptr));
    Fill(m_left, s);
    EXPECT_EQ(0, empty.Or(m_left, m_out));
    EXPECT_EQ(s, Read(m_out));
    EXPECT_EQ(0, m_left.AndNot(empty, m_out));
    EXPECT_EQ(s, Read(m_out));
    CZRecordSet noFile;  // never Created: treated as empty
    EXPECT_EQ(0, noFile.Or(m_left, m_out));
    EXPECT_EQ(s, Read(m_out));
    EXPECT_EQ(0, noFile.AndNot(m_left, m_out));
    EXPECT_TRUE(Read(m_out).empty());
    CZRecordSet andOut;
    ASSERT_EQ(0, andOut.Create(nullptr));
    EXPECT_EQ(0, empty.And(m_left, andOut));
    EXPECT_EQ(0, m_left.And(noFile, andOut));
    EXPECT_TRUE(andOut.IsEmpty());
}

TEST_F(ZRecordSetMergeTest, AnOutputThatIsAnInputIsRefused) {
    Fill(m_left, {{"a", 1}});
    Fill(m_right, {{"a", 2}});
    EXPECT_EQ(-1, m_left.Or(m_right, m_left));
    EXPECT_EQ(-1, m_left.AndNot(m_right, m_right));
    EXPECT_EQ(-1, m_left.And(m_right, m_right));
    EXPECT_EQ((Rows{{"a", 1}}), Read(m_left));
    EXPECT_EQ((Rows{{"a", 2}}), Read(m_right));
}

TEST_F(ZRecordSetMergeTest, AStopFlagEndsTheMergeWithAnIndexedOutput) {
    Fill(m_left, {{"a", 1}, {"a", 2}});
    Fill(m_right, {{"a", 3}});
    std::atomic<bool> stop{true};
    EXPECT_EQ(1, m_left.Or(m_right, m_out, &stop));
    EXPECT_TRUE(Read(m_out).empty());
    stop = false;
    EXPECT_EQ(0, m_left.Or(m_right, m_out, &stop));
    EXPECT_EQ(3, m_out.GetRowCount());
}

TEST_F(ZRecordSetMergeTest, LargeSetsSortAndMergeLikeStdSet) {
    std::mt19937_64 random(7);
    const char* names[] = {"books", "Books", "unimarc"};
    Rows a, b;
    for (int i = 0; i < 100000; ++i) {
        a.emplace_back(names[random() % 3], static_cast<int64_t>(random() % 60000));
        b.emplace_back(names[random() % 3], static_cast<int64_t>(random() % 60000));
    }
    Fill(m_left, a);
    Fill(m_right, b);
    std::set<Row> sa(a.begin(), a.end()), sb(b.begin(), b.end());
    EXPECT_EQ(Rows(sa.begin(), sa.end()), Read(m_left));
    Rows expected;
    std::set_intersection(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(expected));
    ASSERT_EQ(0, m_left.And(m_right, m_out));
    EXPECT_EQ(expected, Read(m_out));
    expected.clear();
    std::set_difference(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(expected));
    ASSERT_EQ(0, m_left.AndNot(m_right, m_out));
    EXPECT_EQ(expected, Read(m_out));
}

TEST_F(ZRecordSetMergeTest, LargeSetSortedExternallyMatchesTheInMemorySort) {
    CMemSort::SetSortMemoryLimit(64 * 1024);
    Rows rows;
    std::mt19937_64 random(11);
    for (int i = 0; i < 30000; ++i)
        rows.emplace_back(i % 2 ? "books" : "unimarc", static_cast<int64_t>(random() % 20000) - 10000);
    Fill(m_left, rows);
    CMemSort::SetSortMemoryLimit(256LL * 1024 * 1024);
    std::set<Row> sorted(rows.begin(), rows.end());
    EXPECT_EQ(Rows(sorted.begin(), sorted.end()), Read(m_left));
    EXPECT_EQ(1u, FilesInFolder());
}

TEST_F(ZRecordSetTest, DataFilesGoWithTheSetAndOnReCreate) {
    std::string first;
    {
        CZResultSet set;
        Fill(set, {{"db", 3}, {"db", 1}});
        first = set.GetFileName();
        EXPECT_TRUE(PlatFileExists(first));
        ASSERT_EQ(0, set.Create(nullptr));
        EXPECT_FALSE(PlatFileExists(first));
        EXPECT_TRUE(set.IsEmpty());
        EXPECT_EQ(1u, FilesInFolder());
        set.ClearResource();
        EXPECT_EQ(0u, FilesInFolder());
        ASSERT_EQ(0, set.Create(nullptr));
        ASSERT_EQ(0, set.Add("db", 1));
    }
    EXPECT_EQ(0u, FilesInFolder());
}

TEST_F(ZRecordSetTest, SetsUnwoundByAnExceptionLeaveNoFiles) {
    try {
        CZResultSet left, right, out;
        Fill(left, {{"db", 1}});
        Fill(right, {{"db", 2}});
        ASSERT_EQ(0, left.Or(right, out));
        EXPECT_EQ(3u, FilesInFolder());
        throw std::runtime_error("session ended mid-search");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(0u, FilesInFolder());
}

TEST_F(ZRecordSetTest, ResultSetStartsUnnamedAtPositionZero) {
    CZResultSet set;
    EXPECT_EQ("", set.m_name);
    EXPECT_EQ(0, set.m_nextPosition);
    EXPECT_EQ(100, set.m_flushThreshold);
}

// --- the same results with the rows in memory, in a file, and across the limit ----------------

constexpr int64_t kRowBytes = 4 + 4 + 6 + 4 + 8;  // a row of "books" or "Books"

// Parameter: the memory data limit (0: file from the start; 50 rows; the default).
class ZRecordSetPathsTest : public ZRecordSetTest, public ::testing::WithParamInterface<int64_t> {
protected:
    void SetUp() override {
        ZRecordSetTest::SetUp();
        CMemSort::SetMemoryDataLimit(GetParam());
    }
    Rows RandomRows(size_t count, uint64_t seed) {
        std::mt19937_64 random(seed);
        const char* names[] = {"books", "Books"};
        Rows rows;
        for (size_t i = 0; i < count; ++i)
            rows.emplace_back(names[random() % 2], static_cast<int64_t>(random() % (count + 5)));
        return rows;
    }
};

TEST_P(ZRecordSetPathsTest, SortMergeAndRowsMatchStdSetAtEverySizeAroundTheLimit) {
    for (size_t count : {1, 10, 49, 50, 51, 99, 100, 101, 2000, 4000}) {
        const Rows a = RandomRows(count, count), b = RandomRows(count, count + 1000);
        CZRecordSet left, right, out;
        Fill(left, a);
        Fill(right, b);
        const std::set<Row> sa(a.begin(), a.end()), sb(b.begin(), b.end());
        ASSERT_EQ(Rows(sa.begin(), sa.end()), Read(left)) << count;
        Rows expected;
        std::set_intersection(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(expected));
        ASSERT_EQ(0, left.And(right, out));
        EXPECT_EQ(expected, Read(out)) << count;
        expected.clear();
        std::set_union(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(expected));
        ASSERT_EQ(0, left.Or(right, out));
        EXPECT_EQ(expected, Read(out)) << count;
        expected.clear();
        std::set_difference(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(expected));
        ASSERT_EQ(0, left.AndNot(right, out));
        EXPECT_EQ(expected, Read(out)) << count;
        std::string name = "untouched";
        int64_t number = 0;
        EXPECT_EQ(-1, left.GetRow(left.GetRowCount(), name, number));
        EXPECT_EQ("untouched", name);
        const bool inMemory = GetParam() > 0 && left.GetFileSize() <= GetParam();
        EXPECT_EQ(inMemory, left.IsInMemory()) << count;
    }
    EXPECT_EQ(0u, FilesInFolder());
}

TEST_P(ZRecordSetPathsTest, AFileExistsOnlyForSetsPastTheLimitAndGoesWithThem) {
    const int64_t limit = GetParam();
    for (int64_t rows : {int64_t(1), int64_t(50), int64_t(51), int64_t(3000)}) {
        {
            CZResultSet set;
            Rows content;
            for (int64_t i = 0; i < rows; ++i)
                content.emplace_back("books", i);
            Fill(set, content);
            const bool onDisk = limit == 0 || rows * kRowBytes > limit;
            EXPECT_EQ(onDisk ? 1u : 0u, FilesInFolder()) << rows;
            EXPECT_EQ(onDisk, PlatFileExists(set.GetFileName())) << rows;
            EXPECT_EQ(content, Read(set));
        }
        EXPECT_EQ(0u, FilesInFolder()) << rows;
    }
}

// Hit lists (AddHits: one database, ascending) are held compactly while they fit; merged with
// each other or with rows, and grown by rows afterwards, they must answer as rows do.
TEST_P(ZRecordSetPathsTest, HitListsMergeAndGrowExactlyAsRows) {
    auto hits = [](CZRecordSet& set, const std::string& name, size_t count, uint64_t seed) {
        std::mt19937_64 random(seed);
        std::set<int64_t> unique;
        while (unique.size() < count) unique.insert(int64_t(random() % (count * 3)));
        const std::vector<int64_t> numbers(unique.begin(), unique.end());
        EXPECT_EQ(0, set.Create(nullptr));
        EXPECT_EQ(0, set.AddHits(name, numbers.data(), numbers.size() / 2));  // two pages
        EXPECT_EQ(0, set.AddHits(name, numbers.data() + numbers.size() / 2, numbers.size() - numbers.size() / 2));
        EXPECT_EQ(0, set.SortAppended());
        Rows rows;
        for (int64_t n : numbers) rows.emplace_back(name, n);
        return rows;
    };
    for (size_t count : {1, 50, 51, 3000}) {
        for (int pairing = 0; pairing < 3; ++pairing) {  // hits+hits, hits+rows, hits of two names
            CZRecordSet left, right, out;
            const Rows a = hits(left, "books", count, count);
            Rows b;
            if (pairing == 1) {
                b = RandomRows(count, count + 7);
                Fill(right, b);
            } else {
                b = hits(right, pairing == 0 ? "books" : "Books", count, count + 7);
            }
            const std::set<Row> sa(a.begin(), a.end()), sb(b.begin(), b.end());
            ASSERT_EQ(a, Read(left));
            Rows expected;
            std::set_intersection(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(expected));
            ASSERT_EQ(0, left.And(right, out));
            EXPECT_EQ(expected, Read(out)) << count << " " << pairing;
            expected.clear();
            std::set_union(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(expected));
            ASSERT_EQ(0, right.Or(left, out));
            EXPECT_EQ(expected, Read(out)) << count << " " << pairing;
            expected.clear();
            std::set_difference(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(expected));
            ASSERT_EQ(0, left.AndNot(right, out));
            EXPECT_EQ(expected, Read(out)) << count << " " << pairing;
            // A row out of the list's order turns it into rows that still sort and read right.
            ASSERT_EQ(0, left.Add("Books", 0));
            ASSERT_EQ(0, left.Sort(0));
            Rows grown = a;
            grown.insert(grown.begin(), Row{"Books", 0});
            EXPECT_EQ(grown, Read(left)) << count << " " << pairing;
        }
    }
    EXPECT_EQ(0u, FilesInFolder());
    EXPECT_EQ(0, CRowFile::GetMemoryInUse());
}

INSTANTIATE_TEST_SUITE_P(MemoryLimits, ZRecordSetPathsTest,
                         ::testing::Values(int64_t(0), 50 * kRowBytes, CMemSort::kDefaultMemoryDataLimit));

}  // namespace
