// Request decoders on hand-built BER: the text translation of RPN queries and its errors,
// authentication forms, character-set negotiation (both EXTERNAL forms, and the builder), ES
// update, and robustness against trees of the wrong shape.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "berkit/bernode.h"
#include "berkit/bernode_decoders.h"

namespace {

// BER pieces. Hex strings are written with spaces for reading.
CByteArray Hex(const std::string& text) {
    CByteArray out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(std::stoi(digits.substr(i, 2), nullptr, 16));
    return out;
}
std::string ToHex(const CByteArray& bytes) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) out += std::string{d[b >> 4], d[b & 15], ' '};
    if (!out.empty()) out.pop_back();
    return out;
}
// Wraps content octets into one element with the given identifier octets (short lengths only).
std::string Tlv(const std::string& id, const std::string& contentHex) {
    CByteArray c = Hex(contentHex);
    char len[4];
    std::snprintf(len, sizeof(len), "%02x", static_cast<unsigned>(c.size()));
    return id + " " + len + " " + ToHex(c);
}
std::string Text(const std::string& s) { return ToHex(CByteArray(s.begin(), s.end())); }
// Minimal two's complement of a small non-negative INTEGER value.
std::string Int(long v) {
    CByteArray out;
    do {
        out.insert(out.begin(), static_cast<unsigned char>(v & 0xff));
        v >>= 8;
    } while (v > 0);
    if (out[0] & 0x80) out.insert(out.begin(), 0);
    return ToHex(out);
}
std::string Attr(long type, long value) {
    return Tlv("30", Tlv("9f 78", Int(type)) + " " + Tlv("9f 79", Int(value)));
}
// An op [0] operand: AttributesPlusTerm with the given attribute elements and a general term.
std::string Operand(const std::string& attrs, const std::string& term) {
    return Tlv("a0", Tlv("bf 66", Tlv("bf 2c", attrs) + " " + Tlv("9f 2d", Text(term))));
}
std::string RpnOp(const std::string& a, const std::string& b, int op) {
    return Tlv("a1", a + " " + b + " " + Tlv("bf 2e", Tlv("8" + std::to_string(op), "")));
}
const char kBib1[] = "06 07 2a 86 48 ce 13 03 01";
std::string Query(const std::string& rpn, const std::string& oid = kBib1) {
    return Tlv("b5", Tlv("a1", oid + " " + rpn));
}

class DecoderTest : public ::testing::Test {
protected:
    CBERNode* Decode(const std::string& hex) {
        m_root.ClearArray();
        m_bytes = Hex(hex);
        DecodeBER(&m_root, m_bytes.data(), static_cast<int>(m_bytes.size()));
        return m_root.m_arrChildren.at(0);
    }
    // Decodes `hex` and empties the node at `path` (child indexes from the top element): the codec
    // refuses empty constructed elements, but the decoders must cope with childless nodes.
    CBERNode* DecodeEmptied(const std::string& hex, std::vector<size_t> path) {
        CBERNode* top = Decode(hex);
        CBERNode* node = top;
        for (size_t i : path) node = node->m_arrChildren.at(i);
        node->ClearArray();
        return top;
    }
    // Translates a query; returns the text, or "!" + the exception message.
    std::string Translate(const std::string& queryHex) { return Translate(Decode(queryHex)); }
    std::string Translate(CBERNode* query) {
        std::string text, unused;
        try {
            DecodeSearchQuery(query, text, unused);
            return text;
        } catch (extended_exception& e) {
            EXPECT_EQ(e.m_nCode, 0);
            return "!" + e.m_strMessage;
        }
    }
    CByteArray m_bytes;
    CBERNode m_root;
};

TEST_F(DecoderTest, OperandTranslatesToLikeWithPercentAroundTheTerm) {
    EXPECT_EQ(Translate(Query(Operand(Attr(1, 4) + " " + Attr(2, 3), "abc"))), "(uniname_4 LIKE %abc%)");
}

