// CLogger: line format, level names, day files, byte-exact text, concurrency, failures.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "../platform/temp_folder.h"
#include "logger.h"
#include "platform/file.h"

namespace {
// Local time 2005-09-23 hh:mm:ss as a time_t (day 23 + dayOffset).
time_t LocalTime(int dayOffset, int hour, int minute, int second) {
    struct tm parts {};
    parts.tm_year = 2005 - 1900;
    parts.tm_mon = 8;
    parts.tm_mday = 23 + dayOffset;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    return mktime(&parts);
}

class CLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        m_log.m_folder = m_dir.Path() + "/";
        m_log.SetTimeSource([this] { return m_now.load(); });
    }
    std::string ReadLog(const std::string& name) {
        std::string data;
        EXPECT_EQ(PlatReadFile(m_dir.File(name), data, 1 << 24), 0) << name;
        return data;
    }
    std::vector<std::string> Files() {
        std::vector<std::string> names;
        EXPECT_EQ(PlatListDirectory(m_dir.Path(), names), 0);
        return names;
    }
    TempFolder m_dir;
    CLogger m_log;
    std::atomic<time_t> m_now{LocalTime(0, 14, 3, 7)};
};

TEST_F(CLoggerTest, LineHasStampLevelAndMessageEndedByCrLf) {
    m_log.Write(2, "listener destroyed: %d", 210);
    EXPECT_EQ(ReadLog("20050923.log"), "2005-09-23 [14:03:07]\tinfo     \tlistener destroyed: 210\r\n");
}

TEST_F(CLoggerTest, LinesAppendInOrder) {
    m_log.Write(0, "first");
    m_log.Write(1, "%s", "second");
    EXPECT_EQ(ReadLog("20050923.log"),
              "2005-09-23 [14:03:07]\terror    \tfirst\r\n2005-09-23 [14:03:07]\twarning  \tsecond\r\n");
}

TEST_F(CLoggerTest, FormatEndingInCrLfStillGetsTheLineEnd) {
    m_log.Write(0, "Accept on port %d failed. %s\r\n\t", 210, "x");
    EXPECT_EQ(ReadLog("20050923.log"), "2005-09-23 [14:03:07]\terror    \tAccept on port 210 failed. x\r\n\t\r\n");
}

TEST_F(CLoggerTest, LevelNamesArePaddedToNineAndUnknownLevelsAreSafe) {
    EXPECT_STREQ(m_log.GetLevelName(0), "error    ");
    EXPECT_STREQ(m_log.GetLevelName(1), "warning  ");
    EXPECT_STREQ(m_log.GetLevelName(2), "info     ");
    EXPECT_STREQ(m_log.GetLevelName(3), "unknown  ");
    EXPECT_STREQ(m_log.GetLevelName(-1), "unknown  ");
    m_log.Write(99, "odd");
    EXPECT_EQ(ReadLog("20050923.log"), "2005-09-23 [14:03:07]\tunknown  \todd\r\n");
}

TEST_F(CLoggerTest, DisabledLoggerCreatesNoFile) {
    m_log.m_enabled = false;
    m_log.Write(0, "nothing");
    EXPECT_TRUE(Files().empty());
}

TEST_F(CLoggerTest, GbkTextIsWrittenByteForByte) {
    const char gbk[] = "\xD6\xD0\xCE\xC4\xCA\xFD\xBE\xDD\xBF\xE2";  // "中文数据库" in GBK
    m_log.Write(2, "%s", gbk);
    std::string expected = std::string("2005-09-23 [14:03:07]\tinfo     \t") + gbk + "\r\n";
    EXPECT_EQ(ReadLog("20050923.log"), expected);
}

TEST_F(CLoggerTest, LinesEitherSideOfMidnightGoToTheirOwnDays) {
    m_now = LocalTime(0, 23, 59, 59);
    m_log.Write(2, "before");
    m_now = LocalTime(1, 0, 0, 0);
    m_log.Write(2, "after");
    EXPECT_EQ(Files(), (std::vector<std::string>{"20050923.log", "20050924.log"}));
    EXPECT_EQ(ReadLog("20050923.log"), "2005-09-23 [23:59:59]\tinfo     \tbefore\r\n");
    EXPECT_EQ(ReadLog("20050924.log"), "2005-09-24 [00:00:00]\tinfo     \tafter\r\n");
}

TEST_F(CLoggerTest, MissingFolderLosesTheLineQuietly) {
    m_log.m_folder = m_dir.File("missing/");
    EXPECT_NO_THROW(m_log.Write(0, "lost"));
    EXPECT_TRUE(Files().empty());
}

TEST_F(CLoggerTest, UnwritableFolderLosesTheLineQuietly) {
    // A "folder" that is a plain file cannot hold the log, whoever runs the test (root included).
    ASSERT_EQ(PlatAppendFile(m_dir.File("plain"), "x", 1), 0);
    m_log.m_folder = m_dir.File("plain") + "/";
    EXPECT_NO_THROW(m_log.Write(0, "lost"));
    EXPECT_EQ(Files(), std::vector<std::string>{"plain"});
    if (geteuid() == 0) return;  // root ignores folder permissions
    std::string locked = m_dir.File("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0500), 0);
    m_log.m_folder = locked + "/";
    EXPECT_NO_THROW(m_log.Write(0, "lost"));
    std::vector<std::string> names;
    EXPECT_EQ(PlatListDirectory(locked, names), 0);
    EXPECT_TRUE(names.empty());
}

TEST_F(CLoggerTest, OverlongMessageIsCutAtTheLimit) {
    std::string huge(CLogger::kMaxMessageBytes + 1000, 'm');
    m_log.Write(2, "%s", huge.c_str());
    std::string data = ReadLog("20050923.log");
    EXPECT_EQ(data.size(), 21 + 1 + 9 + 1 + CLogger::kMaxMessageBytes + 2);
    EXPECT_EQ(data.substr(data.size() - 3), "m\r\n");
}

TEST_F(CLoggerTest, ConcurrentWritersLeaveEveryLineWhole) {
    constexpr int kThreads = 8, kLines = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i) m_log.Write(2, "thread %d line %04d padding-padding", t, i);
        });
    for (auto& th : threads) th.join();
    std::string data = ReadLog("20050923.log");
    std::vector<int> next(kThreads, 0);
    size_t pos = 0, lines = 0;
    while (pos < data.size()) {
        size_t end = data.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        int t = -1, i = -1;
        std::string line = data.substr(pos, end - pos);
        ASSERT_EQ(sscanf(line.c_str(), "2005-09-23 [14:03:07]\tinfo     \tthread %d line %d padding-padding", &t, &i), 2)
            << line;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++);  // each thread's lines appear once, in its order
        ++lines;
        pos = end + 2;
    }
    EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
}
}  // namespace
