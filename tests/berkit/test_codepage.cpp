// Code-page conversions: GBK, UTF-8 and wide text, invalid input, the operator texts; the default
// ANSI code page GB18030; the query-term character set.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "ber_test_util.h"
#include "berkit/codepage.h"
#include "platform/codepage.h"

namespace {

// Most cases are about GBK as the ANSI code page; the process default is GB18030.
class CodePageTest : public ::testing::Test {
protected:
    void SetUp() override { m_default = PlatGetAnsiCodePage(); PlatSetAnsiCodePage("GBK"); }
    void TearDown() override { PlatSetAnsiCodePage(m_default.c_str()); }
    std::string m_default;
};

TEST(DefaultCodePageTest, Gb18030ReadsGbkAlikeAndKeepsLettersGbkLacks)
{
    ASSERT_EQ(PlatGetAnsiCodePage(), "GB18030");
    EXPECT_EQ(AnsiToUtf8("\xD6\xD0\xCE\xC4"), "中文");  // GBK octets
    for (const char* text : {"Łukasiewicz", "Ångström", "Σωκράτης", "Иванов", "ひらがな", "😀"})
        EXPECT_EQ(AnsiToUtf8(Utf8ToAnsi(text)), text) << text;
}

TEST(QueryCharsetTest, TermsOfClientsThatDidNotNegotiate)
{
    const std::string mueller = "M\xC3\xBCller", gbkZhong = "\xD6\xD0";  // Müller in UTF-8, 中 in GBK
    struct Case {
        const char* mode;
        std::string term;
        std::string ansi;
    } cases[] = {
        {"ansi", mueller, mueller},
        {"utf-8", mueller, Utf8ToAnsi(mueller)},
        {"auto", mueller, Utf8ToAnsi(mueller)},
        {"auto", gbkZhong, gbkZhong},         // not UTF-8: the ANSI code page
        {"AUTO", "smith", "smith"},
        {"auto", "\xE4\xB8", "\xE4\xB8"},   // truncated UTF-8 stays as sent
        {"auto", "\xC0\xAF", "\xC0\xAF"},   // overlong form
        {"auto", "\xED\xA0\x80", "\xED\xA0\x80"},  // surrogate
    };
    for (const Case& c : cases) {
        CQueryCharset charset;
        ASSERT_TRUE(ParseQueryCharset(c.mode, charset)) << c.mode;
        EXPECT_EQ(QueryTermToAnsi(c.term, charset), c.ansi) << c.mode << " " << c.term;
    }
    CQueryCharset charset;
    EXPECT_FALSE(ParseQueryCharset("latin1", charset));
}

TEST_F(CodePageTest, GbkCharacterBecomesThreeUtf8OctetsAndBack)
{
    CByteArray gbk = Hex("D6 D0 CE C4"), utf8;  // 中文
    EXPECT_EQ(ANSI_UTF8(utf8, gbk), 6);
    EXPECT_EQ(utf8, Hex("E4 B8 AD E6 96 87"));
    CByteArray single = Hex("E4 B8 AD"), ansi;
    EXPECT_EQ(UTF8_ANSI(ansi, single), 2);
    EXPECT_EQ(ansi, Hex("D6 D0"));
}

TEST_F(CodePageTest, AsciiWidensToLittleEndianUnits)
{
    CByteArray text = Hex("41 42"), wide;
    EXPECT_EQ(ToWChar(wide, text, 0), 2);
    EXPECT_EQ(wide, Hex("41 00 42 00"));
    CByteArray odd = Hex("41 00 42"), back;
    EXPECT_EQ(ToMByte(back, odd, 0), 1);
    EXPECT_EQ(back, Hex("41"));
}

TEST_F(CodePageTest, EmptyInputReturnsZeroAndLeavesOutputAlone)
{
    CByteArray empty, out = Hex("99");
    EXPECT_EQ(UTF8_ANSI(out, empty), 0);
    EXPECT_EQ(out, Hex("99"));
    EXPECT_EQ(ANSI_UTF8(out, empty), 0);
    EXPECT_EQ(out, Hex("99"));
    CByteArray wide = Hex("41 00");
    EXPECT_EQ(ToWChar(wide, empty, 65001), 0);
    EXPECT_TRUE(wide.empty());
}

TEST_F(CodePageTest, ZeroOctetsAreConvertedToo)
{
    CByteArray text = Hex("41 00 42"), wide;
    EXPECT_EQ(ToWChar(wide, text, 65001), 3);
    EXPECT_EQ(wide, Hex("41 00 00 00 42 00"));
}

TEST_F(CodePageTest, InvalidSequencesAreSubstitutedNotFatal)
{
    CByteArray badUtf8 = Hex("41 FF 42"), wide;
    EXPECT_EQ(ToWChar(wide, badUtf8, 65001), 3);
    EXPECT_EQ(wide, Hex("41 00 FD FF 42 00"));
    CByteArray truncated = Hex("41 E4 B8"), ansi;
    EXPECT_EQ(UTF8_ANSI(ansi, truncated), 2);
    EXPECT_EQ(ansi, Hex("41 3F"));  // U+FFFD has no GBK form: "?"
    CByteArray loneSurrogate = Hex("41 00 00 D8 42 00"), text;
    EXPECT_EQ(ToMByte(text, loneSurrogate, 65001), 3);
    EXPECT_EQ(text, Hex("41 3F 42"));
    CByteArray emoji = Hex("3D D8 00 DE"), gbk;  // U+1F600, one character outside GBK
    EXPECT_EQ(ToMByte(gbk, emoji, 936), 1);
    EXPECT_EQ(gbk, Hex("3F"));
}

TEST_F(CodePageTest, UnknownCodePageFails)
{
    CByteArray text = Hex("41"), wide = Hex("01");
    EXPECT_EQ(ToWChar(wide, text, 12345), 0);
    EXPECT_TRUE(wide.empty());
}

TEST_F(CodePageTest, LongTextConvertsCompletely)
{
    std::string gbk;
    for (int i = 0; i < 5000; ++i)
        gbk += "\xD6\xD0" "a";
    std::string utf8 = AnsiToUtf8(gbk);
    EXPECT_EQ(utf8.size(), 5000u * 4);
    EXPECT_EQ(Utf8ToAnsi(utf8), gbk);
}

TEST_F(CodePageTest, AnsiCodePageCanBeSwitchedToUtf8)
{
    EXPECT_FALSE(PlatSetAnsiCodePage("NO-SUCH-CHARSET"));
    EXPECT_EQ(PlatGetAnsiCodePage(), "GBK");
    EXPECT_EQ(OperatorText("系统"), "\xCF\xB5\xCD\xB3");
    ASSERT_TRUE(PlatSetAnsiCodePage("UTF-8"));
    EXPECT_EQ(OperatorText("系统"), "系统");
    EXPECT_EQ(Utf8ToAnsi("\xE4\xB8\xAD"), "\xE4\xB8\xAD");
}

TEST_F(CodePageTest, SystemErrorTextIsPrefixed)
{
    std::string text;
    ReportSystemErrorMessage(ENOENT, text);
    EXPECT_EQ(text, OperatorText("系统错误信息：") + "No such file or directory");
    ReportSystemErrorMessage(999999, text);
    EXPECT_EQ(text.rfind(OperatorText("系统错误信息："), 0), 0u);
    EXPECT_GT(text.size(), OperatorText("系统错误信息：").size());
}

TEST_F(CodePageTest, ConcurrentConversionsAgree)
{
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 500; ++i) {
                if (AnsiToUtf8("\xD6\xD0\xCE\xC4") != "\xE4\xB8\xAD\xE6\x96\x87" || Utf8ToAnsi("abc") != "abc")
                    ++failures[t];
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
