// The search engine without a session: queries decoded by berkit, evaluated against the test
// store through a context of plain values, a channel of the test's own and a result-set store.
#include <gtest/gtest.h>

#include "berkit/bernode_query.h"
#include "server/catalogueview.h"
#include "server/evaluator.h"
#include "server/resultsets.h"
#include "test_search_fixture.h"

namespace searchtest {
namespace {

const std::vector<std::string> kBooks = {"books"};

class EvaluatorTest : public SearchServerTest {
protected:
    CSearchContext Context(std::vector<std::string> databases, bool bib1) {
        m_view.Bind(&m_owner->m_databases, false);
        CSearchContext context;
        context.m_channel.m_pager = &m_pager;
        context.m_channel.m_interface = &m_owner->m_interface;
        context.m_channel.m_user = "demo";
        context.m_channel.m_password = "demo";
        context.m_databases = std::move(databases);
        context.m_catalogue = &m_view;
        context.m_sets = &m_sets;
        context.m_hitLimit = 10000;
        context.m_stop = &m_stop;
        context.m_bib1 = bib1;
        return context;
    }
    // The outcome of `rpn` as "count" or "code:addinfo".
    std::string Evaluate(const CByteArray& rpn, std::vector<std::string> databases, bool bib1) {
        CBERNode root;
        if (DecodeBER(&root, const_cast<unsigned char*>(rpn.data()), static_cast<int>(rpn.size())) <= 0)
            return "undecodable";
        const auto query = DecodeQuery(root.m_arrChildren[0], false, bib1 ? CZQueryReading::kLenient : CZQueryReading::kStrict);
        const CSearchContext context = Context(std::move(databases), bib1);
        CSearchOutcome outcome = CQueryEvaluator(context).Search(query.get());
        if (outcome.m_error)
            return std::to_string(outcome.m_error.m_code) + ":" + outcome.m_error.m_addinfo;
        const std::string count = std::to_string(outcome.m_set->GetRowCount());
        outcome.m_set->m_name = "kept";
        m_sets.Add(std::move(outcome.m_set));
        return count;
    }

    CConnect m_connect;
    std::atomic<bool> m_stop{false};
    CBackendPager m_pager{m_connect, nullptr, &m_stop};
    CCatalogueView m_view;
    CResultSetStore m_sets;
};

TEST_F(EvaluatorTest, QueriesGiveTheirHitsOrTheirDiagnosticWithoutASession) {
    struct Case {
        CByteArray rpn;
        std::vector<std::string> databases;
        bool bib1;
        std::string outcome;
    };
    const Case cases[] = {
        {And(Term(4, "computer"), Term(1003, "knuth")), kBooks, false, "30"},
        {Or(SetRef("KEPT"), Term(4, "cooking")), kBooks, false, "31"},  // the set just stored
        {Or(Term(4, "networks"), Term(4, "cooking")), {"books", "other"}, false, "2"},
        {AndNot(Term(4, "computer"), Term(21, "algorithms")), {"bk"}, false, "40"},
        {Term(4, "astronomy"), kBooks, false, "0"},
        {Term(1003, "foley"), {"other"}, false, "114:1003"},
        {Term(4, "computer"), {"books", "nosuch"}, false, "109:nosuch"},
        {Or(Term(4, "computer"), SetRef("missing")), kBooks, false, "2:referred resultset not exist"},
        {Op(3, Term(4, "computer"), Term(4, "systems")), kBooks, false, "2:unsurported operator"},
        {Operand({{5, 1}}, "computer"), kBooks, false, "114:1"},  // strict: the first value is the use
        {Operand({{1, 4}, {5, 1}}, "comp"), kBooks, true, "60"},
        {Operand({{1, 4}, {5, 102}}, "comp"), kBooks, true, "120:102"},
        {Operand({{1, 4}}, ""), kBooks, true, "2:only support general Term"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.outcome, Evaluate(c.rpn, c.databases, c.bib1)) << c.outcome;
}

TEST_F(EvaluatorTest, AStopFlagEndsTheEvaluationAndKeepsNoTemporarySets) {
    m_stop = true;
    EXPECT_EQ("2:search stopped", Evaluate(Or(Term(4, "computer"), Term(4, "cooking")), kBooks, false));
    EXPECT_EQ(0u, FileCount(m_tmp));
}

}  // namespace
}  // namespace searchtest
