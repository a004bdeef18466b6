// Whole-file operations, folders, temporary names, local-time formatting and error texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "platform/file.h"
#include "platform/localtime.h"
#include "platform/syserror.h"
#include "platform/tempname.h"
#include "temp_folder.h"

namespace {
class FileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_dir.Path().empty()); }
    std::string Read(const std::string& path) {
        std::string data;
        EXPECT_EQ(PlatReadFile(path, data, 1 << 20), 0);
        return data;
    }
    TempFolder m_dir;
};

TEST_F(FileTest, AtomicWriteReplacesContentAndLeavesNoTemporary) {
    std::string path = m_dir.File("a.bin");
    ASSERT_EQ(PlatWriteFileAtomic(path, "first", 5), 0);
    ASSERT_EQ(PlatWriteFileAtomic(path, "2nd", 3), 0);
    EXPECT_EQ(Read(path), "2nd");
    std::vector<std::string> names;
    ASSERT_EQ(PlatListDirectory(m_dir.Path(), names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"a.bin"});
}

TEST_F(FileTest, AppendAddsAtTheEndAndCreatesTheFile) {
    std::string path = m_dir.File("log.txt");
    ASSERT_EQ(PlatAppendFile(path, "ab", 2), 0);
    ASSERT_EQ(PlatAppendFile(path, "\0c", 2), 0);
    EXPECT_EQ(Read(path), std::string("ab\0c", 4));
}

TEST_F(FileTest, ReadAboveTheLimitIsRefused) {
    std::string path = m_dir.File("big");
    ASSERT_EQ(PlatWriteFileAtomic(path, "0123456789", 10), 0);
    std::string data = "old";
    EXPECT_EQ(PlatReadFile(path, data, 9), -1);
    EXPECT_EQ(PlatLastError(), EFBIG);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(PlatReadFile(path, data, 10), 0);
    EXPECT_EQ(data.size(), 10u);
}

TEST_F(FileTest, ReadingAMissingFileOrAFolderFails) {
    std::string data;
    EXPECT_EQ(PlatReadFile(m_dir.File("none"), data, 100), -1);
    EXPECT_EQ(PlatLastError(), ENOENT);
    EXPECT_EQ(PlatReadFile(m_dir.Path(), data, 100), -1);
    EXPECT_EQ(PlatLastError(), EISDIR);
}

TEST_F(FileTest, WritingIntoAMissingFolderFails) {
    EXPECT_EQ(PlatWriteFileAtomic(m_dir.File("no/such.txt"), "x", 1), -1);
    EXPECT_EQ(PlatAppendFile(m_dir.File("no/such.txt"), "x", 1), -1);
    EXPECT_FALSE(PlatFileExists(m_dir.File("no")));
}

TEST_F(FileTest, MakeDirectoriesCreatesParentsAndAcceptsExisting) {
    std::string deep = m_dir.File("x/y/z");
    ASSERT_EQ(PlatMakeDirectories(deep), 0);
    EXPECT_TRUE(PlatIsDirectory(deep));
    EXPECT_EQ(PlatMakeDirectories(deep + "/"), 0);
    ASSERT_EQ(PlatAppendFile(m_dir.File("plain"), "x", 1), 0);
    EXPECT_EQ(PlatMakeDirectories(m_dir.File("plain/sub")), -1);
}

TEST_F(FileTest, DeleteRemovesAFileOnce) {
    std::string path = m_dir.File("d");
    ASSERT_EQ(PlatAppendFile(path, "x", 1), 0);
    EXPECT_TRUE(PlatFileExists(path));
    EXPECT_EQ(PlatDeleteFile(path), 0);
    EXPECT_FALSE(PlatFileExists(path));
    EXPECT_EQ(PlatDeleteFile(path), -1);
}

TEST(PlatJoinPathTest, JoinsWithExactlyOneSeparator) {
    EXPECT_EQ(PlatJoinPath("a", "b"), "a/b");
    EXPECT_EQ(PlatJoinPath("a/", "b"), "a/b");
    EXPECT_EQ(PlatJoinPath("a", "/b"), "a/b");
    EXPECT_EQ(PlatJoinPath("a/", "/b"), "a/b");
    EXPECT_EQ(PlatJoinPath("", "b"), "b");
    EXPECT_EQ(PlatJoinPath("a", ""), "a");
}

class TempNameTest : public FileTest {};

TEST_F(TempNameTest, NamesAreUniqueCreatedEmptyAndFollowThePattern) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        std::string name = PlatGetTempFileName(m_dir.Path(), "zrset");
        ASSERT_FALSE(name.empty());
        EXPECT_TRUE(seen.insert(name).second) << name;
        EXPECT_EQ(Read(name), "");
        std::string base = name.substr(m_dir.Path().size() + 1);
        EXPECT_EQ(base.substr(0, 3), "zrs");
        ASSERT_GT(base.size(), 7u);
        EXPECT_EQ(base.substr(base.size() - 4), ".tmp");
        std::string hex = base.substr(3, base.size() - 7);
        EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos) << base;
    }
}

TEST_F(TempNameTest, TrailingSlashGivesTheSameFolder) {
    std::string name = PlatGetTempFileName(m_dir.Path() + "/", "ab");
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name.rfind(m_dir.Path() + "/ab", 0), 0u) << name;
    EXPECT_EQ(name.find("//"), std::string::npos);
}

TEST_F(TempNameTest, MissingFolderGivesEmptyName) {
    EXPECT_EQ(PlatGetTempFileName(m_dir.File("missing"), "tmp"), "");
}

TEST(PlatFormatLocalTimeTest, FormatsLocalTimeWithStrftime) {
    struct tm parts {};
    parts.tm_year = 2005 - 1900;
    parts.tm_mon = 8;
    parts.tm_mday = 23;
    parts.tm_hour = 7;
    parts.tm_min = 5;
    parts.tm_sec = 9;
    parts.tm_isdst = -1;
    time_t t = mktime(&parts);
    EXPECT_EQ(PlatFormatLocalTime("%Y%m%d", t), "20050923");
    EXPECT_EQ(PlatFormatLocalTime("%Y-%m-%d [%H:%M:%S]", t), "2005-09-23 [07:05:09]");
}

TEST(PlatFormatLocalTimeTest, ResultThatDoesNotFitGivesEmptyText) {
    std::string longFormat(200, 'x');
    EXPECT_EQ(PlatFormatLocalTime(longFormat.c_str(), 0), "");
    EXPECT_EQ(PlatFormatLocalTime(nullptr, 0), "");
}

TEST(PlatSystemErrorTextTest, KnownAndUnknownCodesGiveText) {
    EXPECT_EQ(PlatSystemErrorText(ENOENT), "No such file or directory");
    EXPECT_FALSE(PlatSystemErrorText(123456).empty());
}
}  // namespace
