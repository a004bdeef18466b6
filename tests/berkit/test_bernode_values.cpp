// Value decoders and typed builders: integers, booleans, bit strings, object identifiers, strings.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "ber_test_util.h"
#include "berkit/bernode.h"
#include "berkit/bernode_values.h"

namespace {

class CBERValuesTest : public ::testing::Test {
protected:
    CBERNode root;

    CByteArray IntegerBytes(int value)
    {
        return root.NewChildIntegerNode(BER_UNIVERSAL, BER_PRIMITIVE, 2, value)->m_baContent;
    }
    CByteArray OIDBytes(const char* text)
    {
        root.NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, text);
        return root.m_arrChildren.back()->m_baContent;
    }
};

TEST_F(CBERValuesTest, IntegersEncodeMinimallyAndDecodeBack)
{
    struct Row {
        int value;
        const char* bytes;
    } rows[] = {
        {0, "00"},           {1, "01"},           {-1, "FF"},          {127, "7F"},
        {128, "00 80"},      {255, "00 FF"},      {256, "01 00"},      {-128, "80"},
        {-129, "FF 7F"},     {10240, "28 00"},    {1003, "03 EB"},     {67108864, "04 00 00 00"},
        {INT_MAX, "7F FF FF FF"}, {INT_MIN, "80 00 00 00"}, {-256, "FF 00"}, {32768, "00 80 00"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IntegerBytes(row.value), Hex(row.bytes)) << row.value;
        long decoded = 12345;
        EXPECT_TRUE(DecodeInteger(Hex(row.bytes), decoded)) << row.bytes;
        EXPECT_EQ(decoded, row.value) << row.bytes;
    }
}

TEST_F(CBERValuesTest, IntegerOfWrongSizeIsRejectedWithZero)
{
    long value = 7;
    EXPECT_FALSE(DecodeInteger(CByteArray(), value));
    EXPECT_EQ(value, 0);
    value = 7;
    EXPECT_FALSE(DecodeInteger(Hex("00 00 00 00 01"), value));
    EXPECT_EQ(value, 0);
}

TEST_F(CBERValuesTest, IntegerFromLittleEndianOctetsNeedsFour)
{
    char raw[] = {0x00, 0x28, 0x00, 0x00};
    CBERNode* node = root.NewChildIntegerNode(3u, BER_CONTEXT, raw, 4);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->m_baContent, Hex("28 00"));
    EXPECT_EQ(node->m_bConstructed, 0);
    EXPECT_EQ(root.NewChildIntegerNode(3u, BER_CONTEXT, raw, 3), nullptr);
    EXPECT_EQ(root.NewChildIntegerNode(3u, BER_CONTEXT, Hex("FF FF FF")), nullptr);
    EXPECT_EQ(root.m_arrChildren.size(), 1u);
    EXPECT_EQ(root.NewChildIntegerNode(3u, BER_CONTEXT, Hex("FF FF FF FF"))->m_baContent, Hex("FF"));
}

TEST_F(CBERValuesTest, IntegerOrderReversesOnlyWordSizes)
{
    CByteArray two = Hex("01 02"), four = Hex("01 02 03 04"), eight = Hex("01 02 03 04 05 06 07 08"), three = Hex("01 02 03");
    EXPECT_EQ(ChangeIntegerOrder(two), 0);
    EXPECT_EQ(two, Hex("02 01"));
    EXPECT_EQ(ChangeIntegerOrder(four), 0);
    EXPECT_EQ(four, Hex("04 03 02 01"));
    EXPECT_EQ(ChangeIntegerOrder(eight), 0);
    EXPECT_EQ(eight, Hex("08 07 06 05 04 03 02 01"));
    EXPECT_EQ(ChangeIntegerOrder(three), -1);
    EXPECT_EQ(three, Hex("01 02 03"));
}

TEST_F(CBERValuesTest, BooleansUseOneForTrue)
{
    EXPECT_EQ(root.NewChildBooleanNode(BER_CONTEXT, BER_PRIMITIVE, 8, true)->m_baContent, Hex("01"));
    EXPECT_EQ(root.NewChildBooleanNode(BER_CONTEXT, BER_PRIMITIVE, 8, false)->m_baContent, Hex("00"));
    bool value = true;
    EXPECT_EQ(DecodeBoolean(CByteArray(), value), 0);
    EXPECT_FALSE(value);
    DecodeBoolean(Hex("FF"), value);
    EXPECT_TRUE(value);
}

