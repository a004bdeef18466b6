// Iso2Diriv: ISO 2709 records to Diriv text, character-set handling of UNIMARC records, and
// rejection of truncated or corrupt records without reading outside them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "berkit/codepage.h"
#include "berkit/marcglobal.h"

namespace {

struct Field {
    std::string tag;
    std::string data;  // indicators + subfields, without the field terminator
};

// Builds a well-formed ISO 2709 record (leader, directory, fields, terminators).
std::string BuildIso(const std::vector<Field>& fields) {
    std::string dir, data;
    for (const Field& f : fields) {
        char entry[13];
        std::snprintf(entry, sizeof(entry), "%3.3s%04zu%05zu", f.tag.c_str(), f.data.size() + 1, data.size());
        dir += entry;
        data += f.data + "\x1e";
    }
    size_t base = 24 + dir.size() + 1;
    size_t total = base + data.size() + 1;
    char leader[25];
    std::snprintf(leader, sizeof(leader), "%05zunam a22%05zu   4500", total, base);
    return std::string(leader) + dir + "\x1e" + data + "\x1d";
}

// The Diriv text the format defines for `fields` (converted field data given by the caller).
std::string ExpectedDiriv(const std::string& iso, const std::vector<Field>& fields) {
    std::string out = iso.substr(0, 24);
    for (const Field& f : fields) out += f.tag + f.data + "\x1e";
    return out + "\x1d";
}

// A UNIMARC 100 $a of 36 characters whose positions 28-29 are `charset`.
std::string Field100(const std::string& charset) {
    std::string a = "20240101d2024    km y0chiy50      ";
    a.replace(26, 2, "ea");
    a = a.substr(0, 28) + charset + "ea";
    return "  \x1f" "a" + a;
}

class Iso2DirivTest : public ::testing::Test {
protected:
    int Convert(const std::string& iso, bool charsetGiven = false, bool utf8 = false) {
        CByteArray record(iso.begin(), iso.end());
        return Iso2Diriv(record, m_diriv, m_error, charsetGiven, utf8);
    }
    // Runs a corrupt record and checks result -1 and the message (given as UTF-8 source text).
    void ExpectFailure(const std::string& iso, const std::string& utf8Message) {
        m_error.clear();
        EXPECT_EQ(Convert(iso), -1);
        EXPECT_EQ(m_error, OperatorText(utf8Message.c_str()));
    }
    std::string m_diriv, m_error;
};

TEST_F(Iso2DirivTest, OneFieldRecordGivesLeaderTagFieldAndTerminator) {
    std::string field = "10\x1f" "aTitle text ok";  // 17 octets, 18 with the terminator
    std::string iso = BuildIso({{"245", field}});
    ASSERT_EQ(iso.substr(12, 5), "00037");
    ASSERT_EQ(iso.substr(24, 12), "245001800000");
    EXPECT_EQ(Convert(iso), 46);
    EXPECT_EQ(m_diriv, ExpectedDiriv(iso, {{"245", field}}));
    EXPECT_TRUE(m_error.empty());
}

TEST_F(Iso2DirivTest, FieldsKeepDirectoryOrderNotDataOrder) {
    std::string iso = BuildIso({{"001", "id1"}, {"245", "10\x1f" "aT"}});
    // Swap the two directory entries: the data stays where it is.
    std::string swapped = iso.substr(0, 24) + iso.substr(36, 12) + iso.substr(24, 12) + iso.substr(48);
    EXPECT_GT(Convert(swapped), 0);
    EXPECT_EQ(m_diriv, iso.substr(0, 24) + "24510\x1f" "aT\x1e" "001id1\x1e\x1d");
}

TEST_F(Iso2DirivTest, SampleFileConvertsToTheSameFieldsThatYazShows) {
    std::string iso = BuildIso({{"001", "vk0001"}, {"100", "1 \x1f" "aDoe, Jane"},
                                {"245", "10\x1f" "aTest title\x1f" "cby Jane Doe"}});
    int length = Convert(iso);
    ASSERT_EQ(length, static_cast<int>(m_diriv.size()));
    EXPECT_EQ(m_diriv.substr(24), "001vk0001\x1e" "1001 \x1f" "aDoe, Jane\x1e" "24510\x1f" "aTest title\x1f"
                                  "cby Jane Doe\x1e\x1d");
}

TEST_F(Iso2DirivTest, UnimarcField100WithUnicodeConvertsTextFieldsOnly) {
    const std::string title = "200" "1 \x1f" "a\xe4\xb8\xad\xe6\x96\x87\xe5\x9b\xbe\xe4\xb9\xa6";  // 中文图书
    const std::string note = "1 \x1f" "a\xe8\xaf\xb4\xe6\x98\x8e";                                  // 说明
    std::string control = "\xe4\xb8\xad";  // UTF-8 in a control field stays as it is
    std::vector<Field> fields = {{"001", control}, {"100", Field100("50")}, {"200", title.substr(3)},
                                 {"300", note}};
    std::string iso = BuildIso(fields);
    ASSERT_GT(Convert(iso), 0);
    std::vector<Field> expected = fields;
    expected[2].data = Utf8ToAnsi(title.substr(3));
    expected[3].data = Utf8ToAnsi(note);
    EXPECT_EQ(m_diriv, ExpectedDiriv(iso, expected));
    EXPECT_NE(expected[2].data, fields[2].data);  // GBK differs from the UTF-8 octets
}

TEST_F(Iso2DirivTest, UnicodeNamedInTheG0PositionIsRecognisedToo) {
    // Real UTF-8 UNIMARC records put "50" at $a/26-27 and blanks at 28-29.
    std::string a = "20240101d2024    km y0chiy5050      ";
    a.replace(26, 4, "50  ");
    const std::string utf8Title = "1 \x1f" "a\xe4\xb8\xad\xe6\x96\x87";
    std::vector<Field> fields = {{"100", "  \x1f" "a" + a}, {"200", utf8Title}};
    std::string iso = BuildIso(fields);
    ASSERT_GT(Convert(iso), 0);
    std::vector<Field> expected = fields;
    expected[1].data = Utf8ToAnsi(utf8Title);
    EXPECT_EQ(m_diriv, ExpectedDiriv(iso, expected));
}

TEST_F(Iso2DirivTest, Field100OnlyAffectsTheFieldsAfterIt) {
    const std::string utf8Title = "1 \x1f" "a\xe4\xb8\xad\xe6\x96\x87";
    std::vector<Field> fields = {{"200", utf8Title}, {"100", Field100("50")}, {"300", utf8Title}};
    std::string iso = BuildIso(fields);
    ASSERT_GT(Convert(iso), 0);
    std::vector<Field> expected = fields;
    expected[2].data = Utf8ToAnsi(utf8Title);
    EXPECT_EQ(m_diriv, ExpectedDiriv(iso, expected));
}

TEST_F(Iso2DirivTest, GbkRecordIsCopiedUnchanged) {
    std::string gbkTitle = "1 \x1f" "a" + Utf8ToAnsi("中文图书");
    std::vector<Field> fields = {{"100", Field100("01")}, {"200", gbkTitle}};
    std::string iso = BuildIso(fields);
    ASSERT_GT(Convert(iso), 0);
    EXPECT_EQ(m_diriv, ExpectedDiriv(iso, fields));
}

TEST_F(Iso2DirivTest, GivenCharsetOverridesField100) {
    const std::string utf8Title = "1 \x1f" "a\xe4\xb8\xad\xe6\x96\x87";
    std::vector<Field> fields = {{"100", Field100("50")}, {"200", utf8Title}};
    std::string iso = BuildIso(fields);
    ASSERT_GT(Convert(iso, true, false), 0);
    EXPECT_EQ(m_diriv, ExpectedDiriv(iso, fields));  // field 100 not examined
    ASSERT_GT(Convert(BuildIso({{"200", utf8Title}}), true, true), 0);
    EXPECT_EQ(m_diriv.substr(24), "200" + Utf8ToAnsi(utf8Title) + "\x1e\x1d");
}

TEST_F(Iso2DirivTest, ShortRecordsFailWithTheirSize) {
    ExpectFailure("", "记录长度是 0 < 24");
    ExpectFailure(std::string(23, '0'), "记录长度是 23 < 24");
    ExpectFailure("00024nam a2200037   4500", "数据基地址是 37 ,长度不正确");
}

TEST_F(Iso2DirivTest, BadBaseAddressesAreRejected) {
    std::string iso = BuildIso({{"245", "10\x1f" "aT"}});
    std::string past = iso;
    past.replace(12, 5, "99999");
    ExpectFailure(past, "数据基地址是 99999 ,长度不正确");
    std::string uneven = iso;
    uneven.replace(12, 5, "00038");
    ExpectFailure(uneven, "数据基地址是 38 ,长度不正确");
    std::string tooShort = iso;
    tooShort.replace(12, 5, "00030");
    ExpectFailure(tooShort, "数据基地址是 30 ,长度不正确");
}

TEST_F(Iso2DirivTest, ZeroOctetInDirectoryReportsItsTextLength) {
    std::string iso = BuildIso({{"245", "10\x1f" "aT"}});
    iso[24 + 5] = '\0';
    ExpectFailure(iso, "数据基地址是 5 ,长度不正确");
}

TEST_F(Iso2DirivTest, CorruptDirectoryEntriesFailWithoutReadingOutside) {
    std::string iso = BuildIso({{"245", "10\x1f" "aTitle"}});
    std::string letters = iso;
    letters[24 + 4] = 'x';  // length "0x09"
    ExpectFailure(letters, "数据地址范围超出记录长度");
    std::string sign = iso;
    sign.replace(24 + 7, 5, "-0001");
    ExpectFailure(sign, "数据地址范围超出记录长度");
    std::string longField = iso;
    longField.replace(24 + 3, 4, "9999");
    ExpectFailure(longField, "数据地址范围超出记录长度");
    std::string farStart = iso;
    farStart.replace(24 + 7, 5, "00100");
    ExpectFailure(farStart, "数据地址范围超出记录长度");
}

TEST_F(Iso2DirivTest, FieldEndingAtTheLastOctetIsRejected) {
    std::string iso = BuildIso({{"245", "10\x1f" "aT"}});
    iso.pop_back();  // no record terminator: the field now ends at the last octet
    ExpectFailure(iso, "数据地址范围超出记录长度");
    EXPECT_EQ(m_diriv, iso.substr(0, 24) + "245");  // what was appended before the failure
}

TEST_F(Iso2DirivTest, ZeroOctetInsideAFieldCutsThatFieldShort) {
    std::string iso = BuildIso({{"245", std::string("10\x1f" "aAB\0CD", 8)}, {"300", "  \x1f" "ax"}});
    ASSERT_GT(Convert(iso), 0);
    EXPECT_EQ(m_diriv.substr(24), "24510\x1f" "aAB" "300  \x1f" "ax\x1e\x1d");
}

TEST_F(Iso2DirivTest, TruncationsOfAValidRecordNeverSucceedWrongly) {
    std::string iso = BuildIso({{"001", "id"}, {"245", "10\x1f" "aTitle"}});
    for (size_t n = 0; n < iso.size(); ++n) {
        std::string cut = iso.substr(0, n);
        EXPECT_EQ(Convert(cut), -1) << n;
    }
    EXPECT_GT(Convert(iso), 0);
}

}  // namespace
