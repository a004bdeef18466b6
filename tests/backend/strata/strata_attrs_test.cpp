// Search qualifiers through the channel on both engines (db/KEY|T=V/TERM): left and both-sided
// truncation, "#" and "?" masks, anchored and whole-value matches, word lists, number ranges on a
// numeric key, relations in index-term order on a text key, and standard numbers (ISBN in either length, LCCN). The expected hits are read off
// the five records below by hand.
#include "strata_fixture.h"

namespace {

// A record with a title (245a), a year in 008/07-10, an ISBN (020a) and an LCCN (010a).
std::string Book(int number, const std::string& title, const std::string& year, const std::string& isbn,
                 const std::string& lccn) {
    std::string d = "00000nam  2200000   4500";
    d += "001" + SevenDigitText(number) + "\x1e";
    d += "008" "240101s" + year + "xxu           000 0 eng d\x1e";
    d += "010" "  \x1f" "a" + lccn + "\x1e";
    d += "020" "  \x1f" "a" + isbn + "\x1e";
    d += "245" "10\x1f" "a" + title + "\x1e";
    d += "\x1d";
    return d;
}

class StrataAttrsTest : public StrataStoreTest {
protected:
    void SetUp() override {
        StrataStoreTest::SetUp();
        std::string error;
        ASSERT_EQ(m_admin->PutCfgFile("books", "keys.cfg",
                                      "key name=\"title\" fields=\"245a\"\n"
                                      "key name=\"date\" fields=\"008/07-10\" type=\"numeric\"\n"
                                      "key name=\"isbn\" fields=\"020a\" type=\"isbn\"\n"
                                      "key name=\"lccn\" fields=\"010a\" type=\"lccn\"\n",
                                      error),
                  0)
            << error;
        Load({Book(1, "The Art of Computer Programming", "1968", "0-201-89683-4 (v. 1)", "67026020"),
              Book(2, "Programming Pearls", "1986", "9780201657883", "85-12345"),
              Book(3, "Computer Networks", "1981", "x", "   80012345 "),
              Book(4, "Computational Geometry", "1997", "x", "97012345"),
              Book(5, "Networks of Computers and Computation", "2001", "x", "n  2001012345")});
        Open(m_c);
    }
    CConnect m_c;
};

using V = std::vector<std::string>;

TEST_P(StrataAttrsTest, QualifiedTermsFindTheirRecords) {
    const struct {
        const char* path;
        V hits;
    } rows[] = {
        {"title|5=2/puter", {"0000001", "0000003"}},
        {"title|5=2/PUTERS", {"0000005"}},
        {"title|5=3/omput", {"0000001", "0000003", "0000004", "0000005"}},
        {"title|5=3/etwork", {"0000003", "0000005"}},
        {"title|5=2/art of computer", {"0000001"}},
        {"title|5=101/comput#ion", {"0000005"}},
        {"title|5=101/#works", {"0000003", "0000005"}},
        {"title|5=101/c#t#r", {"0000001", "0000003"}},
        {"title|5=104/comput#r", {"0000001", "0000003"}},
        {"title|5=104/comput?1rs", {"0000005"}},
        {"title|5=104/comput?", {"0000001", "0000003", "0000004", "0000005"}},
        {"title|5=104/p#arls", {"0000002"}},
        {"title|5=100/comput*", {}},
        {"title/comput*", {"0000001", "0000003", "0000004", "0000005"}},
        {"title|3=1/the art", {"0000001"}},
        {"title|3=1/art", {}},
        {"title|6=3/programming pearls", {"0000002"}},
        {"title|6=3/programming", {}},
        {"title|4=6/programming art", {"0000001"}},
        {"title/programming art", {}},
        {"title|4=105/pearls geometry", {"0000002", "0000004"}},
        {"date|2=4/1986", {"0000002", "0000004", "0000005"}},
        {"date|2=5/1997", {"0000005"}},
        {"date|2=1/1981", {"0000001"}},
        {"date|2=2/1981", {"0000001", "0000003"}},
        {"date/1986", {"0000002"}},
        {"title|2=1/art", {"0000005"}},  // text keys: index-term order ("and")
        {"title|2=2/ART", {"0000001", "0000005"}},
        {"title|2=5/programming", {"0000001"}},
        {"title|2=4/pearls", {"0000001", "0000002"}},
        {"isbn/9780201896831", {"0000001"}},
        {"isbn/978-0-201-89683-1", {"0000001"}},
        {"isbn/0201896834", {"0000001"}},
        {"isbn/0-201-65788-0", {"0000002"}},
        {"isbn/9780201657883", {"0000002"}},
        {"lccn/85012345", {"0000002"}},
        {"lccn/85-12345", {"0000002"}},
        {"lccn/80012345", {"0000003"}},
        {"lccn/n2001012345", {"0000005"}},
    };
    for (const auto& row : rows) EXPECT_EQ(AllHits(m_c, std::string("books/") + row.path), row.hits) << row.path;
}

TEST_P(StrataAttrsTest, QualifiersAKeyCannotHonourAreRefusedByName) {
    const struct {
        const char* path;
        int code;
        const char* text;  // what the error text names
    } rows[] = {
        {"title|5=102/x", kStrataUnsupportedMode, "5=102"},
        {"title|7=1/x", kStrataUnsupportedMode, "7=1"},
        {"date|2=4/none", kStrataBadTerm, "no number"},
    };
    for (const auto& row : rows) {
        CPackage pkg;
        EXPECT_EQ(Search(m_c, std::string("books/") + row.path, 5, pkg), -1) << row.path;
        int code = 0;
        std::string text;
        m_c.GetLastError(code, text);
        EXPECT_EQ(code, row.code) << row.path;
        EXPECT_NE(text.find(row.text), std::string::npos) << row.path << ": " << text;
    }
}

STRATA_ENGINE_TESTS(StrataAttrsTest);

}  // namespace
