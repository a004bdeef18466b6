// The record number of a supplied ISO 2709 record: field 001 in the 7-digit form of the back-end's
// record paths, and the records whose 001 names no usable number.
#include <gtest/gtest.h>

#include "es_test_util.h"
#include "server/tunnel_es.h"

using estest::Bytes;
using estest::MakeRecord;

namespace {

// The 7 digits, or "refused: <error>".
std::string NumberOf(const std::string& record) {
    std::string digits = "untouched";
    std::string error;
    if (ESRecordNumber(Bytes(record), digits, error) != 0)
        return "refused: " + error + (digits == "untouched" ? "" : " (digits changed)");
    return digits;
}

}  // namespace

TEST(ESRecordNumber, ShortNumbersArePaddedAndBlanksDropped) {
    EXPECT_EQ("0000123", NumberOf(MakeRecord({{"001", "123"}, {"245", "10\x1f" "aT"}})));
    EXPECT_EQ("0000042", NumberOf(MakeRecord({{"001", "  42 "}})));
    EXPECT_EQ("9999999", NumberOf(MakeRecord({{"001", "9999999"}})));
}

TEST(ESRecordNumber, LeadingZerosBeyondSevenPlacesAreHarmless) {
    EXPECT_EQ("1234567", NumberOf(MakeRecord({{"001", "0001234567"}})));
    EXPECT_EQ("0000007", NumberOf(MakeRecord({{"001", "000000000007"}})));
}

TEST(ESRecordNumber, FieldOrderFollowsTheDirectoryAndTheFirst001Counts) {
    EXPECT_EQ("0000005", NumberOf(MakeRecord({{"245", "10\x1f" "aT"}, {"001", "5"}, {"001", "6"}})));
}

TEST(ESRecordNumber, NumbersThatWouldNameAnotherRecordAreRefused) {
    // Cut to seven places, 12345678 would address record 2345678.
    EXPECT_EQ("refused: field 001 [12345678] is above the largest record number",
              NumberOf(MakeRecord({{"001", "12345678"}})));
    EXPECT_EQ("refused: field 001 holds record number 0", NumberOf(MakeRecord({{"001", "0000000"}})));
}

TEST(ESRecordNumber, EmptyMissingOrNonNumeric001IsRefused) {
    EXPECT_EQ("refused: field 001 is empty", NumberOf(MakeRecord({{"001", ""}, {"245", "10\x1f" "aT"}})));
    EXPECT_EQ("refused: field 001 is empty", NumberOf(MakeRecord({{"001", "   "}})));
    EXPECT_EQ("refused: record has no field 001", NumberOf(MakeRecord({{"245", "10\x1f" "aT"}})));
    EXPECT_EQ("refused: field 001 [vk0001] is not a record number", NumberOf(MakeRecord({{"001", "vk0001"}})));
    EXPECT_EQ("refused: field 001 [1 2] is not a record number", NumberOf(MakeRecord({{"001", "1 2"}})));
    EXPECT_EQ("refused: field 001 [-5] is not a record number", NumberOf(MakeRecord({{"001", "-5"}})));
}

TEST(ESRecordNumber, StructuralDamageIsRefusedWithoutReadingOutsideTheRecord) {
    const std::string good = MakeRecord({{"001", "77"}});
    EXPECT_EQ("refused: record shorter than its leader", NumberOf(good.substr(0, 23)));
    EXPECT_EQ("refused: record shorter than its leader", NumberOf(""));

    std::string badBase = good;
    badBase.replace(12, 5, "00x37");
    EXPECT_EQ("refused: bad base address of data", NumberOf(badBase));
    std::string baseTooFar = good;
    baseTooFar.replace(12, 5, "99999");
    EXPECT_EQ("refused: bad base address of data", NumberOf(baseTooFar));

    // The 001 entry claims more octets than the record holds.
    std::string longField = good;
    longField.replace(27, 4, "0999");
    EXPECT_EQ("refused: field 001 lies outside the record", NumberOf(longField));
    std::string badStart = good;
    badStart.replace(31, 5, "0000x");
    EXPECT_EQ("refused: field 001 lies outside the record", NumberOf(badStart));

    // Cut just after the directory: the field data is gone.
    const size_t base = std::stoul(good.substr(12, 5));
    EXPECT_EQ("refused: field 001 lies outside the record", NumberOf(good.substr(0, base + 1)));
}
