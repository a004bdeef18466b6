// CMARC / CMARCItem: Diriv parsing and rebuilding, field access, brief reduction.

#include "backend/marc/marcrecord.h"

#include <gtest/gtest.h>

#include "backend/marc/cfgtrees.h"
#include "berkit/marcglobal.h"
#include "marc_test_util.h"

namespace {

const std::string kTitle = std::string("10") + "\x1F" "aThe title :" "\x1F" "bsub /" "\x1F" "cBy me." "\x1E";

std::string SampleDiriv() {
    return MakeDiriv({{"001", std::string("0000042\x1E")},
                      {"020", std::string("  \x1F" "a123\x1E")},
                      {"245", kTitle},
                      {"650", std::string(" 0\x1F" "aTopic\x1E")},
                      {"100", std::string("1 \x1F" "aAuthor\x1E")}});
}

int ParseError(const std::string& diriv, std::string& error) {
    CMARC record;
    return record.Parse(diriv, error);
}

}  // namespace

TEST(CMARCTest, ParseSplitsLeaderAndFieldsAndRebuildsTheSameText) {
    CMARC record;
    std::string error;
    ASSERT_EQ(record.Parse(SampleDiriv(), error), 5) << error;
    EXPECT_EQ(record.m_leader, "00000nam a2200000 a 4500");
    EXPECT_EQ(record.m_fields[2].m_tag, "245");
    EXPECT_EQ(record.m_fields[2].m_data, kTitle);
    std::string rebuilt;
    EXPECT_EQ(record.BuildMARC(rebuilt), static_cast<int>(SampleDiriv().size()));
    EXPECT_EQ(rebuilt, SampleDiriv());
}

TEST(CMARCTest, FieldsGiveIndicatorsSubfieldsAndControlValues) {
    CMARC record;
    std::string error;
    record.Parse(SampleDiriv(), error);
    const CMARCItem* f001 = record.FindField("001");
    ASSERT_NE(f001, nullptr);
    EXPECT_TRUE(f001->IsControlField());
    EXPECT_EQ(f001->GetValue(), "0000042");
    EXPECT_TRUE(f001->GetSubfields().empty());
    const CMARCItem* f245 = record.FindField("245");
    EXPECT_FALSE(f245->IsControlField());
    EXPECT_FALSE(f245->IsCodedField());
    EXPECT_TRUE(record.FindField("100")->IsCodedField());
    EXPECT_EQ(f245->GetIndicators(), "10");
    auto subs = f245->GetSubfields();
    ASSERT_EQ(subs.size(), 3u);
    EXPECT_EQ(subs[1], std::make_pair('b', std::string("sub /")));
    std::string value;
    EXPECT_TRUE(f245->GetSubfield('c', value));
    EXPECT_EQ(value, "By me.");
    EXPECT_FALSE(f245->GetSubfield('z', value));
    EXPECT_EQ(CMARCItem::MakeDataField("245", '1', '0', subs).m_data, kTitle);
}

TEST(CMARCTest, MalformedDirivIsRejectedWithAReason) {
    std::string error;
    EXPECT_EQ(ParseError("short", error), -1);
    EXPECT_NE(error.find("shorter than a leader"), std::string::npos);
    EXPECT_EQ(ParseError(MakeDiriv({{"245", "10\x1F" "aNo end"}}), error), -1);
    EXPECT_NE(error.find("not ended by 0x1E"), std::string::npos);
    EXPECT_EQ(ParseError(MakeDiriv({{"2#5", "x\x1E"}}), error), -1);
    EXPECT_NE(error.find("bad field tag at offset 24"), std::string::npos);
    EXPECT_EQ(ParseError(MakeDiriv({}), error), -1);
    EXPECT_NE(error.find("no field"), std::string::npos);
    EXPECT_EQ(ParseError(MakeDiriv({{"001", "1\x1E"}}) + "x", error), -1);
    EXPECT_NE(error.find("follows the record end"), std::string::npos) << error;
    EXPECT_EQ(ParseError(SampleDiriv().substr(0, SampleDiriv().size() - 1), error), -1);
    EXPECT_NE(error.find("not ended by 0x1D"), std::string::npos);
    EXPECT_EQ(ParseError(MakeDiriv({{"001", std::string("1\0x\x1E", 4)}}), error), -1);
    std::string leader(24, ' ');
    leader[5] = '\x1E';
    EXPECT_EQ(ParseError(MakeDiriv({{"001", "1\x1E"}}, leader), error), -1);
    EXPECT_NE(error.find("leader"), std::string::npos);
}

TEST(CMARCTest, SampleRecordsSurviveParseAndBuildUnchanged) {
    std::vector<CByteArray> isos = ReadIsoRecords(DemoPath("books/sample-marc21.mrc"));
    ASSERT_EQ(isos.size(), 24u);
    for (size_t i = 0; i < isos.size(); ++i) {
        std::string diriv, error, rebuilt;
        ASSERT_GT(Iso2Diriv(isos[i], diriv, error, true, false), 0) << i << error;
        CMARC record;
        ASSERT_GT(record.Parse(diriv, error), 0) << i << error;
        record.BuildMARC(rebuilt);
        EXPECT_EQ(rebuilt, diriv) << i;
    }
}

TEST(CMARCTest, InsertAndRemoveKeepTagOrder) {
    CMARC record;
    std::string error, text;
    record.Parse(MakeDiriv({{"001", "x\x1E"}, {"245", kTitle}, {"650", " 0\x1F" "aA\x1E"}}), error);
    record.InsertField(CMARCItem::MakeDataField("035", ' ', ' ', {{'a', "(DLC)1"}}));
    EXPECT_EQ(record.m_fields[1].m_tag, "035");
    EXPECT_EQ(record.RemoveFields("650"), 1);
    EXPECT_EQ(record.RemoveFields("650"), 0);
    record.BuildMARC(text);
    EXPECT_EQ(text, MakeDiriv({{"001", "x\x1E"}, {"035", "  \x1F" "a(DLC)1\x1E"}, {"245", kTitle}}));
}

TEST(CMARCBriefTest, ReductionKeepsLeaderSelectedFieldsAndSubfieldsInRecordOrder) {
    CRightTree def;
    def.BuildTree("field tag=\"245\" subfields=\"ab\"\nfield tag=\"001\"\nfield tag=\"100\"\nfield tag=\"020\" subfields=\"z\"\n");
    CMARC full, brief;
    std::string error, text;
    ASSERT_EQ(full.Create(SampleDiriv(), &def, error), 0) << error;
    ASSERT_EQ(full.Reduce(brief, error), 3) << error;
    brief.BuildMARC(text);
    EXPECT_EQ(text, MakeDiriv({{"001", "0000042\x1E"},
                               {"245", "10\x1F" "aThe title :\x1F" "bsub /\x1E"},
                               {"100", "1 \x1F" "aAuthor\x1E"}}));
}

TEST(CMARCBriefTest, CreateNeedsADefinitionAndAWellFormedRecord) {
    CRightTree def;
    CMARC full, brief;
    std::string error;
    EXPECT_EQ(full.Create(SampleDiriv(), nullptr, error), -1);
    EXPECT_NE(error.find("no definition"), std::string::npos);
    EXPECT_EQ(full.Reduce(brief, error), -1);
    EXPECT_EQ(full.Create("x", &def, error), -1);
    EXPECT_NE(error.find("shorter than a leader"), std::string::npos);
}