TEST_F(DecoderTest, UseAttributeIsChosenByTypeNotPosition) {
    EXPECT_EQ(Translate(Query(Operand(Attr(2, 3) + " " + Attr(1, 4), "abc"))), "(uniname_4 LIKE %abc%)");
    long type = -1, value = -1;
    std::string term;
    CBERNode* q = Decode(Query(Operand(Attr(5, 100) + " " + Attr(3, 3) + " " + Attr(1, 21), "t")));
    DecodeAttributeAndTerm(GetRPNStructureRoot(q)->m_arrChildren[0], type, value, term, false);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(value, 21);
}

TEST_F(DecoderTest, WithoutAUseAttributeTheFirstElementIsTaken) {
    EXPECT_EQ(Translate(Query(Operand(Attr(2, 3) + " " + Attr(4, 2), "abc"))), "(uniname_3 LIKE %abc%)");
}

TEST_F(DecoderTest, TermsWithWildcardsAreUsedAsTheyStand) {
    EXPECT_EQ(Translate(Query(Operand(Attr(1, 4), "ab%"))), "(uniname_4 LIKE ab%)");
    EXPECT_EQ(Translate(Query(Operand(Attr(1, 4), "a_b"))), "(uniname_4 LIKE a_b)");
}

TEST_F(DecoderTest, OperatorsTranslateToTheirWords) {
    std::string a = Operand(Attr(1, 4), "A"), b = Operand(Attr(1, 1003), "B");
    EXPECT_EQ(Translate(Query(RpnOp(a, b, 2))), "((uniname_4 LIKE %A%) AND NOT (uniname_1003 LIKE %B%))");
    EXPECT_EQ(Translate(Query(RpnOp(a, b, 1))), "((uniname_4 LIKE %A%) OR (uniname_1003 LIKE %B%))");
    EXPECT_EQ(Translate(Query(RpnOp(a, b, 3))), "!unsupported query operator");
}

TEST_F(DecoderTest, MalformedQueriesThrowTheirMessages) {
    std::string op = Operand(Attr(1, 4), "x");
    EXPECT_EQ(Translate(DecodeEmptied(Tlv("b5", "05 00"), {})), "!no query item");
    EXPECT_EQ(Translate(Tlv("b5", Tlv("bf 65", "04 01 00"))), "!not type-1 query. unsorpported query type");
    EXPECT_EQ(Translate(Query(op, "06 07 2a 86 48 ce 13 03 02")), "!support bib-1 only");
    EXPECT_EQ(Translate(Query(Tlv("a0", Tlv("9f 1f", Text("set"))))), "!only support Attributes + Term");
    EXPECT_EQ(Translate(Query(Tlv("a0", Tlv("bf 66", Tlv("bf 2c", Attr(1, 4)))))), "!bad RPN query");
    EXPECT_EQ(Translate(DecodeEmptied(Query(op), {0, 1, 0, 0})), "!bad RPN query");  // empty attribute list
    EXPECT_EQ(Translate(Query(Tlv("a0", Tlv("bf 66", Tlv("bf 2c", Attr(1, 4)) + " " + Tlv("a1", "04 01 78"))))),
              "!only support general Term");
    EXPECT_EQ(Translate(Query(Tlv("a0", Tlv("bf 66", Tlv("bf 2d", "05 00") + " " + Tlv("9f 2d", Text("x")))))),
              "!only support Attributes");
    EXPECT_EQ(Translate(Query(Operand(Attr(1, 4), ""))), "!bad RPN query");
    EXPECT_EQ(Translate(Query(Tlv("a1", op + " " + op))), "!bad RPN query");
    EXPECT_EQ(Translate(Query(Tlv("a2", op))), "");  // other children of the type-1 query are skipped
    std::string text;
    EXPECT_THROW(DecodeRPNStructure(Decode(Tlv("a2", op)), text, false), extended_exception);
}

