// DecodeBER, IsCompleteBER and the encoder at the edges: lengths, tags, truncation, nesting,
// elements reaching past their parent or the input.
#include <gtest/gtest.h>

#include <string>

#include "ber_test_util.h"
#include "berkit/bernode.h"

namespace {

class CBERNodeTest : public ::testing::Test {
protected:
    CBERNode root;

    // Complete-element test on the whole array.
    bool Complete(const CByteArray& bytes, long& total)
    {
        CByteArray copy(bytes);
        return IsCompleteBER(copy.data(), static_cast<long>(copy.size()), &total);
    }
    // `depth` nested SEQUENCEs around an INTEGER, definite or indefinite lengths.
    static CByteArray Nested(int depth, bool indefinite)
    {
        CByteArray bytes = Hex("02 01 05");
        for (int i = 0; i < depth; ++i) {
            CByteArray outer;
            outer.push_back(0x30);
            if (indefinite) {
                outer.push_back(0x80);
                outer.insert(outer.end(), bytes.begin(), bytes.end());
                outer.push_back(0);
                outer.push_back(0);
            } else {
                CBERNode scratch;
                scratch.MakeLengthPart(outer, static_cast<int>(bytes.size()));
                outer.insert(outer.end(), bytes.begin(), bytes.end());
            }
            bytes.swap(outer);
        }
        return bytes;
    }
};

TEST_F(CBERNodeTest, SequenceWithIntegerDecodesToTwoLevels)
{
    auto outcome = Decode(root, Hex("30 03 02 01 05"));
    EXPECT_EQ(outcome.result, 5);
    ASSERT_EQ(root.m_arrChildren.size(), 1u);
    CBERNode* seq = root.m_arrChildren[0];
    EXPECT_EQ(seq->m_uTag, 16u);
    EXPECT_EQ(seq->m_byClass, 0);
    EXPECT_EQ(seq->m_bConstructed, 1);
    EXPECT_EQ(seq->m_nLength, 3);
    ASSERT_EQ(seq->m_arrChildren.size(), 1u);
    CBERNode* integer = seq->m_arrChildren[0];
    EXPECT_EQ(integer->m_uTag, 2u);
    EXPECT_EQ(integer->m_bConstructed, 0);
    EXPECT_EQ(integer->m_baContent, Hex("05"));
    EXPECT_EQ(integer->m_pParent, seq);
}

TEST_F(CBERNodeTest, IndefiniteConstructedStopsAtEndOfContents)
{
    auto outcome = Decode(root, Hex("A1 80 02 01 07 00 00"));
    EXPECT_EQ(outcome.result, 7);
    ASSERT_EQ(root.m_arrChildren.size(), 1u);
    EXPECT_EQ(root.m_arrChildren[0]->m_byClass, 2);
    EXPECT_EQ(root.m_arrChildren[0]->m_uTag, 1u);
    EXPECT_EQ(root.m_arrChildren[0]->m_nLength, -1);
    EXPECT_EQ(root.m_arrChildren[0]->m_arrChildren.size(), 1u);
}

TEST_F(CBERNodeTest, EmptyInputAndLeadingEndOfContentsConsumeNothingElse)
{
    EXPECT_EQ(Decode(root, CByteArray()).result, -1);
    EXPECT_EQ(Decode(root, Hex("00 00 30 00")).result, 2);
    EXPECT_TRUE(root.m_arrChildren.empty());
}

TEST_F(CBERNodeTest, EmptyDefiniteConstructedDecodesWithoutChildren)
{
    // yaz-client sends `bf 2c 00` for a term without attributes.
    EXPECT_EQ(Decode(root, Hex("A0 00 BF 2C 00")).result, 5);
    ASSERT_EQ(root.m_arrChildren.size(), 2u);
    EXPECT_EQ(root.m_arrChildren[0]->m_uTag, 0u);
    EXPECT_TRUE(root.m_arrChildren[0]->m_arrChildren.empty());
    EXPECT_EQ(root.m_arrChildren[1]->m_uTag, 44u);
    EXPECT_EQ(root.m_arrChildren[1]->m_nLength, 0);
    EXPECT_TRUE(root.m_arrChildren[1]->m_arrChildren.empty());
}

TEST_F(CBERNodeTest, SeveralTopLevelElementsAllBecomeChildren)
{
    EXPECT_EQ(Decode(root, Hex("02 01 01 04 00 30 80 00 00")).result, 9);
    ASSERT_EQ(root.m_arrChildren.size(), 3u);
    EXPECT_TRUE(root.m_arrChildren[1]->m_baContent.empty());
    EXPECT_TRUE(root.m_arrChildren[2]->m_arrChildren.empty());
}

TEST_F(CBERNodeTest, IndefinitePrimitiveRunsToZeroPair)
{
    EXPECT_EQ(Decode(root, Hex("04 80 41 42 00 00 02 01 03")).result, 9);
    ASSERT_EQ(root.m_arrChildren.size(), 2u);
    EXPECT_EQ(root.m_arrChildren[0]->m_baContent, Hex("41 42"));
}

TEST_F(CBERNodeTest, IndefinitePrimitiveSearchStaysInsideItsParent)
{
    // The zero pair after the parent's end must not be taken as the primitive's end.
    EXPECT_EQ(Decode(root, Hex("30 04 04 80 41 42 00 00")).error, "not find 00 end");
    EXPECT_EQ(Decode(root, Hex("04 80 41 42 00")).error, "not find 00 end");
}

TEST_F(CBERNodeTest, UnterminatedIndefiniteConstructedIsRejected)
{
    EXPECT_EQ(Decode(root, Hex("30 80 02 01 05")).error, "not find 00 end");
}

TEST_F(CBERNodeTest, MultiByteTagsDecode)
{
    struct Row {
        const char* bytes;
        unsigned char byClass;
        unsigned tag;
    } rows[] = {
        {"9F 1F 00", 2, 31},     {"9F 81 00 00", 2, 128}, {"BF 81 60 80 00 00", 2, 224},
        {"BF 81 49 80 00 00", 2, 201}, {"1F FF 7F 00", 0, 16383}, {"DF 8F FF FF FF 7F 00", 3, 0xFFFFFFFFu},
    };
    for (const Row& row : rows) {
        CBERNode local;
        auto outcome = Decode(local, Hex(row.bytes));
        ASSERT_EQ(outcome.error, "") << row.bytes;
        ASSERT_EQ(local.m_arrChildren.size(), 1u) << row.bytes;
        EXPECT_EQ(local.m_arrChildren[0]->m_byClass, row.byClass) << row.bytes;
        EXPECT_EQ(local.m_arrChildren[0]->m_uTag, row.tag) << row.bytes;
    }
}

TEST_F(CBERNodeTest, TagBeyondThirtyTwoBitsIsRejected)
{
    EXPECT_EQ(Decode(root, Hex("9F 90 80 80 80 00 00")).error, "not get tag number");
    EXPECT_EQ(Decode(root, Hex("9F 81")).error, "not get tag number");
    EXPECT_EQ(Decode(root, Hex("9F")).error, "not get tag number");
}

TEST_F(CBERNodeTest, LengthFieldsDecode)
{
    EXPECT_EQ(Decode(root, Hex("04 85 01 00 00 00 00 00")).error, "not get length");
    CByteArray bytes = Hex("04 82 01 00");
    bytes.resize(bytes.size() + 256, 'x');
    CBERNode local;
    EXPECT_EQ(Decode(local, bytes).result, 260);
    EXPECT_EQ(local.m_arrChildren[0]->m_nLength, 256);
}

TEST_F(CBERNodeTest, LengthOfTwoToTheThirtyOneIsRejected)
{
    EXPECT_EQ(Decode(root, Hex("04 84 80 00 00 00 41")).error, "not get length");
    EXPECT_EQ(Decode(root, Hex("30 84 FF FF FF FF 02 01 01")).error, "not get length");
    long total = 0;
    EXPECT_FALSE(Complete(Hex("30 84 80 00 00 00"), total));
    EXPECT_EQ(total, -1);
}

// The one frame-length reader of the session and IsCompleteBER: declared totals up to 8 length
// octets (so a session can refuse a large request by its size), the header still arriving, and
// malformed headers.
TEST_F(CBERNodeTest, FrameLengthReportsTheDeclaredTotal)
{
    const struct {
        const char* hex;
        BerFrame frame;
        int64_t total;
    } rows[] = {
        {"b4 05", BerFrame::kDefinite, 7},
        {"bf 30 03", BerFrame::kDefinite, 6},
        {"b6 82 01 00", BerFrame::kDefinite, 260},
        {"b6 84 80 00 00 00", BerFrame::kDefinite, 0x80000006},
        {"b6 88 00 00 00 01 00 00 00 00", BerFrame::kDefinite, 0x10000000aLL},
        {"b6 80", BerFrame::kIndefinite, 0},
        {"", BerFrame::kIncomplete, 0},
        {"bf", BerFrame::kIncomplete, 0},
        {"b6 82 01", BerFrame::kIncomplete, 0},
        {"b6 89 00 00 00 00 00 00 00 00 01", BerFrame::kMalformed, 0},
        {"b6 ff", BerFrame::kMalformed, 0},
        {"bf 81 81 81 81 81 01 00", BerFrame::kMalformed, 0},
    };
    for (const auto& row : rows) {
        const CByteArray bytes = Hex(row.hex);
        int64_t total = -1;
        EXPECT_EQ(BerFrameLength(bytes.data(), static_cast<long>(bytes.size()), total), row.frame) << row.hex;
        if (row.frame == BerFrame::kDefinite)
            EXPECT_EQ(total, row.total) << row.hex;
    }
}

TEST_F(CBERNodeTest, LengthPastParentIsRejected)
{
    // The INTEGER claims 3 octets inside a SEQUENCE of 3 octets of content.
    EXPECT_EQ(Decode(root, Hex("30 03 02 03 05 06 07 08")).error, "not get length");
    // The second INTEGER runs past the first SEQUENCE's end into the next element.
    EXPECT_EQ(Decode(root, Hex("30 06 02 01 05 02 02 06 02 01 09")).error, "not get length");
}

TEST_F(CBERNodeTest, LengthPastInputIsRejected)
{
    EXPECT_EQ(Decode(root, Hex("04 05 41 42")).error, "not get length");
    EXPECT_EQ(Decode(root, Hex("30 7F 02 01 05")).error, "not get length");
}

TEST_F(CBERNodeTest, EndOfContentsInsideDefiniteElementIsRejected)
{
    EXPECT_EQ(Decode(root, Hex("30 05 02 01 05 00 00")).error, "DecodeBER error");
}

TEST_F(CBERNodeTest, SixtyFourLevelsDecodeAndSixtyFiveAreRejected)
{
    for (bool indefinite : {false, true}) {
        CBERNode deep;
        EXPECT_EQ(Decode(deep, Nested(63, indefinite)).error, "") << indefinite;
        CBERNode tooDeep;
        EXPECT_EQ(Decode(tooDeep, Nested(64, indefinite)).error, "DecodeBER error") << indefinite;
        long total = 0;
        EXPECT_TRUE(Complete(Nested(63, true), total));
        EXPECT_FALSE(Complete(Nested(64, true), total));
        EXPECT_EQ(total, -1);
    }
}

TEST_F(CBERNodeTest, DeepNestingFromNetworkDoesNotOverflowTheStack)
{
    CByteArray bytes;
    for (int i = 0; i < 100000; ++i) {
        bytes.push_back(0x30);
        bytes.push_back(0x80);
    }
    EXPECT_EQ(Decode(root, bytes).error, "DecodeBER error");
    long total = 0;
    EXPECT_FALSE(Complete(bytes, total));
}

TEST_F(CBERNodeTest, EveryTruncationOfValidPduFailsCleanly)
{
    // A searchRequest-like tree, indefinite at several levels, with a multi-byte tag.
    const CByteArray whole = Hex("B6 80 02 01 01 A1 80 BF 66 80 9F 2D 03 61 62 63 00 00 00 00 81 01 05 00 00");
    {
        CBERNode full;
        ASSERT_EQ(Decode(full, whole).result, static_cast<int>(whole.size()));
    }
    for (size_t cut = 1; cut < whole.size(); ++cut) {
        CByteArray part(whole.begin(), whole.begin() + static_cast<long>(cut));
        CBERNode local;
        auto outcome = Decode(local, part);
        EXPECT_NE(outcome.error, "") << "cut at " << cut;
        long total = 0;
        EXPECT_FALSE(Complete(part, total)) << "cut at " << cut;
    }
}

TEST_F(CBERNodeTest, CompletenessReportsTotalOrMissingOctets)
{
    struct Row {
        const char* bytes;
        bool complete;
        long total;
    } rows[] = {
        {"30 05 02 01", false, 3},        {"30 03 02 01 05 FF", true, 5},
        {"30 80 02 01 05", false, -1},    {"30 80 02 01 05 00 00", true, 7},
        {"", false, -1},                  {"9F", false, -1},
        {"30 82 01", false, -1},          {"B6 80 A1 80 02 01 05 00 00 00 00 FF", true, 11},
        {"B6 80 A1 80 02 01 05 00 00", false, -1}, {"04 80 41 00 00", true, 5},
    };
    for (const Row& row : rows) {
        long total = 99;
        EXPECT_EQ(Complete(Hex(row.bytes), total), row.complete) << row.bytes;
        EXPECT_EQ(total, row.total) << row.bytes;
    }
}

TEST_F(CBERNodeTest, IdentifierOctetsEncode)
{
    struct Row {
        unsigned char byClass;
        unsigned char form;
        unsigned tag;
        const char* bytes;
    } rows[] = {
        {0, 0, 2, "02"},        {2, 1, 30, "BE"},          {0, 0, 31, "1F 1F"},     {2, 0, 127, "9F 7F"},
        {0, 0, 128, "1F 81 00"}, {2, 1, 224, "BF 81 60"},  {0, 0, 16383, "1F FF 7F"}, {3, 0, 16384, "DF 81 80 00"},
        {1, 1, 0xFFFFFFFFu, "7F 8F FF FF FF 7F"},
    };
    for (const Row& row : rows) {
        CBERNode node;
        node.m_byClass = row.byClass;
        node.m_bConstructed = row.form;
        node.m_uTag = row.tag;
        CByteArray out = Hex("AA");
        node.MakeTagClassFormPart(out);
        EXPECT_EQ(out, Hex(row.bytes)) << row.tag;
    }
}

TEST_F(CBERNodeTest, LengthOctetsEncode)
{
    struct Row {
        int length;
        const char* bytes;
    } rows[] = {
        {-1, "80"},        {0, "00"},          {1, "01"},           {127, "7F"},
        {128, "81 80"},    {255, "81 FF"},     {256, "82 01 00"},   {65535, "82 FF FF"},
        {65536, "83 01 00 00"}, {0x7FFFFFFF, "84 7F FF FF FF"},
    };
    for (const Row& row : rows) {
        CBERNode node;
        CByteArray out;
        node.MakeLengthPart(out, row.length);
        EXPECT_EQ(out, Hex(row.bytes)) << row.length;
    }
}

TEST_F(CBERNodeTest, ContentSizesPickLengthForms)
{
    for (int size : {127, 128, 256}) {
        CBERNode local;
        local.NewChildCharNode(4u, BER_UNIVERSAL, CByteArray(size, 'a'));
        CByteArray out = Encode(local);
        CByteArray header(out.begin(), out.end() - size);
        CByteArray expected = size == 127 ? Hex("04 7F") : size == 128 ? Hex("04 81 80") : Hex("04 82 01 00");
        EXPECT_EQ(header, expected) << size;
    }
}

TEST_F(CBERNodeTest, EmptyRootEncodesToNothing)
{
    CByteArray out = Hex("01 02");
    EXPECT_EQ(root.EncodeBER(out), 0);
    EXPECT_TRUE(out.empty());
}

TEST_F(CBERNodeTest, EncodingRebuildsConstructedContentFromChildren)
{
    CBERNode* seq = root.NewChildconstructedNode(16, BER_UNIVERSAL);
    seq->NewChildIntegerNode(BER_UNIVERSAL, BER_PRIMITIVE, 2, 5);
    EXPECT_EQ(Encode(root), Hex("30 03 02 01 05"));
    seq->NewChildBooleanNode(BER_CONTEXT, BER_PRIMITIVE, 1, true);
    EXPECT_EQ(Encode(root), Hex("30 06 02 01 05 81 01 01"));
    EXPECT_FALSE(seq->m_arrChildren[0]->Encode());
}

TEST_F(CBERNodeTest, SiblingsAtTheEndsAreNull)
{
    CBERNode* first = root.NewChildNoContentNode(BER_CONTEXT, BER_PRIMITIVE, 1);
    CBERNode* second = root.NewChildNoContentNode(BER_CONTEXT, BER_PRIMITIVE, 2);
    EXPECT_EQ(first->GetLeftSibling(), nullptr);
    EXPECT_EQ(first->GetRightSibling(), second);
    EXPECT_EQ(second->GetLeftSibling(), first);
    EXPECT_EQ(second->GetRightSibling(), nullptr);
    EXPECT_EQ(root.GetLeftSibling(), nullptr);
}

TEST_F(CBERNodeTest, BuildPartTreeReportsWholeLength)
{
    const char data[] = "\x30\x03\x02\x01\x05";
    int used = 0;
    EXPECT_EQ(root.BuildPartTree(data, 5, used), 5);
    EXPECT_EQ(used, 5);
    EXPECT_EQ(root.m_arrChildren.size(), 1u);
}

TEST_F(CBERNodeTest, TwoHundredByteTermSearchRequestDecodes)
{
    // As yaz-client sends a 200-octet term: every enclosing level indefinite, the term long-form.
    CByteArray term(200, 't');
    CByteArray bytes = Hex("B6 80 02 01 01 A1 80 A0 80 BF 66 80 30 80 9F 2D 81 C8");
    bytes.insert(bytes.end(), term.begin(), term.end());
    for (int i = 0; i < 5; ++i)
        bytes.insert(bytes.end(), {0, 0});
    long total = 0;
    ASSERT_TRUE(Complete(bytes, total));
    EXPECT_EQ(total, static_cast<long>(bytes.size()));
    ASSERT_EQ(Decode(root, bytes).result, static_cast<int>(bytes.size()));
    CBERNode* node = root.m_arrChildren[0];
    for (unsigned tag : {1u, 0u, 102u, 16u}) {
        node = node->m_arrChildren.back();
        EXPECT_EQ(node->m_uTag, tag);
    }
    EXPECT_EQ(node->m_arrChildren[0]->m_uTag, 45u);
    EXPECT_EQ(node->m_arrChildren[0]->m_baContent, term);
}

}  // namespace