TEST_F(CBERValuesTest, BitStringsEncodeAndDecode)
{
    struct Row {
        const char* flags;
        const char* bytes;
        const char* decoded;
    } rows[] = {
        {"", "00", ""},
        {"yy", "06 C0", "yy"},
        {"110000000000001", "01 C0 02", "yynnnnnnnnnnnny"},
        {"yyy", "05 E0", "yyy"},
        {"ynnnnnny", "00 81", "ynnnnnny"},
        {"nnnnnnnnn", "07 00 00", "nnnnnnnnn"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(root.NewChildBitStringNode(BER_CONTEXT, BER_PRIMITIVE, 3, row.flags)->m_baContent, Hex(row.bytes))
            << row.flags;
        std::string text = "junk";
        EXPECT_TRUE(DecodeBitString(Hex(row.bytes), text));
        EXPECT_EQ(text, row.decoded) << row.bytes;
    }
    char flags[] = "yyn";
    EXPECT_EQ(root.NewChildBitStringNode(3u, BER_CONTEXT, flags, 3)->m_baContent, Hex("05 C0"));
    EXPECT_EQ(root.NewChildBitStringNode(3u, BER_CONTEXT, CByteArray{'1', '0', '1'})->m_baContent, Hex("05 A0"));
}

TEST_F(CBERValuesTest, ShortOrOddBitStringsStayInsideContent)
{
    std::string text = "junk";
    DecodeBitString(CByteArray(), text);
    EXPECT_EQ(text, "");
    DecodeBitString(Hex("00"), text);
    EXPECT_EQ(text, "");
    DecodeBitString(Hex("FF 80"), text);  // unused count above 7 is taken as 7
    EXPECT_EQ(text, "y");
}

TEST_F(CBERValuesTest, ObjectIdentifiersEncodeAndDecode)
{
    struct Row {
        const char* text;
        const char* bytes;
    } rows[] = {
        {"1.2.840.10003.3.1", "2A 86 48 CE 13 03 01"},
        {"1.0.10646.1.0.8", "28 D3 16 01 00 08"},
        {"1.2", "2A"},
        {"1.2.840.10003.5.10", "2A 86 48 CE 13 05 0A"},
        {"1.2.127.128.16383.16384", "2A 7F 81 00 FF 7F 81 80 00"},
        {"1.2.4294967295", "2A 8F FF FF FF 7F"},
        {"2.100.3", "81 34 03"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(OIDBytes(row.text), Hex(row.bytes)) << row.text;
        std::string text;
        EXPECT_TRUE(DecodeOID(Hex(row.bytes), text));
        EXPECT_EQ(text, row.text) << row.bytes;
    }
}

TEST_F(CBERValuesTest, ObjectIdentifierBuilderFailuresLeaveEmptyChild)
{
    CBERNode* empty = root.NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, "x.1");
    ASSERT_EQ(root.m_arrChildren.size(), 1u);
    EXPECT_EQ(empty, root.m_arrChildren.back());
    EXPECT_TRUE(root.m_arrChildren.back()->m_baContent.empty());
    EXPECT_EQ(root.NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, "1"), nullptr);
    EXPECT_EQ(root.NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, "1.2.4294967296"), nullptr);
    EXPECT_EQ(root.m_arrChildren.size(), 3u);
    EXPECT_TRUE(root.m_arrChildren.back()->m_baContent.empty());
    // Parsing stops where no digit follows a dot.
    EXPECT_EQ(OIDBytes("1.2.840.x"), Hex("2A 86 48"));
    // The content never passes 95 octets.
    std::string longText = "1.2";
    for (int i = 0; i < 40; ++i)
        longText += ".4294967295";
    EXPECT_EQ(root.NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, longText.c_str()), nullptr);
    std::string fits = "1.2";
    for (int i = 0; i < 18; ++i)
        fits += ".4294967295";
    ASSERT_NE(root.NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, fits.c_str()), nullptr);
    EXPECT_EQ(root.m_arrChildren.back()->m_baContent.size(), 91u);
}

TEST_F(CBERValuesTest, TruncatedOrOversizedObjectIdentifiersKeepCompleteArcs)
{
    struct Row {
        const char* bytes;
        const char* text;
    } rows[] = {
        {"2A 86 48 CE", "1.2.840"},       // last sub-identifier truncated
        {"86", ""},                        // nothing complete
        {"", ""},
        {"2A 90 80 80 80 00 05", "1.2"},   // arc above 32 bits stops the conversion
    };
    for (const Row& row : rows) {
        std::string text = "junk";
        EXPECT_TRUE(DecodeOID(Hex(row.bytes), text));
        EXPECT_EQ(text, row.text) << row.bytes;
    }
    CByteArray many(40, 0x01);
    std::string text;
    DecodeOID(many, text);
    std::string expected = "0.1";
    for (int i = 1; i < 30; ++i)
        expected += ".1";
    EXPECT_EQ(text, expected);
}

TEST_F(CBERValuesTest, StringsStopAtFirstZero)
{
    std::string text;
    EXPECT_TRUE(DecodeOctetString(Hex("41 42 00 43"), text));
    EXPECT_EQ(text, "AB");
    DecodeGeneralString(Hex("41 42 43"), text, false);
    EXPECT_EQ(text, "ABC");
    DecodeGeneralString(CByteArray(), text, true);
    EXPECT_EQ(text, "");
}

TEST_F(CBERValuesTest, Utf8StringsConvertAtTheBoundary)
{
    // 中 is D6 D0 in GBK and E4 B8 AD in UTF-8.
    CBERNode* node = root.NewChildGeneralStringNode(BER_CONTEXT, BER_PRIMITIVE, 45, "\xD6\xD0" "A", true);
    EXPECT_EQ(node->m_baContent, Hex("E4 B8 AD 41"));
    std::string text;
    EXPECT_EQ(node->GetString(text, true), 0);
    EXPECT_EQ(text, "\xD6\xD0" "A");
    EXPECT_EQ(node->GetChar(text), 0);
    EXPECT_EQ(text, "\xE4\xB8\xAD" "A");
    EXPECT_EQ(root.NewChildGeneralStringNode(BER_CONTEXT, BER_PRIMITIVE, 45, "ab", false)->m_baContent, Hex("61 62"));
}

TEST_F(CBERValuesTest, AccessorsApplyTheDecoders)
{
    long value = 0;
    std::string text;
    EXPECT_EQ(root.NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 1, -129)->GetInteger(value), 0);
    EXPECT_EQ(value, -129);
    root.NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, "1.2.840.10003.5.10")->GetOID(text);
    EXPECT_EQ(text, "1.2.840.10003.5.10");
    root.NewChildBitStringNode(BER_CONTEXT, BER_PRIMITIVE, 3, "yyn")->GetBitstring(text);
    EXPECT_EQ(text, "yyn");
    value = 5;
    EXPECT_EQ(root.NewChildNoContentNode(BER_CONTEXT, BER_PRIMITIVE, 1)->GetInteger(value), 0);
    EXPECT_EQ(value, 0);
}

}  // namespace
