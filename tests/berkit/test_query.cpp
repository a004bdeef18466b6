// The type-1 query model: encoded queries and the trees (or error nodes) they decode to.
#include <gtest/gtest.h>

#include <string>

#include "berkit/bernode_decoders.h"
#include "berkit/bernode_query.h"
#include "tests/berkit/ber_test_util.h"
#include "tests/berkit/rpn_writer.h"

namespace {

using namespace rpnwriter;

// "op(left,right)", "t[use,truncation]'term'" (-1: absent), "set'name'", "error'reason'".
std::string Describe(const CZQueryNode* node) {
    if (node == nullptr)
        return "null";
    switch (node->m_kind) {
    case CZQueryKind::kTerm:
        return "t[" + std::to_string(node->m_operand.m_bib1[kBib1Use]) + "," +
               std::to_string(node->m_operand.m_bib1[kBib1Truncation]) + "]'" + node->m_operand.m_term + "'";
    case CZQueryKind::kResultSet:
        return "set'" + node->m_text + "'";
    case CZQueryKind::kOperator:
        return std::to_string(node->m_operator) + "(" + Describe(node->m_left.get()) + "," +
               Describe(node->m_right.get()) + ")";
    case CZQueryKind::kError:
        return "error'" + node->m_text + "'";
    }
    return "?";
}

std::string DecodeText(const CByteArray& rpn, CZQueryReading reading) {
    CBERNode root;
    if (Decode(root, rpn).result <= 0 || root.m_arrChildren.empty())
        return "undecodable";
    return Describe(DecodeQuery(root.m_arrChildren[0], false, reading).get());
}

CByteArray Nest(int depth) {
    CByteArray rpn = Term(4, "x");
    for (int i = 0; i < depth; ++i)
        rpn = And(rpn, Term(4, "y"));
    return rpn;
}

struct QueryCase {
    CByteArray rpn;
    std::string strict;   // the tree in the server's described reading
    std::string lenient;  // the tree in the bib-1 diagnostics reading
};

TEST(QueryModel, EncodedQueriesGiveTheirTreesInBothReadings) {
    const CByteArray noAttributes = Tlv({0xa0}, Tlv({0xbf, 0x66}, Cat({Tlv({0xbf, 0x2c}, {}), Tlv({0x9f, 0x2d}, Text("cat"))})));
    const CByteArray octetTerm = Tlv({0xa0}, Tlv({0xbf, 0x66}, Cat({Tlv({0xbf, 0x2c}, {}), Tlv({0x81}, Text("x"))})));
    const QueryCase cases[] = {
        {Term(4, "computer"), "t[4,-1]'computer'", "t[4,-1]'computer'"},
        // Use found by type whatever the order; the last truncation counts; other types are kept.
        {Operand({{5, 1}, {2, 3}, {1, 1003}, {5, 100}, {1, 21}}, "knuth"), "t[1003,100]'knuth'", "t[1003,100]'knuth'"},
        // Without a use attribute the strict reading takes the first element's value.
        {Operand({{5, 1}}, "comp"), "t[1,1]'comp'", "t[-1,1]'comp'"},
        {noAttributes, "error'bad RPN query'", "t[-1,-1]'cat'"},
        {Operand({{1, 4}}, ""), "error'bad RPN query'", "error'only support general Term'"},
        {octetTerm, "error'only support general Term'", "error'only support general Term'"},
        {SetRef("Default"), "set'Default'", "set'Default'"},
        {And(Term(4, "a"), Or(SetRef("s1"), AndNot(Term(21, "b"), Term(1003, "c")))),
         "0(t[4,-1]'a',1(set's1',2(t[21,-1]'b',t[1003,-1]'c')))",
         "0(t[4,-1]'a',1(set's1',2(t[21,-1]'b',t[1003,-1]'c')))"},
        {Op(3, Term(4, "a"), Term(4, "b")), "3(t[4,-1]'a',t[4,-1]'b')", "3(t[4,-1]'a',t[4,-1]'b')"},
        {Op(7, Term(4, "a"), Term(4, "b")), "-1(t[4,-1]'a',t[4,-1]'b')", "-1(t[4,-1]'a',t[4,-1]'b')"},
        // Malformed structures become error nodes where they are; the rest of the tree is kept.
        {Tlv({0xa0}, {}), "error'bad RPN structure'", "error'bad RPN structure'"},
        {Tlv({0xa0}, Tlv({0x9f, 0x20}, Text("x"))), "error'Unsurported RPN structure'",
         "error'Unsurported RPN structure'"},
        {Tlv({0xa1}, Cat({Term(4, "a"), Term(4, "b")})), "error'bad RPN structure'", "error'bad RPN structure'"},
        {Or(Term(4, "a"), Tlv({0xa2}, {})), "1(t[4,-1]'a',error'bad RPN structure')",
         "1(t[4,-1]'a',error'bad RPN structure')"},
        {Tlv({0xa5}, Term(4, "a")), "error'bad RPN structure'", "error'bad RPN structure'"},
    };
    for (const QueryCase& c : cases) {
        EXPECT_EQ(c.strict, DecodeText(c.rpn, CZQueryReading::kStrict));
        EXPECT_EQ(c.lenient, DecodeText(c.rpn, CZQueryReading::kLenient));
    }
}

TEST(QueryModel, NestingPastTheBoundIsAnErrorAtTheDeepestLevel) {
    std::string deepest = DecodeText(Nest(kRPNMaxDepth), CZQueryReading::kStrict);
    EXPECT_EQ(std::string::npos, deepest.find("error"));
    deepest = DecodeText(Nest(kRPNMaxDepth + 1), CZQueryReading::kStrict);
    std::string operators;
    for (int i = 0; i <= kRPNMaxDepth; ++i)
        operators += "0(";
    EXPECT_EQ(0u, deepest.find(operators + "error'bad RPN structure',error'bad RPN structure'),")) << deepest;
}

TEST(QueryModel, NoStructureIsNoTreeAndTermsCanBeEditedInOrder) {
    EXPECT_EQ(nullptr, DecodeQuery(nullptr, false, CZQueryReading::kStrict));
    CBERNode root;
    ASSERT_GT(Decode(root, And(Term(4, "a"), Or(Term(4, "b"), SetRef("c")))).result, 0);
    auto tree = DecodeQuery(root.m_arrChildren[0], false, CZQueryReading::kStrict);
    std::string seen;
    ForEachQueryTerm(tree.get(), [&](CZQueryTerm& t) {
        seen += t.m_term;
        t.m_term += "*";
    });
    EXPECT_EQ("ab", seen);
    EXPECT_EQ("0(t[4,-1]'a*',1(t[4,-1]'b*',set'c'))", Describe(tree.get()));
}

}  // namespace