TEST_F(DecoderTest, RootIsNullForOtherAttributeSetsAndQueryTypes) {
    EXPECT_NE(GetRPNStructureRoot(Decode(Query(Operand(Attr(1, 4), "x")))), nullptr);
    EXPECT_EQ(GetRPNStructureRoot(Decode(Query(Operand(Attr(1, 4), "x"), "06 07 2a 86 48 ce 13 03 02"))), nullptr);
    EXPECT_EQ(GetRPNStructureRoot(Decode(Tlv("b5", Tlv("bf 65", "04 01 00")))), nullptr);
    EXPECT_EQ(GetRPNStructureRoot(nullptr), nullptr);
    EXPECT_EQ(DecodeRPNOperator(nullptr), -1);
    EXPECT_EQ(DecodeRPNOperator(DecodeEmptied("bf 2e 02 80 00", {})), -1);
    EXPECT_EQ(DecodeRPNOperator(Decode("bf 2e 02 81 00")), 1);
}

TEST_F(DecoderTest, DeeplyNestedQueriesAreRejectedNotRecursedWithoutBound) {
    std::string op = Operand(Attr(1, 4), "x");
    // 55 nested rpnRpnOp levels: within the codec's nesting limit, beyond the walkers' bound.
    std::string rpn = op;
    for (int i = 0; i < 55; ++i) rpn = "a1 80 " + rpn + " " + op + " bf 2e 02 80 00 00 00";
    std::string hex = "b5 80 a1 80 " + std::string(kBib1) + " " + rpn + " 00 00 00 00";
    std::string text, unused;
    m_root.ClearArray();
    m_bytes = Hex(hex);
    try {
        DecodeBER(&m_root, m_bytes.data(), static_cast<int>(m_bytes.size()));
    } catch (extended_exception&) {
        GTEST_SKIP() << "codec refuses this depth itself";
    }
    try {
        DecodeSearchQuery(m_root.m_arrChildren.at(0), text, unused);
        FAIL() << "no exception";
    } catch (extended_exception& e) {
        EXPECT_EQ(e.m_strMessage, "bad RPN query");
    }
}

TEST_F(DecoderTest, OpenAuthenticationForms) {
    struct Case { const char* text; const char* user; const char* password; };
    const Case cases[] = {{"user/pw", "user", "pw"}, {"user/", "user", "keep"}, {"user", "user", "keep"},
                          {"a/b/c", "a", "b/c"}};
    for (const Case& c : cases) {
        std::string group = "g", user = "u", password = "keep";
        int form = 0;
        EXPECT_TRUE(DecodeAuthentication(Decode(Tlv("a7", Tlv("1a", Text(c.text)))), group, user, password, form));
        EXPECT_EQ(form, AUTH_FORM_OPEN);
        EXPECT_EQ(user, c.user) << c.text;
        EXPECT_EQ(password, c.password) << c.text;
        EXPECT_EQ(group, "g");
    }
}

TEST_F(DecoderTest, AuthenticationOfWrongShapeSetsNothing) {
    std::string group, user, password;
    int form = 7;
    EXPECT_FALSE(DecodeAuthentication(nullptr, group, user, password, form));
    EXPECT_FALSE(DecodeAuthentication(DecodeEmptied("a7 02 05 00", {}), group, user, password, form));
    EXPECT_TRUE(DecodeAuthentication(Decode("a7 02 05 00"), group, user, password, form));  // anonymous
    EXPECT_EQ(form, 7);
    EXPECT_TRUE(DecodeAuthentication(Decode("a7 04 30 02 05 00"), group, user, password, form));
    EXPECT_EQ(form, AUTH_FORM_IDPASS);
    EXPECT_TRUE(user.empty() && password.empty() && group.empty());
}

