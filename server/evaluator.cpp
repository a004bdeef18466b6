// CQueryEvaluator: the walk of a query tree: operators merge their two sorted sub-results,
// operands search the back-end or copy a stored set. Nesting was bounded when the tree was decoded.

#include "server/evaluator.h"

#include "berkit/bertrace.h"
#include "berkit/extended_exception.h"
#include "server/resultsets.h"


CSearchOutcome CQueryEvaluator::Search(const CZQueryNode* query) {
    CSearchOutcome outcome;
    auto set = std::make_unique<CZResultSet>();
    if (set->Create(nullptr) != 0) {
        outcome.m_error = CDiagnostic::System(" 'new' resultset failed, inner error or illegal db");
        return outcome;
    }
    outcome.m_error = Evaluate(query, *set);
    if (!outcome.m_error) {
        SortResultSet(*set);
        set->EnsureIndexed();
        outcome.m_set = std::move(set);
    }
    return outcome;
}

CDiagnostic CQueryEvaluator::Evaluate(const CZQueryNode* query, CZResultSet& target) {
    m_lastBackendError.clear();
    m_lastBackendCode = 0;
    try {
        if (query == nullptr)
            return m_context.Stopping() ? CDiagnostic::System("search stopped") : CDiagnostic::System("bad RPN structure");
        return Node(*query, target);
    } catch (extended_exception& e) {
        return CDiagnostic::System(e.m_strMessage);
    } catch (std::exception& e) {
        return {kDiagTemporarySystemError, m_lastBackendError.empty() ? "search failed" : m_lastBackendError,
                std::string("search db error: ") + e.what()};
    }
}

CDiagnostic CQueryEvaluator::Node(const CZQueryNode& node, CZResultSet& target) {
    if (m_context.Stopping())
        return CDiagnostic::System("search stopped");
    switch (node.m_kind) {
    case CZQueryKind::kTerm:
        return Operand(node.m_operand, target);
    case CZQueryKind::kResultSet:
        if (m_context.m_sets == nullptr)
            return CDiagnostic::System("referred resultset not exist");
        return m_context.m_sets->CopyInto(node.m_text, target);
    case CZQueryKind::kOperator:
        return Operator(node, target);
    case CZQueryKind::kError:
        break;
    }
    return CDiagnostic::System(node.m_text);
}

CDiagnostic CQueryEvaluator::Operator(const CZQueryNode& node, CZResultSet& target) {
    // The temporary sets (and their files) go when this node is done, whatever the outcome.
    auto leftSet = std::make_unique<CZResultSet>();
    if (leftSet->Create(nullptr) != 0)
        return CDiagnostic::System("temporary resultset failed: " + leftSet->GetLastError());
    auto rightSet = std::make_unique<CZResultSet>();
    if (rightSet->Create(nullptr) != 0)
        return CDiagnostic::System("temporary resultset failed: " + rightSet->GetLastError());
    CZResultSet& left = *leftSet;
    CZResultSet& right = *rightSet;
    if (CDiagnostic error = Node(*node.m_left, left))
        return error;
    if (CDiagnostic error = Node(*node.m_right, right))
        return error;

    BerTrace("left=[%d], right=[%d] before sort\n", static_cast<int>(left.GetRowCount()),
             static_cast<int>(right.GetRowCount()));
    SortResultSet(left);
    SortResultSet(right);
    BerTrace("left=[%d], right=[%d] after sort\n", static_cast<int>(left.GetRowCount()),
             static_cast<int>(right.GetRowCount()));
    if (m_context.Stopping())
        return CDiagnostic::System("search stopped");

    switch (node.m_operator) {
    case kZOpAnd:
        left.And(right, target);
        break;
    case kZOpOr:
        left.Or(right, target);
        break;
    case kZOpAndNot:
        left.AndNot(right, target);
        break;
    default:
        return CDiagnostic::System("unsurported operator");
    }
    BerTrace("left op%d right=[%d]\n", node.m_operator, static_cast<int>(target.GetRowCount()));
    return CDiagnostic::Ok();
}

CDiagnostic CQueryEvaluator::Operand(const CZQueryTerm& operand, CZResultSet& target) {
    int use = static_cast<int>(operand.m_bib1[kBib1Use]);
    if (!m_context.m_bib1)
        return SearchDatabases(target, use, operand.m_term);
    std::string term = operand.m_term;
    std::string qualifiers;
    if (CDiagnostic error = ApplyBib1Attributes(operand, use, term, qualifiers))
        return error;
    return SearchDatabases(target, use, term, qualifiers);
}
