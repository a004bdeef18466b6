// CPackage: answers written by CPackageWriter load back exactly; anything malformed or truncated
// is refused; AppendPackageText joins zero-ended pieces as lines.
#include <gtest/gtest.h>

#include <cstring>

#include "backend/strata/strata_package.h"
#include "backend/strata/strata_routines.h"

namespace {

std::string Build(uint8_t kind, const std::vector<std::string>& entries, const std::string& cont) {
    CPackageWriter w(kind, 65535);
    for (const auto& e : entries) EXPECT_TRUE(w.Add(e));
    std::string out(65535, '\0');
    const int n = w.Finish(cont, out.data());
    EXPECT_GT(n, 0);
    out.resize(size_t(n));
    return out;
}

TEST(CPackageTest, LinesAndContinuationRoundTrip) {
    const std::string answer = Build(kPackageLines, {"0000001", "", "0000042"}, "0000042");
    CPackage pkg;
    ASSERT_EQ(pkg.LoadPackage(answer), 0);
    ASSERT_EQ(pkg.CvtPackageToLineFormat(1), 0);
    EXPECT_EQ(pkg.GetLines(), (std::vector<std::string>{"0000001", "", "0000042"}));
    EXPECT_EQ(pkg.GetContinuation(), "0000042");
    EXPECT_EQ(pkg.GetLine(3), nullptr);
}

TEST(CPackageTest, BlocksKeepZeroOctetsAndRefuseLineFormat) {
    const std::string block("#0000001 ab\0", 12);
    CPackage pkg;
    ASSERT_EQ(pkg.LoadPackage(Build(kPackageBlocks, {block}, "")), 0);
    EXPECT_EQ(pkg.CvtPackageToLineFormat(1), -1);
    ASSERT_EQ(pkg.CvtPackageToBinFormat(1), 0);
    ASSERT_EQ(pkg.GetRecordCount(), 1u);
    EXPECT_EQ(std::string(pkg.GetRecord(0)->begin(), pkg.GetRecord(0)->end()), block);
    EXPECT_TRUE(pkg.GetContinuation().empty());
    EXPECT_EQ(pkg.CvtPackageToBinFormat(2), -1);
}

TEST(CPackageTest, AnswerInsideALargerBufferLoads) {
    std::string buffer = Build(kPackageLines, {"x"}, "");
    buffer.resize(65535, '\x7f');
    CPackage pkg;
    EXPECT_EQ(pkg.LoadPackage(buffer), 0);
}

TEST(CPackageTest, EveryTruncationIsRefused) {
    const std::string answer = Build(kPackageLines, {"0000001", "0000002", "abc"}, "12");
    for (size_t n = 0; n < answer.size(); ++n) {
        CPackage pkg;
        EXPECT_EQ(pkg.LoadPackage(answer.data(), n), -1) << "length " << n;
        EXPECT_EQ(pkg.CvtPackageToBinFormat(1), -1);
    }
}

TEST(CPackageTest, MalformedHeadersAndEntriesAreRefused) {
    const std::string good = Build(kPackageLines, {"ab", "cd"}, "");
    auto refused = [](std::string s) {
        CPackage pkg;
        return pkg.LoadPackage(s) == -1;
    };
    std::string s = good;
    s[0] = 'X';
    EXPECT_TRUE(refused(s)) << "magic";
    s = good;
    s[8] = 3;
    EXPECT_TRUE(refused(s)) << "kind";
    s = good;
    s[11] = 100;  // entry count far beyond the content
    EXPECT_TRUE(refused(s)) << "count";
    s = good;
    s[15] = 0x7f;  // first entry length past the end
    EXPECT_TRUE(refused(s)) << "entry length";
    s = good;
    s[19] = '\0';  // zero octet inside a line
    EXPECT_TRUE(refused(s)) << "zero in line";
    s = good + "zz";  // total length says less than the entries... append and fix the total
    s[4] = char(good.size() + 2);
    EXPECT_TRUE(refused(s)) << "trailing octets";
    s = good;
    s[9] = char(0xff);
    s[10] = char(0xff);
    EXPECT_TRUE(refused(s)) << "continuation length";
    EXPECT_EQ(CPackage().LoadPackage(nullptr, 100), -1);
}

TEST(CPackageTest, WriterNeverExceedsItsCapacity) {
    CPackageWriter w(kPackageLines, 40);
    EXPECT_TRUE(w.Add("0123456789"));
    EXPECT_FALSE(w.Add("0123456789"));
    std::string out(40, '\0');
    const int n = w.Finish("", out.data());
    EXPECT_GT(n, 0);
    EXPECT_LE(n, 40);
    EXPECT_EQ(w.Finish(std::string(300, '1'), out.data()), -1);
}

TEST(AppendPackageTextTest, ZeroEndedPiecesBecomeLines) {
    const unsigned char block[] = {'a', 'b', 0, 0, 'c', 0, 'x', 'y'};
    std::string text = "<";
    AppendPackageText(text, block, sizeof block);
    EXPECT_EQ(text, "<ab\r\n\r\nc\r\n");
    AppendPackageText(text, block + 6, 2);  // no zero: nothing appended
    EXPECT_EQ(text, "<ab\r\n\r\nc\r\n");
}

}  // namespace
