// The access log: the PQF text of queries, the line's fields, the bounded queue and the day files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "berkit/bernode_apdu.h"
#include "berkit/bernode_decoders.h"
#include "platform/file.h"
#include "platform/localtime.h"
#include "server/accesslog.h"
#include "server/querytext.h"
#include "tests/server/server_test_util.h"
#include "tests/server/test_search_fixture.h"

using namespace searchtest;

namespace {

std::string PqfOf(const CByteArray& rpn) {
    CByteArray pdu = SearchPdu("", {"books"}, rpn);
    CBERNode root;
    CBERNode* apdu = tunneltest::Decode(root, pdu);
    EXPECT_NE(apdu, nullptr);
    CZSearchRequest request;
    DecodeSearchRequest(apdu, false, request);
    return QueryToPqf(request.m_rpn, false);
}

TEST(QueryTextTest, RpnTreesReadAsYazClientsPrefixNotation) {
    const struct {
        CByteArray rpn;
        const char* pqf;
    } rows[] = {
        {Term(4, "computer"), "@attr 1=4 computer"},
        {Term(1003, "knuth, donald"), "@attr 1=1003 \"knuth, donald\""},
        {Term(4, "say \"hi\""), "@attr 1=4 \"say \\\"hi\\\"\""},
        {And(Term(4, "a"), Or(Term(21, "b"), SetRef("s1"))), "@and @attr 1=4 a @or @attr 1=21 b @set s1"},
        {AndNot(Term(4, "a"), Term(4, "b")), "@not @attr 1=4 a @attr 1=4 b"},
        {Op(3, Term(4, "a"), Term(4, "b")), "? @attr 1=4 a @attr 1=4 b"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(PqfOf(row.rpn), row.pqf);
    CByteArray deep = Term(4, "x");
    for (int i = 0; i < kRPNMaxDepth + 5; ++i)
        deep = And(deep, Term(4, "y"));
    EXPECT_NE(PqfOf(deep).find('?'), std::string::npos);  // bounded, not recursed without end
    EXPECT_EQ(QueryToPqf(nullptr, false), "");
}

TEST(AccessLogTest, LinesHaveTenFieldsAndReachTheDayFile) {
    vktest::CTempHome home("accesslog");
    CAccessRecord r;
    r.m_sessionId = 0xab;
    r.m_address = "::1";
    r.m_operation = "search";
    r.m_query = "@attr 1=4 \"a\tb\"";
    r.m_count = 7;
    r.m_status = "ok";
    r.m_milliseconds = 1.25;
    const time_t now = time(nullptr);
    const std::string line = CAccessLog::FormatLine(r, now);
    EXPECT_EQ(line.substr(19), "\t000000ab\t::1\t-\tsearch\t-\t@attr 1=4 \"a b\"\t7\tok\t1.2\n");
    {
        CAccessLog log;
        log.SetFolder(home.Path());
        EXPECT_TRUE(log.Write(r, now));
        EXPECT_TRUE(log.Write(r, now));
    }  // the destructor writes what is queued
    std::string text;
    ASSERT_EQ(PlatReadFile(home.Path() + PlatFormatLocalTime("%Y%m%d", now) + ".access.log", text, 1 << 20), 0);
    EXPECT_EQ(text, line + line);
}

TEST(AccessLogTest, AStalledDiskDropsLinesInsteadOfBlockingTheSession) {
    vktest::CTempHome home("accessfull");
    // A FIFO as today's file: the writer blocks opening it, as on a disk that stopped answering.
    const std::string day = home.Path() + PlatFormatLocalTime("%Y%m%d", time(nullptr)) + ".access.log";
    ASSERT_EQ(mkfifo(day.c_str(), 0600), 0);
    std::atomic<bool> done{false};
    std::thread reader;
    {
        CAccessLog log;
        log.SetFolder(home.Path());
        CAccessRecord r;
        size_t dropped = 0;
        const size_t total = 3 * CAccessLog::kMaxQueued;
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < total; ++i)
            dropped += log.Write(r, time(nullptr)) ? 0 : 1;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_GE(dropped, total - 2 * CAccessLog::kMaxQueued);
        reader = std::thread([&] {  // unblocks the writer so that the log can end
            char buffer[65536];
            while (!done.load()) {
                const int fd = open(day.c_str(), O_RDONLY | O_NONBLOCK);
                for (ssize_t n = 1; fd >= 0 && n != 0;)
                    if ((n = read(fd, buffer, sizeof buffer)) < 0)
                        usleep(1000);
                if (fd >= 0)
                    close(fd);
                usleep(1000);
            }
        });
    }
    done = true;
    reader.join();
}

}  // namespace
