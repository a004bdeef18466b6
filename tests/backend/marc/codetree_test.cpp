// CCodeTree: nesting, comments, attributes, command tables, hooks and positioned syntax errors.

#include "backend/marc/codetree.h"

#include <gtest/gtest.h>

namespace {

struct ParseFailure {
    std::string message;
    int line = 0;
    int column = 0;
};

ParseFailure ParseExpectingError(CCodeTree& tree, const std::string& text) {
    try {
        tree.BuildTree(text);
    } catch (const CError& e) {
        return {e.GetMessage(), e.GetLine(), e.GetColumn()};
    }
    ADD_FAILURE() << "no CError for: " << text;
    return {};
}

class CountingCell : public _CCTCell {
public:
    int WarmUp() override {
        ++m_warmed;
        return 0;
    }
    int m_warmed = 0;
};

class HookTree : public CCodeTree {
public:
    HookTree() {
        auto defs = std::make_unique<_CCTCmdDefArray>();
        defs->Add("prop", 1);
        defs->Add("other", 2);
        SetCmdDefArray(std::move(defs));
    }
    std::unique_ptr<_CCTCell> NewObject(const _CCTCell& command) override {
        if (command.m_code == 1) return std::make_unique<CountingCell>();
        return nullptr;
    }
};

}  // namespace

TEST(CCodeTreeTest, CommandsAttributesAndCommentsAreRead) {
    CCodeTree tree;
    tree.BuildTree("# heading\r\nuse name=\"title\"  oid=\"4\"   # trailing\r\n\r\n  use name=\"any\" oid=\"\"\n");
    const _CCTCell* root = tree.GetRoot();
    ASSERT_EQ(root->GetChildCount(), 2u);
    const _CCTCell* first = root->GetChild(0);
    EXPECT_EQ(first->m_command, "use");
    EXPECT_EQ(first->m_line, 2);
    EXPECT_EQ(first->m_column, 1);
    ASSERT_NE(first->FindAttribute("NAME"), nullptr);  // attribute names ignore case
    EXPECT_EQ(*first->FindAttribute("name"), "title");
    std::string oid = "unchanged";
    EXPECT_TRUE(root->GetChild(1)->GetAttribute("oid", oid));
    EXPECT_EQ(oid, "");
    EXPECT_FALSE(first->GetAttribute("missing", oid));
    EXPECT_EQ(root->GetChild(1)->m_column, 3);
}

TEST(CCodeTreeTest, ValuesKeepSpacesHashesAndEightBitText) {
    CCodeTree tree;
    tree.BuildTree("prop type=\"marcsytax oid\" value=\"#1 \xD6\xD0\xCE\xC4 {x}\"");
    const _CCTCell* cell = tree.GetRoot()->GetChild(0);
    EXPECT_EQ(*cell->FindAttribute("type"), "marcsytax oid");
    EXPECT_EQ(*cell->FindAttribute("value"), "#1 \xD6\xD0\xCE\xC4 {x}");
}

TEST(CCodeTreeTest, BracesNestCommandsOnTheSameOrNextLine) {
    CCodeTree tree;
    tree.BuildTree("group a=\"1\" {\n  item b=\"2\"\n  sub\n  {\n    leaf\n  }\n}\nlast\n");
    const _CCTCell* root = tree.GetRoot();
    ASSERT_EQ(root->GetChildCount(), 2u);
    const _CCTCell* group = root->GetChild(0);
    ASSERT_EQ(group->GetChildCount(), 2u);
    EXPECT_EQ(group->GetChild(0)->m_command, "item");
    EXPECT_EQ(group->GetChild(0)->m_parent, group);
    ASSERT_EQ(group->GetChild(1)->GetChildCount(), 1u);
    EXPECT_EQ(group->GetChild(1)->GetChild(0)->m_command, "leaf");
    EXPECT_EQ(root->GetChild(1)->m_command, "last");
    EXPECT_EQ(root->GetChild(1)->m_parent, root);
}

