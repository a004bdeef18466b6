// CTunnel RPN evaluation: operands become back-end searches or copies of stored result sets,
// operator nodes merge their two sorted sub-results (and, or, and-not). Recursion is bounded.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "berkit/bernode_apdu.h"
#include "berkit/bernode_decoders.h"
#include "berkit/bernode_values.h"
#include "berkit/bertrace.h"
#include "berkit/codepage.h"
#include "server/dbarray.h"
#include "server/tunnel.h"
#include "server/tunnel_sets.h"
#include "server/zrecordset.h"

namespace {

enum : int { RPN_AND = 0, RPN_OR = 1, RPN_AND_NOT = 2 };

// bib-1 attribute types and the truncation values the diagnostics mode reads.
constexpr long kAttributeUse = 1;
constexpr long kAttributeTruncation = 5;
constexpr long kTruncationRight = 1;
constexpr long kTruncationNone = 100;
// The back-end's right truncation: a term ending in it matches every word it starts.
constexpr const char* kStrataTruncation = "*";

// A temporary result set with an empty data file; throws when the store cannot make one.
std::unique_ptr<CZResultSet> NewTemporarySet() {
    auto set = std::make_unique<CZResultSet>();
    if (set->Create(nullptr) != 0)
        THROW_EXTENDED(0, "temporary resultset failed: " + set->GetLastError());
    return set;
}

}  // namespace

int SortResultSet(CZResultSet& set) {
    if (set.GetRowCount() == 0)
        return 0;
    if (set.IsAppendedAscending())
        return set.SortAppended();
    if (set.EnsureIndexed() != 0)
        return set.Sort(0);
    // Strictly ascending index order over the data file's own order means sorted and unique.
    const int64_t rows = set.GetRowCount();
    int64_t previous = set.GetRowPtr(0);
    for (int64_t i = 1; i < rows; ++i) {
        const int64_t current = set.GetRowPtr(i);
        if (current <= previous || set.CompareRow(previous, current) >= 0)
            return set.Sort(0);
        previous = current;
    }
    return 0;
}

bool CTunnel::FindAndCopyExistResultSet(const std::string& name, CZResultSet* target) {
    if (target == nullptr)
        return false;
    for (CZResultSet* set : m_resultSets) {
        if (set == nullptr || !DBNameEquals(set->m_name, name))
            continue;
        // A union with an empty set writes every row of the stored set into the target.
        CZResultSet empty;
        if (empty.Create(nullptr) != 0 || empty.Or(*set, *target) != 0)
            THROW_EXTENDED(0, "copy of resultset failed");
        return true;
    }
    return false;
}

std::string CTunnel::ClientTermToAnsi(const std::string& term) const {
    if (m_utf8) return term;  // already converted from the negotiated UTF-8
    CQueryCharset charset = CQueryCharset::kAnsi;
    ParseQueryCharset(Settings().m_queryCharset, charset);
    return QueryTermToAnsi(term, charset);
}

void CTunnel::SearchOperand(CBERNode* operand, CZResultSet* target) {
    if (operand == nullptr)
        THROW_EXTENDED(0, "bad RPN structure");
    if (operand->m_uTag == kZTagAttributesPlusTerm) {
        long type = -1;
        long value = -1;
        std::string term;
        if (!Bib1Diagnostics()) {
            DecodeAttributeAndTerm(operand, type, value, term, m_utf8);
            SearchDBMulti(target, static_cast<int>(value), ClientTermToAnsi(term));
            return;
        }
        // A term without attributes (yaz-client's plain `find computer`) is fine here.
        if (!DecodeGeneralTerm(operand, term, m_utf8))
            THROW_EXTENDED(0, "only support general Term");
        term = ClientTermToAnsi(term);
        const int use = ApplyBib1Attributes(operand, term);
        SearchDBMulti(target, use, term);
    } else if (operand->m_uTag == kZTagResultSetId) {
        std::string name;
        DecodeGeneralString(operand->m_baContent, name, m_utf8);
        if (!FindAndCopyExistResultSet(name, target))
            THROW_EXTENDED(0, "referred resultset not exist");
    } else {
        THROW_EXTENDED(0, "Unsurported RPN structure");
    }
}

int CTunnel::ApplyBib1Attributes(CBERNode* operand, std::string& term) {
    std::vector<std::pair<long, long>> attributes;
    DecodeAttributeList(operand, attributes);
    long use = -1;
    long truncation = kTruncationNone;
    for (const auto& [type, value] : attributes) {
        if (type == kAttributeUse && use == -1)
            use = value;
        else if (type == kAttributeTruncation)
            truncation = value;
    }
    if (truncation == kTruncationRight) {
        if (!term.empty() && term.back() != kStrataTruncation[0] && term.back() != '?')
            term += kStrataTruncation;
    } else if (truncation != kTruncationNone) {
        SetDiagnostic(kDiagUnsupportedTruncation, std::to_string(truncation));
        THROW_EXTENDED(0, "unsupported truncation attribute");
    }
    return use == -1 ? Settings().m_defaultUseAttribute : static_cast<int>(use);
}

int CTunnel::SearchDB(CBERNode* node, CZResultSet* target, int depth) {
    if (m_bStop.load())
        THROW_EXTENDED(0, "search stopped");
    if (node == nullptr || target == nullptr || depth > kRPNMaxDepth)
        THROW_EXTENDED(0, "bad RPN structure");

    if (node->m_uTag == kZTagOperand) {
        SearchOperand(node->m_arrChildren.empty() ? nullptr : node->m_arrChildren[0], target);
        return 0;
    }

    if (node->m_uTag != kZTagOperatorNode || node->m_arrChildren.size() != 3)
        THROW_EXTENDED(0, "bad RPN structure");

    // The temporary sets (and their files) go when this node is done, also on an exception.
    std::unique_ptr<CZResultSet> left = NewTemporarySet();
    std::unique_ptr<CZResultSet> right = NewTemporarySet();
    SearchDB(node->m_arrChildren[0], left.get(), depth + 1);
    SearchDB(node->m_arrChildren[1], right.get(), depth + 1);
    const int op = DecodeRPNOperator(node->m_arrChildren[2]);

    BerTrace("left=[%d], right=[%d] before sort\n", static_cast<int>(left->GetRowCount()),
             static_cast<int>(right->GetRowCount()));
    SortResultSet(*left);
    SortResultSet(*right);
    BerTrace("left=[%d], right=[%d] after sort\n", static_cast<int>(left->GetRowCount()),
             static_cast<int>(right->GetRowCount()));
    if (m_bStop.load())
        THROW_EXTENDED(0, "search stopped");

    switch (op) {
    case RPN_AND:
        left->And(*right, *target);
        BerTrace("left and right=[%d]\n", static_cast<int>(target->GetRowCount()));
        break;
    case RPN_OR:
        left->Or(*right, *target);
        BerTrace("left or right=[%d]\n", static_cast<int>(target->GetRowCount()));
        break;
    case RPN_AND_NOT:
        left->AndNot(*right, *target);
        BerTrace("left andnot right=[%d]\n", static_cast<int>(target->GetRowCount()));
        break;
    default:
        THROW_EXTENDED(0, "unsurported operator");
    }
    return 0;
}