// otherInfo with one negotiation; `wrapped` puts it in the EXTERNAL's [0].
std::string Negotiation(const std::string& body, bool wrapped, const char* oid = "06 07 2a 86 48 ce 13 0f 03") {
    std::string inner = Tlv("a1", body);
    if (wrapped) inner = Tlv("a0", inner);
    return Tlv("bf 81 49", Tlv("30", Tlv("a4", std::string(oid) + " " + inner)));
}
const char kUtf8Sets[] = "a1 0a a2 08 82 06 28 d3 16 01 00 08";

TEST_F(DecoderTest, NegotiationIsReadInBothExternalForms) {
    for (bool form : {true, false}) {
        bool utf8 = false, records = false, wrapped = !form;
        EXPECT_EQ(DecodeCharSetNegotiation(Decode(Negotiation(std::string(kUtf8Sets) + " 83 01 01", form)), utf8,
                                           records, &wrapped), 0);
        EXPECT_TRUE(utf8);
        EXPECT_TRUE(records);
        EXPECT_EQ(wrapped, form);
    }
}

TEST_F(DecoderTest, RecordsInCharSetNeedsUtf8) {
    bool utf8 = true, records = true;
    EXPECT_EQ(DecodeCharSetNegotiation(Decode(Negotiation(kUtf8Sets, true)), utf8, records), 0);
    EXPECT_TRUE(utf8);
    EXPECT_FALSE(records);
    std::string utf16 = "a1 0a a2 08 82 06 28 d3 16 01 00 05 83 01 01";
    EXPECT_EQ(DecodeCharSetNegotiation(Decode(Negotiation(utf16, true)), utf8, records), 0);
    EXPECT_FALSE(utf8);
    EXPECT_FALSE(records);
    EXPECT_EQ(DecodeCharSetNegotiation(Decode(Negotiation(kUtf8Sets, true, "06 02 2a 03")), utf8, records), -1);
    EXPECT_EQ(DecodeCharSetNegotiation(Decode("a7 02 05 00"), utf8, records), -1);
    EXPECT_EQ(DecodeCharSetNegotiation(DecodeEmptied(Negotiation(kUtf8Sets, true), {0, 0, 1}), utf8, records), -1);
}

TEST_F(DecoderTest, BuilderWritesTheWrappedResponseYazClientAccepts) {
    CBERNode root;
    root.NewChildOtherInfoUTF8(false, false, true);
    CByteArray out;
    root.EncodeBER(out);
    EXPECT_EQ(ToHex(out), "bf 81 49 20 30 1e a4 1c 06 07 2a 86 48 ce 13 0f 03 a0 11 a2 0f a1 0a a2 08 82 06 28 d3 "
                          "16 01 00 08 83 01 00");
    CBERNode bare;
    bare.NewChildOtherInfoUTF8(true, true);
    bare.EncodeBER(out);
    EXPECT_EQ(ToHex(out), "bf 81 49 1e 30 1c a4 1a 06 07 2a 86 48 ce 13 0f 03 a1 0f a1 0a a2 08 82 06 28 d3 16 01 "
                          "00 08 83 01 01");
    EXPECT_EQ(root.NewChildOtherInfoDiag1(1, "x"), nullptr);
}

TEST_F(DecoderTest, DatabaseNamesAreAppendedNotReplaced) {
    CBERNode* list = Decode(Tlv("b2", Tlv("9f 69", Text("db1")) + " 02 01 05 " + Tlv("9f 69", Text("db2"))));
    std::vector<std::string> names;
    EXPECT_TRUE(DecodeDBName(list, names, false));
    EXPECT_TRUE(DecodeDBName(list, names, false));
    EXPECT_EQ(names, (std::vector<std::string>{"db1", "db2", "db1", "db2"}));
    EXPECT_FALSE(DecodeDBName(nullptr, names, false));
}

