// CvtDirivToISO2709: ISO 2709 layout, round trips with Iso2Diriv, UTF-8 output, bad input.

#include "backend/marc/cvtdiriv.h"

#include <gtest/gtest.h>

#include "backend/marc/cfgtrees.h"
#include "backend/marc/marcrecord.h"
#include "berkit/codepage.h"
#include "berkit/marcglobal.h"
#include "marc_test_util.h"

namespace {

std::string AsText(const CByteArray& bytes) { return std::string(bytes.begin(), bytes.end()); }

// ISO -> Diriv -> ISO -> Diriv; the two Diriv texts must match byte for byte.
void ExpectDirivRoundTrip(const CByteArray& iso, bool utf8, const std::string& label) {
    std::string diriv, again, error;
    ASSERT_GT(Iso2Diriv(iso, diriv, error, true, utf8), 0) << label << error;
    CByteArray rebuilt;
    ASSERT_GT(CvtDirivToISO2709(diriv, rebuilt, utf8 ? 1 : 0, error), 0) << label << error;
    ASSERT_GT(Iso2Diriv(rebuilt, again, error, true, utf8), 0) << label << error;
    EXPECT_EQ(again, diriv) << label;
}

}  // namespace

TEST(CvtDirivToISO2709Test, BuildsLeaderDirectoryFieldsAndTerminators) {
    std::string diriv = MakeDiriv({{"001", "0000042\x1E"}, {"245", "10\x1F" "aTitle\x1E"}}, "99999nam a2299999 a 45  ");
    CByteArray iso;
    std::string error;
    ASSERT_EQ(CvtDirivToISO2709(diriv, iso, 0, error), 24 + 24 + 1 + 8 + 10 + 1);
    std::string text = AsText(iso);
    EXPECT_EQ(text.substr(0, 24), "00068nam a2200049 a 45  ");
    EXPECT_EQ(text.substr(24, 25), "001000800000245001000008\x1E");
    EXPECT_EQ(text.substr(49), "0000042\x1E" "10\x1F" "aTitle\x1E\x1D");
}

TEST(CvtDirivToISO2709Test, SampleRecordsRoundTripWithIso2Diriv) {
    std::vector<CByteArray> isos = ReadIsoRecords(DemoPath("books/sample-marc21.mrc"));
    ASSERT_EQ(isos.size(), 24u);
    for (size_t i = 0; i < isos.size(); ++i) ExpectDirivRoundTrip(isos[i], false, "sample " + std::to_string(i));
}

TEST(CvtDirivToISO2709Test, GeneratedRecordsComeBackByteIdentical) {
    for (const char* kind : {"books", "unimarc"}) {
        std::vector<CByteArray> isos = GenerateDemoRecords(kind, 200);
        ASSERT_EQ(isos.size(), 200u);
        for (size_t i = 0; i < isos.size(); ++i) {
            std::string diriv, error;
            ASSERT_GT(Iso2Diriv(isos[i], diriv, error, true, false), 0) << kind << i << error;
            CByteArray rebuilt;
            ASSERT_GT(CvtDirivToISO2709(diriv, rebuilt, 0, error), 0) << error;
            EXPECT_EQ(rebuilt, isos[i]) << kind << " record " << i;
        }
    }
}

TEST(CvtDirivToISO2709Test, Utf8OutputConvertsOnlyTextFields) {
    // GBK "中文" in a text field and in a coded field; only the text field becomes UTF-8.
    std::string gbk = "\xD6\xD0\xCE\xC4";
    std::string utf8 = "\xE4\xB8\xAD\xE6\x96\x87";
    std::string diriv = MakeDiriv({{"010", "  \x1F" "a" + gbk + "\x1E"}, {"200", "1 \x1F" "a" + gbk + "\x1E"}});
    CByteArray iso;
    std::string error;
    ASSERT_GT(CvtDirivToISO2709(diriv, iso, 1, error), 0) << error;
    std::string text = AsText(iso);
    EXPECT_NE(text.find("\x1F" "a" + gbk + "\x1E"), std::string::npos);
    EXPECT_NE(text.find("\x1F" "a" + utf8 + "\x1E"), std::string::npos);
    EXPECT_EQ(text.substr(0, 5), "000" + std::to_string(iso.size()));
    EXPECT_EQ(text.substr(36, 12), "200001100009");  // 2 + 2 + 6 UTF-8 octets + 0x1E

    std::string back;
    ASSERT_GT(Iso2Diriv(iso, back, error, true, true), 0) << error;
    EXPECT_EQ(back.substr(24), diriv.substr(24));
}

TEST(CvtDirivToISO2709Test, ChineseDemoRecordsRoundTripThroughUtf8) {
    for (const CByteArray& iso : GenerateDemoRecords("unimarc", 50)) ExpectDirivRoundTrip(iso, true, "unimarc");
}

TEST(CvtDirivToISO2709Test, BadDirivFailsWithTextAndEmptyOutput) {
    CByteArray iso{1, 2, 3};
    std::string error;
    EXPECT_EQ(CvtDirivToISO2709("too short", iso, 0, error), -1);
    EXPECT_TRUE(iso.empty());
    EXPECT_NE(error.find("CvtDirivToISO2709"), std::string::npos);
    EXPECT_EQ(CvtDirivToISO2709(MakeDiriv({{"245", "10\x1F" "a"}}), iso, 0, error), -1);
    EXPECT_NE(error.find("0x1E"), std::string::npos);
}

TEST(CvtDirivToISO2709Test, OversizedFieldsAndRecordsAreRefused) {
    CByteArray iso;
    std::string error;
    EXPECT_EQ(CvtDirivToISO2709(MakeDiriv({{"500", "  \x1F" "a" + std::string(9996, 'x') + "\x1E"}}), iso, 0, error), -1);
    EXPECT_NE(error.find("9999"), std::string::npos);
    std::vector<std::pair<std::string, std::string>> many(12, {"500", "  \x1F" "a" + std::string(9000, 'x') + "\x1E"});
    EXPECT_EQ(CvtDirivToISO2709(MakeDiriv(many), iso, 0, error), -1);
    EXPECT_NE(error.find("99999"), std::string::npos);
    EXPECT_TRUE(iso.empty());
}

TEST(CvtDirivToISO2709Test, BriefRecordsConvert) {
    std::vector<CByteArray> isos = ReadIsoRecords(DemoPath("books/sample-marc21.mrc"));
    CRightTree def;
    def.BuildTree("field tag=\"001\"\nfield tag=\"245\" subfields=\"a\"\n");
    std::string diriv, error, brief;
    ASSERT_GT(Iso2Diriv(isos.at(0), diriv, error, true, false), 0);
    CMARC full, reduced;
    ASSERT_EQ(full.Create(diriv, &def, error), 0);
    ASSERT_EQ(full.Reduce(reduced, error), 2);
    reduced.BuildMARC(brief);
    CByteArray iso;
    ASSERT_GT(CvtDirivToISO2709(brief, iso, 0, error), 0) << error;
    std::string back;
    ASSERT_GT(Iso2Diriv(iso, back, error, true, false), 0) << error;
    // Iso2Diriv keeps the leader as sent: the brief record's own length and base address.
    EXPECT_EQ(back.substr(0, 5), "000" + std::to_string(iso.size()));
    EXPECT_EQ(back.substr(5, 7), brief.substr(5, 7));
    EXPECT_EQ(back.substr(17), brief.substr(17));
}
