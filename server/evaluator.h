#pragma once
// CQueryEvaluator: evaluates a type-1 query tree (berkit/bernode_query.h) into a result set:
// each term operand becomes one back-end search per database of the context (the hit lines of
// db path + "/" + key + "/" + term, up to the hit limit), a result-set reference a copy of the
// named set, and each operator the and / or / and-not merge of its two sorted sub-results.
// Errors come back as values: the first one met, in query order, ends the evaluation.
// Thread safety: none; an evaluator and its context belong to one thread.
//
//   CQueryEvaluator evaluator(context);
//   CSearchOutcome outcome = evaluator.Search(query.get());   // outcome.m_set, or outcome.m_error

#include <cstdint>
#include <memory>
#include <string>

#include "berkit/bernode_query.h"
#include "server/diagnostic.h"
#include "server/searchcontext.h"
#include "server/zrecordset.h"

class CDatabaseNode;

struct CSearchOutcome {
    std::unique_ptr<CZResultSet> m_set;  // the sorted hits (null on an error); owned by the caller
    CDiagnostic m_error;
};

class CQueryEvaluator {
public:
    // `context` must outlive the evaluator.
    explicit CQueryEvaluator(const CSearchContext& context) : m_context(context) {}

    // A new sorted set of the query's hits, or the error.
    CSearchOutcome Search(const CZQueryNode* query);
    // The query's hits into `target` (Create'd, empty; left unsorted). "search stopped" when the
    // stop flag is seen between nodes; a null query is "bad RPN structure".
    CDiagnostic Evaluate(const CZQueryNode* query, CZResultSet& target);

    // One back-end search per database of the context for `term` under `use`, into `target`;
    // `qualifiers` ("T=V,..." bib-1 attributes for the back-end) follow the key name after "|".
    // 109 for a database the catalogue does not offer, 114 for a use no key maps; a failed
    // back-end search leaves the operand without hits, except in the bib-1 mode (error 2, or
    // the attribute's diagnostic when the key cannot honour a qualifier).
    CDiagnostic SearchDatabases(CZResultSet& target, int use, const std::string& term,
                                const std::string& qualifiers = std::string());
    // Paged hit list of one search path into `target`, rows named `dbName`. 0 done (also when
    // stopped: the rows read stay, unsorted), 1 hit limit reached, -1 failed (target emptied),
    // abandoned or cancelled.
    int SearchPath(const std::string& dbName, const std::string& path, CZResultSet& target);
    // db path + "/" + key of `use` (+ "|" + qualifiers) + "/" + term. 0, or -1 (no database,
    // unmapped use attribute).
    static int ConstructSearchPath(const CDatabaseNode* db, int use, const std::string& term, std::string& path,
                                   const std::string& qualifiers = std::string());

    // Text of the last failed back-end search ("" when none failed, or the back-end was lost).
    const std::string& LastBackendError() const { return m_lastBackendError; }

private:
    CDiagnostic Node(const CZQueryNode& node, CZResultSet& target);
    CDiagnostic Operator(const CZQueryNode& node, CZResultSet& target);
    CDiagnostic Operand(const CZQueryTerm& operand, CZResultSet& target);
    // Bib-1 mode: the use (the default without one), 5=1 as the back-end's right truncation of
    // `term`, and the other attributes as the back-end's qualifiers; a value this server does not
    // honour gives its diagnostic (113, 117-120, 122, 123; server/evaluator_attrs.cpp).
    CDiagnostic ApplyBib1Attributes(const CZQueryTerm& operand, int& use, std::string& term,
                                    std::string& qualifiers) const;
    // The diagnostic of a qualifier the back-end refused ("T=V ..." in its text).
    static CDiagnostic RefusedQualifier(const std::string& text);

    const CSearchContext& m_context;
    std::string m_lastBackendError;
    int m_lastBackendCode = 0;
};