TEST_F(DecoderTest, EsRequestOfWrongShapeGivesNull) {
    long action = -1;
    std::string db;
    EXPECT_EQ(DecodeESRequestPtr(Decode(Tlv("aa", "06 01 00"))), nullptr);
    EXPECT_EQ(DecodeESRequestPtr(Decode(Tlv("aa", Tlv("a0", Tlv("a2", "05 00"))))), nullptr);
    EXPECT_EQ(DecodeESRequestPtr(Decode(Tlv("ab", Tlv("a0", Tlv("a1", "05 00"))))), nullptr);
    EXPECT_EQ(DecodeESRequestPtr(DecodeEmptied(Tlv("aa", Tlv("a0", Tlv("a1", "05 00"))), {0})), nullptr);
    EXPECT_NE(DecodeESRequestPtr(Decode(Tlv("aa", Tlv("a0", Tlv("a1", "05 00"))))), nullptr);
    // toKeep only: action and database are read, no record list.
    CBERNode* req = Decode(Tlv("a1", Tlv("a1", Tlv("30", "81 01 03 " + Tlv("82", Text("books"))))));
    EXPECT_EQ(DecodeESRequest(req, action, db, false), nullptr);
    EXPECT_EQ(action, 3);
    EXPECT_EQ(db, "books");
    // notToKeep whose content is not a SEQUENCE OF.
    req = Decode(Tlv("a1", Tlv("a1", "05 00") + " " + Tlv("a2", "04 00")));
    EXPECT_EQ(DecodeESRequest(req, action, db, false), nullptr);
    std::string unused, syntax;
    CByteArray data;
    EXPECT_EQ(DecodeESUpdateRecord(Decode("04 00"), unused, syntax, data), -1);
    EXPECT_EQ(DecodeESUpdateRecord(nullptr, unused, syntax, data), -1);
}

// Every decoder against every subtree of odd shapes: nothing may crash.
TEST_F(DecoderTest, DecodersSurviveArbitraryTreeShapes) {
    const std::string shapes[] = {"04 00", "30 02 05 00", "a0 02 04 00", "bf 66 02 05 00",
                                  "bf 66 08 bf 2c 02 05 00 9f 2d 00", "a1 08 a0 02 05 00 a0 02 05 00",
                                  "a1 0d a0 02 05 00 a0 02 05 00 bf 2e 02 05 00", "bf 2e 02 04 00",
                                  "a4 06 06 00 a0 02 05 00", "bf 81 49 06 30 04 a4 02 05 00", "a7 02 1a 00",
                                  "aa 06 a0 04 a1 02 05 00", "b5 06 a1 04 06 02 2a 03"};
    int visited = 0;
    for (const std::string& shape : shapes) for (bool emptied : {false, true}) {
        CBERNode* n = Decode(shape);
        if (emptied) n->ClearArray();
        for (CBERNode* node : {n, n->m_arrChildren.empty() ? n : n->m_arrChildren[0]}) {
            ++visited;
            std::string s1, s2, s3;
            long l1 = -1, l2 = -1;
            int form = 0;
            bool b1, b2;
            std::vector<std::string> names;
            std::vector<std::pair<long, long>> attrs;
            CByteArray data;
            GetRPNStructureRoot(node);
            DecodeRPNOperator(node);
            DecodeAttributeList(node, attrs);
            try { DecodeAttributeAndTerm(node, l1, l2, s1, false); } catch (extended_exception&) {}
            try { DecodeSearchQuery(node, s1, s2); } catch (extended_exception&) {}
            try { DecodeRPNStructure(node, s1, false); } catch (extended_exception&) {}
            DecodeDBName(node, names, false);
            DecodeAuthentication(node, s1, s2, s3, form);
            DecodeCharSetNegotiation(node, b1, b2);
            DecodeESRequest(DecodeESRequestPtr(node), l1, s1, false);
            DecodeESRequest(node, l1, s1, false);
            DecodeESUpdateRecord(node, s1, s2, data);
        }
    }
    EXPECT_EQ(visited, 4 * static_cast<int>(std::size(shapes)));
}

}  // namespace
