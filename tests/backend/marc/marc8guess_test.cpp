// marc8guess: which MARC 21 records with leader 09 blank are taken for MARC-8, record by record
// and over a whole file (the demo's Latin-1 danMARC record among them).

#include "backend/marc/marc8guess.h"

#include <gtest/gtest.h>

#include "marc_test_util.h"

namespace {

std::string Record(const std::string& title, char leader09 = ' ') { return TitleRecord(title, leader09); }

std::vector<bool> Guess(const std::vector<std::string>& records) {
    return GuessMarc8(std::vector<std::string_view>(records.begin(), records.end()));
}

TEST(Marc8GuessTest, EachRecordsEvidence) {
    using E = CMarc8Evidence;
    const struct {
        const char* what;
        std::string title;
        char leader09;
        E evidence;
        size_t composed;
    } rows[] = {
        {"ASCII only", "Plain title", ' ', E::kNone, 0},
        {"leader says UTF-8", "M\xE8uller", 'a', E::kNone, 0},
        {"Cyrillic set designated", "\x1B(NKNIGA\x1Bs", ' ', E::kEscape, 0},
        {"subscript escape", "H\x1B" "b2\x1BsO \xE8u", ' ', E::kEscape, 0},
        {"umlaut u, acute i", "M\xE8uller, Anton\xE2in", ' ', E::kFits, 2},
        {"two marks on one e", "Vi\xE3\xE2" "et", ' ', E::kFits, 1},
        {"spacing letter only", "\xA2resund", ' ', E::kFits, 0},
        {"Latin-1 danMARC", "Str\xE6k\xF8velser", ' ', E::kAgainst, 0},
        {"Latin-1 u umlaut", "M\xFCller", ' ', E::kAgainst, 0},
        {"mark at subfield end", "Caf\xE9", ' ', E::kAgainst, 0},
        {"mark before a space", "a\xE2 b", ' ', E::kAgainst, 0},
        {"UTF-8 without leader", "Caf\xC3\xA9", ' ', E::kAgainst, 0},
        {"GBK", "\xD6\xD0\xCE\xC4", ' ', E::kAgainst, 0},
        {"stray escape", "\x1BZ \xE8u", ' ', E::kAgainst, 0},
        {"five stacked marks", "\xE1\xE2\xE3\xE4\xE5" "a", ' ', E::kAgainst, 0},
    };
    for (const auto& row : rows) {
        const CMarc8Look look = LookForMarc8(Record(row.title, row.leader09));
        EXPECT_EQ(look.m_evidence, row.evidence) << row.what;
        EXPECT_EQ(look.m_composed, row.composed) << row.what;
    }
}

TEST(Marc8GuessTest, WholeFileVote) {
    const std::string three = Record("M\xE8uller, Anton\xE2in, Caf\xE2" "e"), two = Record("M\xE8uller, Anton\xE2in");
    const std::string escape = Record("\x1B(NKNIGA\x1Bs"), latin1 = Record("Str\xE6k\xF8velser"), ascii = Record("Plain");
    const std::string spacing = Record("\xA2resund \xB2 \xA5");
    const struct {
        const char* what;
        std::vector<std::string> file;
        std::vector<bool> marc8;
    } rows[] = {
        {"three composed runs", {three, ascii}, {true, false}},
        {"two composed runs are too few", {two, ascii}, {false, false}},
        {"runs split over records add up", {two, Record("Jos\xE2" "e")}, {true, true}},
        {"an escape record vouches for the file", {two, escape}, {true, true}},
        {"a Latin-1 record vetoes the vote", {three, latin1}, {false, false}},
        {"escape stands on its own", {escape, latin1}, {true, false}},
        {"spacing letters alone prove nothing", {spacing, spacing, spacing}, {false, false, false}},
    };
    for (const auto& row : rows) EXPECT_EQ(Guess(row.file), row.marc8) << row.what;
}

TEST(Marc8GuessTest, DemoSampleStaysAsItIs) {
    std::vector<std::string> records;
    for (const CByteArray& r : ReadIsoRecords(DemoPath("books/sample-marc21.mrc"))) records.emplace_back(r.begin(), r.end());
    ASSERT_EQ(records.size(), 24u);
    EXPECT_EQ(LookForMarc8(records[23]).m_evidence, CMarc8Evidence::kAgainst);  // the danMARC record
    EXPECT_EQ(Guess(records), std::vector<bool>(24, false));
    for (const CByteArray& r : GenerateDemoRecords("books", 200))
        EXPECT_EQ(LookForMarc8(std::string(r.begin(), r.end())).m_evidence, CMarc8Evidence::kNone);
}

}  // namespace