TEST(CCodeTreeTest, SyntaxErrorsGiveLineAndColumn) {
    CCodeTree tree;
    struct Case {
        const char* text;
        int line;
        int column;
        const char* fragment;
    } cases[] = {
        {"use name=\"x\"\nuse name=\"y", 2, 10, "unterminated"},
        {"use name \"x\"", 1, 10, "expected '='"},
        {"use name=x", 1, 10, "expected '\"'"},
        {"\n\n  }", 3, 3, "without a matching"},
        {"a {\n  b {\n  }\n", 1, 3, "no matching"},
        {"{\n}", 1, 1, "does not follow"},
        {"a=\"1\"", 1, 2, "expected a blank"},
        {"9use", 1, 1, "expected a command word"},
        {"use name=\"x\" name=\"y\"", 1, 14, "duplicate attribute"},
        {"use name=\"x\"oid=\"4\"", 1, 13, "expected a blank"},
        {"a {\n} b", 2, 3, "unexpected text"},
        {"use \xD6\xD0", 1, 5, "attribute name"},
        {"use v=\"a\x01\"", 1, 9, "control character"},
    };
    for (const Case& c : cases) {
        ParseFailure f = ParseExpectingError(tree, c.text);
        EXPECT_EQ(f.line, c.line) << c.text;
        EXPECT_EQ(f.column, c.column) << c.text;
        EXPECT_NE(f.message.find(c.fragment), std::string::npos) << c.text << " -> " << f.message;
    }
}

TEST(CCodeTreeTest, AFailedBuildLeavesThePreviousTreeIntact) {
    CCodeTree tree;
    tree.BuildTree("one\ntwo\n");
    ParseExpectingError(tree, "three\n}\n");
    ASSERT_EQ(tree.GetRoot()->GetChildCount(), 2u);
    EXPECT_EQ(tree.GetRoot()->GetChild(1)->m_command, "two");
}

TEST(CCodeTreeTest, NestingAndSizeAreBounded) {
    CCodeTree tree;
    std::string deep;
    for (int i = 0; i < kMaxCodeTreeDepth; ++i) deep += "n {\n";
    std::string closing;
    for (int i = 0; i < kMaxCodeTreeDepth; ++i) closing += "}\n";
    EXPECT_EQ(tree.BuildTree(deep + closing), 0);

    ParseFailure f = ParseExpectingError(tree, deep + "n {\n" + closing + "}\n");
    EXPECT_EQ(f.line, kMaxCodeTreeDepth + 1);
    EXPECT_NE(f.message.find("nesting deeper"), std::string::npos);

    std::string big(kMaxCodeTreeText + 1, '#');
    f = ParseExpectingError(tree, big);
    EXPECT_NE(f.message.find("longer than"), std::string::npos);
}

TEST(CCodeTreeTest, CommandTableRejectsUnknownWordsAndHooksCreateCells) {
    HookTree tree;
    tree.BuildTree("prop type=\"a\"\nother x=\"1\" {\n  prop type=\"b\"\n}\n");
    const _CCTCell* root = tree.GetRoot();
    ASSERT_EQ(root->GetChildCount(), 2u);
    EXPECT_EQ(root->GetChild(0)->m_code, 1);
    EXPECT_NE(dynamic_cast<const CountingCell*>(root->GetChild(0)), nullptr);
    EXPECT_EQ(root->GetChild(1)->m_code, 2);
    EXPECT_EQ(dynamic_cast<const CountingCell*>(root->GetChild(1)), nullptr);
    EXPECT_EQ(*root->GetChild(0)->FindAttribute("type"), "a");  // attributes reach the hooked cell

    EXPECT_EQ(tree.WarmUp(), 0);
    EXPECT_EQ(static_cast<CountingCell*>(root->GetChild(0))->m_warmed, 1);
    EXPECT_EQ(static_cast<CountingCell*>(root->GetChild(1)->GetChild(0))->m_warmed, 1);

    ParseFailure f = ParseExpectingError(tree, "prop\n  unknown a=\"1\"\n");
    EXPECT_EQ(f.line, 2);
    EXPECT_EQ(f.column, 3);
    EXPECT_NE(f.message.find("unknown command 'unknown'"), std::string::npos);
}

TEST(CCodeTreeTest, CErrorTextCarriesThePosition) {
    CError e("bad thing", 3, 7);
    EXPECT_STREQ(e.what(), "bad thing (line 3, column 7)");
}
