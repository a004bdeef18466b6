// Row store: data files in the temporary folder, index validation, in-memory and external sorts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "backend/rowstore/memsort.h"
#include "platform/file.h"

namespace {

// Rows of one 32-bit key each (L = 4); rows with another length are refused at indexing.
class CKeyStore : public CMemSort {
public:
    int Append(uint32_t key) {
        unsigned char row[8];
        RowPutU32(row, 4);
        RowPutU32(row + 4, key);
        if (AppendData(row, sizeof(row)) != 0)
            return -1;
        ++m_rowCount;
        return 0;
    }
    int CompareRowData(const unsigned char* a, const unsigned char* b) override {
        const uint32_t x = RowGetU32(a), y = RowGetU32(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    int CompareRow(int64_t a, int64_t b) override { return CompareRowData(GetData() + a, GetData() + b); }
    int CompareRowWith(int64_t a, int64_t i) override { return CompareRow(a, GetRowPtr(i)); }
    bool IsValidRow(const unsigned char*, uint32_t length) const override { return length == 4; }
    int DoProgress(int64_t, int64_t) override { return m_stop; }

    std::vector<uint32_t> Keys() const {
        std::vector<uint32_t> keys;
        for (int64_t i = 0; i < static_cast<int64_t>(m_index.size()); ++i)
            keys.push_back(RowGetU32(GetData() + GetRowPtr(i)));
        return keys;
    }
    int m_stop = 0;
};

class MemSortTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = ::testing::TempDir() + "memsort_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(0, PlatMakeDirectories(m_folder));
        CMemSort::SetTempFolder(m_folder);
        // These cases watch the data files: every store writes its file from the start.
        CMemSort::SetMemoryDataLimit(0);
    }
    void TearDown() override {
        CMemSort::SetTempFolder("");
        CMemSort::SetSortMemoryLimit(256LL * 1024 * 1024);
        CMemSort::SetMemoryDataLimit(CMemSort::kDefaultMemoryDataLimit);
    }
    size_t FilesInFolder() {
        std::vector<std::string> names;
        EXPECT_EQ(0, PlatListDirectory(m_folder, names));
        return names.size();
    }
    // Sort, dedupe and resequence as a result set does.
    void SortStore(CKeyStore& store) {
        ASSERT_EQ(0, store.CreateDataFileMap());
        ASSERT_EQ(0, store.BuildIndexFile());
        ASSERT_EQ(0, store.QuickSort());
        store.RemoveDupRow();
        ASSERT_EQ(0, store.ReSequenceFile());
    }
    std::string m_folder;
};

TEST_F(MemSortTest, DataFileIsCreatedInTheTempFolderAndRemovedWithTheStore) {
    std::string path;
    {
        CKeyStore store;
        ASSERT_EQ(0, store.Create(nullptr));
        path = store.GetFileName();
        EXPECT_EQ(0u, path.rfind(m_folder, 0)) << path;
        EXPECT_TRUE(PlatFileExists(path));
        EXPECT_EQ(1u, FilesInFolder());
    }
    EXPECT_FALSE(PlatFileExists(path));
    EXPECT_EQ(0u, FilesInFolder());
}

TEST_F(MemSortTest, StaleFilesOfAKilledProcessAreSweptOnlyFromAnOwnFolder) {
    const std::string stale = PlatJoinPath(m_folder, "vrs1A2B.tmp");
    const std::string run = PlatJoinPath(m_folder, "vrrFF.tmp");
    const std::string other = PlatJoinPath(m_folder, "vk9000.ini");
    for (const auto& path : {stale, run, other})
        ASSERT_EQ(0, PlatAppendFile(path, "x", 1));
    EXPECT_EQ(2, CMemSort::RemoveStaleFiles());
    EXPECT_FALSE(PlatFileExists(stale));
    EXPECT_FALSE(PlatFileExists(run));
    EXPECT_TRUE(PlatFileExists(other));
    CMemSort::SetTempFolder("");
    EXPECT_EQ(-1, CMemSort::RemoveStaleFiles());
}

TEST_F(MemSortTest, CreateReplacesTheFileAndRefusesANamedFile) {
    CKeyStore store;
    ASSERT_EQ(0, store.Create(nullptr));
    const std::string first = store.GetFileName();
    ASSERT_EQ(0, store.Append(1));
    ASSERT_EQ(0, store.Create(nullptr));
    EXPECT_FALSE(PlatFileExists(first));
    EXPECT_EQ(0, store.GetRowCount());
    EXPECT_EQ(1u, FilesInFolder());
    EXPECT_EQ(-1, store.Create("named.dat"));
    EXPECT_FALSE(store.HasDataFile());
    EXPECT_EQ("named data files are not supported", store.GetLastError());
    EXPECT_EQ(0u, FilesInFolder());
}

TEST_F(MemSortTest, CreateFailsWithAReasonWhenTheFolderIsMissing) {
    CMemSort::SetTempFolder(m_folder + "/missing");
    CKeyStore store;
    EXPECT_EQ(-1, store.Create(nullptr));
    EXPECT_NE(std::string::npos, store.GetLastError().find("cannot create a temporary file"));
    EXPECT_EQ(-1, store.Append(1));
}

TEST_F(MemSortTest, IndexingRejectsARowReachingPastTheData) {
    CKeyStore store;
    ASSERT_EQ(0, store.Create(nullptr));
    ASSERT_EQ(0, store.Append(5));
    unsigned char bad[8];
    RowPutU32(bad, 1000);  // claims 1000 bytes, only 4 follow
    RowPutU32(bad + 4, 7);
    ASSERT_EQ(0, store.AppendData(bad, sizeof(bad)));
    ASSERT_EQ(0, store.CreateDataFileMap());
    EXPECT_EQ(-1, store.BuildIndexFile());
    EXPECT_EQ(0, store.GetRowCount());
    EXPECT_NE(std::string::npos, store.GetLastError().find("malformed row at offset 8"));
}

TEST_F(MemSortTest, IndexingRejectsATruncatedLengthAndARefusedRow) {
    CKeyStore store;
    ASSERT_EQ(0, store.Create(nullptr));
    ASSERT_EQ(0, store.Append(5));
    ASSERT_EQ(0, store.AppendData("\x01\x00", 2));
    ASSERT_EQ(0, store.CreateDataFileMap());
    EXPECT_EQ(-1, store.BuildIndexFile());

    ASSERT_EQ(0, store.Create(nullptr));
    unsigned char wrongLength[9] = {5, 0, 0, 0, 1, 2, 3, 4, 5};
    ASSERT_EQ(0, store.AppendData(wrongLength, sizeof(wrongLength)));
    ASSERT_EQ(0, store.CreateDataFileMap());
    EXPECT_EQ(-1, store.BuildIndexFile());
}

TEST_F(MemSortTest, InMemorySortOrdersDedupesAndRewritesTheFile) {
    CKeyStore store;
    ASSERT_EQ(0, store.Create(nullptr));
    for (uint32_t key : {9u, 3u, 7u, 3u, 1u, 9u})
        ASSERT_EQ(0, store.Append(key));
    SortStore(store);
    EXPECT_EQ((std::vector<uint32_t>{1, 3, 7, 9}), store.Keys());
    EXPECT_EQ(4, store.GetRowCount());
    EXPECT_EQ(4 * 8, store.GetFileSize());
    EXPECT_EQ(1u, FilesInFolder());
}

TEST_F(MemSortTest, ExternalSortMatchesTheInMemorySortAndLeavesNoRunFiles) {
    CMemSort::SetSortMemoryLimit(4096);  // 512 rows per run at most
    std::mt19937 random(42);
    std::vector<uint32_t> keys(20000);
    for (auto& key : keys)
        key = random() % 5000;
    CKeyStore store;
    ASSERT_EQ(0, store.Create(nullptr));
    for (uint32_t key : keys)
        ASSERT_EQ(0, store.Append(key));
    SortStore(store);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    EXPECT_EQ(keys, store.Keys());
    EXPECT_EQ(1u, FilesInFolder());
}

TEST_F(MemSortTest, SortStopsWhenProgressAsksTo) {
    CKeyStore store;
    ASSERT_EQ(0, store.Create(nullptr));
    for (uint32_t key : {2u, 1u})
        ASSERT_EQ(0, store.Append(key));
    ASSERT_EQ(0, store.CreateDataFileMap());
    ASSERT_EQ(0, store.BuildIndexFile());
    store.m_stop = 1;
    EXPECT_EQ(1, store.QuickSort());
    CMemSort::SetSortMemoryLimit(1);
    EXPECT_EQ(1, store.QuickSort());
    EXPECT_EQ(1u, FilesInFolder());  // the external sort's run file is gone too
}

TEST_F(MemSortTest, RowPointersAreBoundsChecked) {
    CKeyStore store;
    ASSERT_EQ(0, store.Create(nullptr));
    ASSERT_EQ(0, store.Append(4));
    ASSERT_EQ(0, store.CreateDataFileMap());
    ASSERT_EQ(0, store.BuildIndexFile());
    EXPECT_EQ(4, store.GetRowPtr(0));
    EXPECT_EQ(-1, store.GetRowPtr(1));
    EXPECT_EQ(-1, store.GetRowPtr(-1));
    EXPECT_EQ(-1, store.DeleteRow(1));
    EXPECT_EQ(0, store.DeleteRow(0));
    EXPECT_EQ(0, store.GetRowCount());
}

// --- data held in memory up to the memory data limit ------------------------------------------

class MemSortInMemoryTest : public MemSortTest {
protected:
    void SetUp() override {
        MemSortTest::SetUp();
        CMemSort::SetMemoryDataLimit(8 * 100);  // 100 rows of 8 bytes
    }
};

TEST_F(MemSortInMemoryTest, SmallDataNeverTouchesTheFolderAndSortsTheSame) {
    CKeyStore store;
    ASSERT_EQ(0, store.Create(nullptr));
    for (uint32_t key : {9u, 3u, 7u, 3u, 1u, 9u})
        ASSERT_EQ(0, store.Append(key));
    SortStore(store);
    EXPECT_EQ((std::vector<uint32_t>{1, 3, 7, 9}), store.Keys());
    EXPECT_EQ(4 * 8, store.GetFileSize());
    EXPECT_TRUE(store.IsInMemory());
    EXPECT_EQ("", store.GetFileName());
    EXPECT_TRUE(store.HasDataFile());
    EXPECT_EQ(0u, FilesInFolder());
}

TEST_F(MemSortInMemoryTest, DataAtTheLimitStaysAndOneRowMoreMovesToAFileRemovedWithTheStore) {
    std::string path;
    {
        CKeyStore store;
        ASSERT_EQ(0, store.Create(nullptr));
        for (uint32_t key = 100; key > 0; --key)
            ASSERT_EQ(0, store.Append(key));
        EXPECT_TRUE(store.IsInMemory());
        EXPECT_EQ(0u, FilesInFolder());
        // A mapping taken in memory stays readable when the data moves to the file.
        ASSERT_EQ(0, store.CreateDataFileMap());
        ASSERT_EQ(0, store.BuildIndexFile());
        ASSERT_EQ(0, store.Append(500));
        EXPECT_FALSE(store.IsInMemory());
        path = store.GetFileName();
        EXPECT_TRUE(PlatFileExists(path));
        EXPECT_EQ(1u, FilesInFolder());
        EXPECT_EQ(101 * 8, store.GetFileSize());
        EXPECT_EQ(100u, store.Keys().size());
        EXPECT_EQ(100u, store.Keys().front());
        SortStore(store);
        std::vector<uint32_t> expected;
        for (uint32_t key = 1; key <= 100; ++key)
            expected.push_back(key);
        expected.push_back(500);
        EXPECT_EQ(expected, store.Keys());
        EXPECT_EQ(1u, FilesInFolder());
    }
    EXPECT_FALSE(PlatFileExists(path));
    EXPECT_EQ(0u, FilesInFolder());
}

TEST_F(MemSortInMemoryTest, ExternalSortOfDataInMemoryMatchesAndLeavesNoFile) {
    CMemSort::SetMemoryDataLimit(1 << 20);
    CMemSort::SetSortMemoryLimit(4096);
    std::mt19937 random(7);
    std::vector<uint32_t> keys(20000);
    for (auto& key : keys)
        key = random() % 5000;
    CKeyStore store;
    ASSERT_EQ(0, store.Create(nullptr));
    for (uint32_t key : keys)
        ASSERT_EQ(0, store.Append(key));
    EXPECT_TRUE(store.IsInMemory());
    SortStore(store);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    EXPECT_EQ(keys, store.Keys());
    // The runs and the merged file are gone: the deduplicated rows fit in memory again.
    EXPECT_TRUE(store.IsInMemory());
    EXPECT_EQ(0u, FilesInFolder());
}

TEST_F(MemSortInMemoryTest, CreateStillFailsWithAReasonWhenTheFolderIsMissing) {
    CMemSort::SetTempFolder(m_folder + "/missing");
    CKeyStore store;
    EXPECT_EQ(-1, store.Create(nullptr));
    EXPECT_NE(std::string::npos, store.GetLastError().find("cannot create a temporary file"));
    EXPECT_EQ(-1, store.Append(1));
}

TEST_F(MemSortInMemoryTest, ALimitOfZeroOrFromTheEnvironmentIsRespected) {
    CMemSort::SetMemoryDataLimit(0);
    EXPECT_EQ(0, CMemSort::GetMemoryDataLimit());
    CKeyStore store;
    ASSERT_EQ(0, store.Create(nullptr));
    EXPECT_FALSE(store.IsInMemory());
    EXPECT_EQ(1u, FilesInFolder());
    CMemSort::SetMemoryDataLimit(-5);
    EXPECT_EQ(0, CMemSort::GetMemoryDataLimit());
}

TEST_F(MemSortInMemoryTest, StoresBeyondTheProcessBudgetWriteFilesAndFreedMemoryIsReturned) {
    const int64_t before = CRowFile::GetMemoryInUse();
    CRowFile::SetMemoryBudget(before + 8 * 60);  // room for 60 rows of all stores together
    {
        CKeyStore first, second;
        ASSERT_EQ(0, first.Create(nullptr));
        ASSERT_EQ(0, second.Create(nullptr));
        for (uint32_t key = 0; key < 50; ++key)
            ASSERT_EQ(0, first.Append(key));
        EXPECT_EQ(before + 8 * 50, CRowFile::GetMemoryInUse());
        for (uint32_t key = 0; key < 20; ++key)
            ASSERT_EQ(0, second.Append(key));
        EXPECT_TRUE(first.IsInMemory());
        EXPECT_FALSE(second.IsInMemory());  // the 11th row did not fit the budget
        EXPECT_EQ(1u, FilesInFolder());
        EXPECT_EQ(before + 8 * 50, CRowFile::GetMemoryInUse());
        SortStore(second);
        EXPECT_EQ(20u, second.Keys().size());
    }
    EXPECT_EQ(before, CRowFile::GetMemoryInUse());
    EXPECT_EQ(0u, FilesInFolder());
    CRowFile::SetMemoryBudget(64LL << 20);
}

}  // namespace
