// marcxml: MARCXML, line text and recoding of ISO 2709 records through libyaz, with their failures.

#include "backend/marc/marcxml.h"

#include <gtest/gtest.h>

#include "backend/marc/cvtdiriv.h"
#include "marc_test_util.h"

namespace {

std::string Record(const std::string& title, char leader09 = ' ') { return TitleRecord(title, leader09); }

// Record() with a control field 005 holding `data` before the 245.
std::string Control005(const std::string& data) {
    CByteArray iso;
    std::string error;
    EXPECT_GT(CvtDirivToISO2709(MakeDiriv({{"001", "0000007\x1E"}, {"005", data + "\x1E"}, {"245", "10\x1F" "aok\x1E"}}),
                                iso, 0, error, CMarcFormat::kMarc21),
              0)
        << error;
    return std::string(iso.begin(), iso.end());
}

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    while (times-- > 0)
        out += piece;
    return out;
}

}  // namespace

TEST(MarcXmlTest, ConvertsEscapesOrRefuses) {
    struct Case {
        const char* label;
        std::string iso;
        bool utf8;
        const char* charset;
        bool ok;
        const char* expect;  // a piece of the XML when ok
    } cases[] = {
        {"markup is escaped", Record("A<b>&\"'"), true, "", true, "<subfield code=\"a\">A&lt;b&gt;&amp;&quot;&apos;</subfield>"},
        {"UTF-8 kept", Record("Caf\xC3\xA9", 'a'), true, "", true, ">Caf\xC3\xA9<"},
        {"GB18030 converted", Record("\xD6\xD0\xCE\xC4"), false, "GB18030", true, ">\xE4\xB8\xAD\xE6\x96\x87<"},
        {"long field converted", Record(Repeat("\xD6\xD0", 3000)), false, "GB18030", true, "\xE4\xB8\xAD</subfield>"},
        {"MARC-8 diacritic", Record("M\xE8uller"), false, "MARC-8", true, ">Mu\xCC\x88ller<"},
        {"control octet left out", Record("a\x01z"), true, "", true, ">az<"},
        {"leader says Unicode", Record("x"), false, "MARC-8", true, "<leader>00064nam a2200049 a 4500</leader>"},
        {"namespace, no declaration", Record("x"), true, "", true, "<record xmlns=\"http://www.loc.gov/MARC21/slim\">"},
        {"not UTF-8", Record("bad \xFF"), true, "", false, ""},
        {"not GB18030", Record("bad \xFF\x20"), false, "GB18030", false, ""},
        {"bad control field before good fields", Control005("\xFF\xFE"), true, "", false, ""},
        {"unknown charset", Record("x"), false, "no-such-set", false, ""},
        {"truncated", Record("x").substr(0, 40), true, "", false, ""},
        {"too short", "00024", true, "", false, ""},
    };
    for (const Case& c : cases) {
        std::string xml = "stale", error;
        EXPECT_EQ(Iso2709ToMarcXml(c.iso, c.utf8, c.charset, xml, error), c.ok) << c.label << ": " << error;
        if (c.ok) {
            EXPECT_NE(xml.find(c.expect), std::string::npos) << c.label << ": " << xml;
            EXPECT_EQ(xml.find("<?xml"), std::string::npos) << c.label;
        } else {
            EXPECT_TRUE(xml.empty()) << c.label;
            EXPECT_FALSE(error.empty()) << c.label;
        }
    }
}

TEST(MarcXmlTest, LinesInTheWantedCharset) {
    std::string text, error;
    ASSERT_TRUE(Iso2709ToLines(Record("\xD6\xD0\xCE\xC4"), "GB18030", "UTF-8", text, error)) << error;
    EXPECT_EQ(text, "00067nam  2200049 a 4500\n001 0000007\n245 10 $a \xE4\xB8\xAD\xE6\x96\x87\n\n");
    ASSERT_TRUE(Iso2709ToLines(Record("\xD6\xD0"), "GB18030", "gb18030", text, error)) << error;
    EXPECT_NE(text.find("$a \xD6\xD0\n"), std::string::npos) << text;
    EXPECT_FALSE(Iso2709ToLines(Record("\xFF\x20"), "GB18030", "UTF-8", text, error));
    EXPECT_TRUE(text.empty());
}

TEST(MarcXmlTest, Marc8RoundTripsThroughUtf8) {
    const std::string marc8 = Record("M\xE8uller");
    std::string utf8, back, error;
    ASSERT_TRUE(Iso2709Recode(marc8, "MARC-8", "UTF-8", utf8, error)) << error;
    EXPECT_EQ(utf8[9], 'a');
    EXPECT_NE(utf8.find("Mu\xCC\x88ller\x1E\x1D"), std::string::npos);
    EXPECT_EQ(utf8.substr(0, 5), std::to_string(utf8.size()).insert(0, 5 - std::to_string(utf8.size()).size(), '0'));
    ASSERT_TRUE(Iso2709Recode(utf8, "UTF-8", "MARC-8", back, error)) << error;
    EXPECT_EQ(back, marc8);
    EXPECT_FALSE(Iso2709Recode(Record("\xFF"), "UTF-8", "MARC-8", back, error));
    EXPECT_TRUE(IsMarc8Charset("marc8") && IsMarc8Charset("MARC-8") && !IsMarc8Charset("UTF-8"));
}
