// SRU's own pieces without a server: the HTTP request reader and its limits, CQL and PQF mapped to
// the type-1 tree, the index map's syntax, the Dublin Core crosswalk's escaping and the kept result
// sets' bounds.
#include <gtest/gtest.h>

#include "backend/marc/cvtdiriv.h"
#include "backend/marc/marcrecord.h"
#include "server/sru/cqlquery.h"
#include "server/sru/httprequest.h"
#include "server/sru/marcdc.h"
#include "server/sru/sruresultsets.h"

namespace {

// "GET /x" with the body, or "error 431", or "more".
std::string Read(const std::string& octets, size_t step = 0) {
    CHttpLimits limits;
    limits.m_requestLine = 64;
    limits.m_headers = 128;
    limits.m_fields = 4;
    limits.m_body = 16;
    CHttpRequestReader reader(limits);
    CHttpReadState state = CHttpReadState::kNeedMore;
    for (size_t at = 0; at < octets.size() && state == CHttpReadState::kNeedMore;) {
        const size_t n = step == 0 ? octets.size() : std::min(step, octets.size() - at);
        state = reader.Feed(octets.data() + at, n);
        at += n;
    }
    if (state == CHttpReadState::kError)
        return "error " + std::to_string(reader.ErrorStatus());
    if (state == CHttpReadState::kNeedMore)
        return "more";
    std::string out;
    for (;;) {
        const CHttpRequest r = reader.Take();
        out += r.m_method + " " + r.m_target + (r.m_body.empty() ? "" : " [" + r.m_body + "]") +
               (r.KeepAlive() ? "" : " close");
        if (reader.Next() != CHttpReadState::kComplete)
            return out;
        out += "; ";
    }
}

TEST(HttpRequestReader, ReadsRequestsAndRefusesWhatBreaksItsLimits) {
    const std::string longLine = "GET /" + std::string(70, 'a') + " HTTP/1.1\r\n\r\n";
    const std::string bigHeader = "GET / HTTP/1.1\r\nX: " + std::string(130, 'b') + "\r\n\r\n";
    const struct {
        std::string octets;
        std::string expected;
    } cases[] = {
        {"GET /books?query=a HTTP/1.1\r\nHost: h\r\n\r\n", "GET /books?query=a"},
        {"GET /books HTTP/1.1\nHost: h\n\n", "GET /books"},  // bare LF line ends
        {"GET / HTTP/1.0\r\n\r\n", "GET / close"},
        {"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", "GET /"},
        {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n", "GET / close"},
        {"POST /b HTTP/1.1\r\nContent-Length: 5\r\n\r\nq=abc", "POST /b [q=abc]"},
        {"POST /b HTTP/1.1\r\nContent-Length: 5\r\n\r\nq=a", "more"},
        {"GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n", "GET /a; GET /b"},  // pipelined
        {"GET /a HTTP/1.1\r\n", "more"},
        {longLine, "error 414"},
        {std::string(80, 'G'), "error 414"},  // no line end within the limit
        {bigHeader, "error 431"},
        {"GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\nE: 5\r\n\r\n", "error 431"},
        {"POST / HTTP/1.1\r\nContent-Length: 17\r\n\r\n", "error 413"},
        {"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", "error 400"},
        {"POST / HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n", "error 400"},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "error 501"},
        {"GET / HTTP/2.0\r\n\r\n", "error 505"},
        {"GET /\r\n\r\n", "error 400"},
        {"GET  / HTTP/1.1\r\n\r\n", "error 400"},
        {"GET / HTTP/1.1\r\n folded: x\r\n\r\n", "error 400"},
        {"GET / HTTP/1.1\r\nNoColon\r\n\r\n", "error 400"},
        {"G(T / HTTP/1.1\r\n\r\n", "error 400"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Read(c.octets), c.expected) << c.octets;
        if (c.expected.find(';') == std::string::npos)  // one request is all Read feeds in steps
            EXPECT_EQ(Read(c.octets, 1), c.expected) << "octet by octet: " << c.octets;
    }
}

TEST(HttpRequestReader, TellsHttpFromBerByTheFirstOctet) {
    const unsigned char get[] = "GET";
    const unsigned char init[] = {0xB4, 0x03};
    EXPECT_TRUE(LooksLikeHttp(get, 3));
    EXPECT_FALSE(LooksLikeHttp(init, 2));
    EXPECT_FALSE(LooksLikeHttp(get, 0));
}

// The tree as text: "(and A B)", "1=4,2=3:term", or "diag N details".
std::string Text(const CZQueryNode* node) {
    if (node->m_kind == CZQueryKind::kOperator) {
        const char* ops[] = {"and", "or", "not", "prox"};
        return std::string("(") + ops[node->m_operator] + " " + Text(node->m_left.get()) + " " +
               Text(node->m_right.get()) + ")";
    }
    if (node->m_kind == CZQueryKind::kResultSet)
        return "set:" + node->m_text;
    if (node->m_kind != CZQueryKind::kTerm)
        return "error " + node->m_text;
    std::string out;
    for (const CZAttribute& a : node->m_operand.m_attributes)
        out += (out.empty() ? "" : ",") + std::to_string(a.m_type) + "=" + std::to_string(a.m_value);
    return out + ":" + node->m_operand.m_term;
}

std::string Cql(const std::string& cql) {
    CSruDiagnostic error;
    const auto tree = CqlToQuery(cql, CCqlIndexMap::Default(), error);
    return tree ? Text(tree.get()) : "diag " + std::to_string(error.m_code) + " " + error.m_details;
}

TEST(CqlToQuery, MapsClausesBooleansAndMaskingOrNamesTheDiagnostic) {
    const struct {
        const char* cql;
        const char* expected;
    } cases[] = {
        {"history", "1=1016,2=3:history"},
        {"dc.title = history", "1=4,2=3:history"},
        {"TITLE=History", "1=4,2=3:History"},
        {"title = \"world history\"", "1=4,2=3:world history"},
        {"title adj \"world history\"", "1=4,2=3:world history"},
        {"title == \"world history\"", "1=4,2=3:world history"},
        {"world history", "(and 1=1016,2=3:world 1=1016,2=3:history)"},  // juxtaposed terms
        {"title all \"world history\"", "(and 1=4,2=3:world 1=4,2=3:history)"},
        {"title any \"world history\"", "(or 1=4,2=3:world 1=4,2=3:history)"},
        {"title = hist*", "1=4,2=3,5=1:hist"},
        {"title = \"a\\*\"", "1=4,2=3:a"},
        {"a and (b or author = c)", "(and 1=1016,2=3:a (or 1=1016,2=3:b 1=1003,2=3:c))"},
        {"a not b", "(not 1=1016,2=3:a 1=1016,2=3:b)"},
        {"bath.isbn = 9780", "1=7,2=3:9780"},
        {"rec.id = 0001006", "1=12,2=3:0001006"},
        {"cql.resultSetId = \"a1b2\"", "set:a1b2"},
        {"cql.resultsetid == a1b2 and title = x", "(and set:a1b2 1=4,2=3:x)"},
        {"cql.resultSetId < a1b2", "diag 19 <"},
        {"title = h*st", "diag 28 h*st"},
        {"title = h?st", "diag 28 h?st"},
        {"title = *", "diag 28 *"},
        {"title = ^history", "diag 31 ^history"},
        {"title = \"\"", "diag 27 "},
        {"date < 1990", "1=30,2=1:1990"},
        {"date >= 1990", "1=30,2=4:1990"},
        {"title <> x", "1=4,2=6:x"},
        {"title =/stem x", "diag 20 ="},
        {"nosuch.index = x", "diag 16 nosuch.index"},
        {"a prox b", "diag 39 prox"},
        {"a and/rel.combine=sum b", "diag 46 and"},
        {"a sortby title", "diag 80 title"},
        {"title =", "diag 10 title ="},
        {"(a", "diag 10 (a"},
        {"", "diag 10 "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Cql(c.cql), c.expected) << c.cql;
}

TEST(CqlToQuery, BoundsLengthAndNesting) {
    EXPECT_EQ(Cql(std::string(kCqlMaxDepth + 1, '(') + "a" + std::string(kCqlMaxDepth + 1, ')')).substr(0, 7), "diag 38");
    std::string chain = "a";
    for (int i = 0; i < kCqlMaxDepth + 2; ++i)
        chain += " and a";
    EXPECT_EQ(Cql(chain).substr(0, 7), "diag 38");
    EXPECT_EQ(Cql(std::string(kCqlMaxQueryBytes + 1, 'a')).substr(0, 7), "diag 11");
    std::string words;  // found by the fuzz target: a long word list nested without bound
    for (int i = 0; i < kCqlMaxDepth + 2; ++i)
        words += " w";
    EXPECT_EQ(Cql("title all \"" + words + "\"").substr(0, 7), "diag 38");
    EXPECT_EQ(Cql("a and" + words).substr(0, 7), "diag 38");
    EXPECT_EQ(Cql(std::string(kCqlMaxDepth - 2, '(') + "a" + std::string(kCqlMaxDepth - 2, ')')), "1=1016,2=3:a");
}

TEST(PqfToQuery, GoesThroughTheTypeOneDecoder) {
    CSruDiagnostic error;
    auto tree = PqfToQuery("@and @attr 1=4 world @attr 5=1 hist", error);
    ASSERT_TRUE(tree);
    EXPECT_EQ(Text(tree.get()), "(and 1=4:world 5=1:hist)");
    EXPECT_FALSE(PqfToQuery("@and a", error));
    EXPECT_EQ(error.m_code, kSruQuerySyntax);
}

TEST(CqlIndexMap, ParsesPropertiesAndNamesTheBadLine) {
    CCqlIndexMap map;
    std::string error;
    ASSERT_TRUE(map.Parse("# comment\nindex.dc.title = 1=4\n\nindex.local.shelf = 1=20 4=1  # trailing\n", error));
    ASSERT_NE(map.Find("DC.Title"), nullptr);
    EXPECT_EQ(*map.Find("local.shelf"), (std::vector<CZAttribute>{{1, 20}, {4, 1}}));
    EXPECT_EQ(map.Find("title"), nullptr);
    for (const char* bad : {"index.x = 1=", "index.x = a=4", "index. = 1=4", "title = 1=4", "index.x 1=4",
                            "index.x = 7=1", "index.x ="}) {
        EXPECT_FALSE(map.Parse(std::string("index.ok = 1=4\n") + bad + "\n", error)) << bad;
        EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    }
}

// A set of `rows` rows of one database.
std::unique_ptr<CZResultSet> Rows(int rows) {
    auto set = std::make_unique<CZResultSet>();
    set->Create(nullptr);
    for (int64_t i = 1; i <= rows; ++i)
        set->Add("books", i);
    set->EnsureIndexed();
    return set;
}

TEST(SruResultSets, KeepsSetsForTheirAccountUntilIdleAndWithinTheBound) {
    auto now = std::chrono::steady_clock::time_point();
    CSruResultSets kept([&] { return now; });
    // "rows/idle" of the set, or "none".
    auto use = [&](const std::string& id, const std::string& account, int seconds = 0) {
        std::string out = "none";
        kept.Use(id, account, seconds, [&](CZResultSet& set, int idle) {
            out = std::to_string(set.GetRowCount()) + "/" + std::to_string(idle);
        });
        return out;
    };
    const std::string a = kept.Keep(Rows(3), "public", 10, 2);
    const std::string b = kept.Keep(Rows(5), "demo", 20, 2);
    ASSERT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
    EXPECT_EQ(kept.Keep(Rows(1), "public", 10, 0), "") << "capacity 0 keeps nothing";
    EXPECT_EQ(kept.Keep(nullptr, "public", 10, 2), "");
    now += std::chrono::seconds(9);
    const struct {
        std::string id, account, expected;
        int seconds;
    } steps[] = {
        {a, "public", "3/10", 0},  // used at 9 s: idle again from now, until 19 s
        {a, "demo", "none", 0},    // another account's set
        {"nosuch", "public", "none", 0},
        {b, "demo", "5/30", 30},   // a new time replaces the set's
    };
    for (const auto& s : steps)
        EXPECT_EQ(use(s.id, s.account, s.seconds), s.expected) << s.id << " " << s.account;
    now += std::chrono::seconds(9);  // 18 s: a was used 9 s ago
    EXPECT_EQ(use(a, "public"), "3/10");
    now += std::chrono::seconds(11);  // 29 s: a idle for 11 s
    kept.Purge();
    EXPECT_EQ(kept.Size(), 1u);
    EXPECT_EQ(use(a, "public"), "none");
    // Full: the set nearest its end (b, until 39 s) goes for the new one.
    const std::string c = kept.Keep(Rows(2), "public", 100, 2);
    const std::string d = kept.Keep(Rows(4), "public", 100, 2);
    EXPECT_EQ(kept.Size(), 2u);
    EXPECT_EQ(use(b, "demo"), "none");
    EXPECT_EQ(use(c, "public") + " " + use(d, "public"), "2/100 4/100");
}

TEST(MarcToDublinCore, EscapesStoreTextAndFollowsTheFormat) {
    CMARC record;
    std::string error;
    ASSERT_GT(record.Parse(std::string("00000nam  2200000   4500") + "001" + "1\x1E" + "\x1D", error), 0) << error;
    record.InsertField(CMARCItem::MakeDataField("245", '1', '0', {{'a', "Tom & Jerry <b> /"}, {'c', "x"}}));
    record.InsertField(CMARCItem::MakeDataField("200", '1', ' ', {{'a', "中国"}}));
    std::string diriv;
    record.BuildMARC(diriv);
    CByteArray iso;
    ASSERT_GT(CvtDirivToISO2709(diriv, iso, 0, error, CMarcFormat::kMarc21), 0) << error;
    std::string xml;
    ASSERT_TRUE(MarcToDublinCore(iso, CMarcFormat::kMarc21, xml, error)) << error;
    EXPECT_NE(xml.find("<dc:title>Tom &amp; Jerry &lt;b&gt;</dc:title>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("中国"), std::string::npos) << "200 is no MARC 21 title";
    ASSERT_TRUE(MarcToDublinCore(iso, CMarcFormat::kUnimarc, xml, error)) << error;
    EXPECT_NE(xml.find("<dc:title>中国</dc:title>"), std::string::npos) << xml;
    EXPECT_FALSE(MarcToDublinCore(CByteArray{'1', '2'}, CMarcFormat::kMarc21, xml, error));
}

}  // namespace
