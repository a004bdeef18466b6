// CUseTree, CRightTree, CKeysTree: entries read from the configuration files and their errors.

#include "backend/marc/cfgtrees.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace {

std::string ReadDemoCfg(const std::string& db, const std::string& file) {
    const char* src = std::getenv("VELKAN_SOURCE_DIR");
    std::ifstream in(std::string(src ? src : ".") + "/data/demo/" + db + "/cfgs/" + file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

template <class Tree>
CError ErrorOf(const std::string& text) {
    Tree tree;
    try {
        tree.BuildTree(text);
    } catch (const CError& e) {
        return e;
    }
    ADD_FAILURE() << "no CError for: " << text;
    return CError("", 0, 0);
}

}  // namespace

TEST(CUseTreeTest, EntriesKeepTextOrderAndEmptyOids) {
    CUseTree tree;
    tree.BuildTree("use name=\"title\" oid=\"4\"\nuse name=\"none\"\nuse name=\"t2\" oid=\"4\"\n");
    const auto& entries = tree.GetEntries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].m_name, "title");
    EXPECT_EQ(entries[0].m_oid, "4");
    EXPECT_EQ(entries[1].m_oid, "");
    EXPECT_EQ(entries[2].m_name, "t2");
}

TEST(CUseTreeTest, DemoFilesMapTheRequiredUseAttributes) {
    for (const char* db : {"books", "unimarc"}) {
        CUseTree tree;
        tree.BuildTree(ReadDemoCfg(db, "use.cfg"));
        std::set<std::string> oids;
        for (const auto& e : tree.GetEntries()) oids.insert(e.m_oid);
        for (const char* oid : {"4", "1003", "7", "21", "1016", "12", "8", "31", "1018", "5", "1004"}) EXPECT_TRUE(oids.count(oid)) << db << " " << oid;
    }
}

TEST(CUseTreeTest, MissingNameAndForeignCommandsAreErrors) {
    CError e = ErrorOf<CUseTree>("use name=\"a\" oid=\"1\"\n  use oid=\"4\"\n");
    EXPECT_EQ(e.GetLine(), 2);
    EXPECT_EQ(e.GetColumn(), 3);
    EXPECT_NE(e.GetMessage().find("'name'"), std::string::npos);
    e = ErrorOf<CUseTree>("field tag=\"245\"");
    EXPECT_NE(e.GetMessage().find("unknown command"), std::string::npos);
}

TEST(CRightTreeTest, FieldsAndSubfieldSelectionsAreRead) {
    CRightTree tree;
    tree.BuildTree(ReadDemoCfg("books", "zbrief.cfg"));
    ASSERT_NE(tree.FindField("001"), nullptr);
    EXPECT_EQ(tree.FindField("001")->m_subfields, "");
    ASSERT_NE(tree.FindField("245"), nullptr);
    EXPECT_EQ(tree.FindField("245")->m_subfields, "ab");
    EXPECT_EQ(tree.FindField("650"), nullptr);
    EXPECT_EQ(tree.GetFields().front().m_tag, "001");
}

TEST(CRightTreeTest, BadTagsAndSubfieldCodesAreErrors) {
    CError e = ErrorOf<CRightTree>("field tag=\"245\"\nfield tag=\"24\"\n");
    EXPECT_EQ(e.GetLine(), 2);
    EXPECT_NE(e.GetMessage().find("not 3 letters"), std::string::npos);
    e = ErrorOf<CRightTree>("field tag=\"245\" subfields=\"a b\"");
    EXPECT_NE(e.GetMessage().find("subfields"), std::string::npos);
    e = ErrorOf<CRightTree>("field subfields=\"a\"");
    EXPECT_NE(e.GetMessage().find("'tag'"), std::string::npos);
}

TEST(CKeysTreeTest, KeysListTheirFieldsAndSubfields) {
    CKeysTree tree;
    tree.BuildTree(ReadDemoCfg("books", "keys.cfg"));
    const CKeyEntry* title = tree.FindKey("TITLE");
    ASSERT_NE(title, nullptr);
    ASSERT_EQ(title->m_fields.size(), 2u);
    EXPECT_EQ(title->m_fields[0].m_tag, "245");
    EXPECT_EQ(title->m_fields[0].m_subfields, "ab");
    const CKeyEntry* localno = tree.FindKey("localno");
    ASSERT_NE(localno, nullptr);
    EXPECT_EQ(localno->m_fields[0].m_subfields, "");
    CKeysTree unimarc;
    unimarc.BuildTree(ReadDemoCfg("unimarc", "keys.cfg"));
    EXPECT_EQ(unimarc.FindKey("author")->m_fields.size(), 3u);
    const CKeyEntry* date = tree.FindKey("date");
    ASSERT_NE(date, nullptr);
    EXPECT_EQ(date->m_type, CKeyType::kNumeric);
    EXPECT_EQ(date->m_fields[0].m_tag, "008");
    EXPECT_EQ(date->m_fields[0].m_from, 7);
    EXPECT_EQ(date->m_fields[0].m_to, 10);
    EXPECT_EQ(unimarc.FindKey("date")->m_fields[0].m_subfields, "a");
    EXPECT_EQ(tree.FindKey("isbn")->m_type, CKeyType::kIsbn);
}

TEST(CKeysTreeTest, MalformedKeysAreErrors) {
    EXPECT_NE(ErrorOf<CKeysTree>("key name=\"a\" fields=\"24\"").GetMessage().find("not a tag"), std::string::npos);
    EXPECT_NE(ErrorOf<CKeysTree>("key name=\"a\" fields=\"  \"").GetMessage().find("no field"), std::string::npos);
    EXPECT_NE(ErrorOf<CKeysTree>("key name=\"a/b\" fields=\"245a\"").GetMessage().find("'/'"), std::string::npos);
    EXPECT_NE(ErrorOf<CKeysTree>("key fields=\"245a\"").GetMessage().find("'name'"), std::string::npos);
    for (const char* fields : {"008/11-07", "008/", "008/7-", "245a/1x"})
        EXPECT_NE(ErrorOf<CKeysTree>("key name=\"a\" fields=\"" + std::string(fields) + "\"").GetMessage().find("not a tag"),
                  std::string::npos) << fields;
    EXPECT_NE(ErrorOf<CKeysTree>("key name=\"a\" fields=\"245a\" type=\"date\"").GetMessage().find("numeric"),
              std::string::npos);
}
