// Decoding of a type-1 query's RPNStructure into the CZQuery value tree.
#include "bernode_query.h"

#include <utility>

#include "bernode_apdu.h"
#include "bernode_decoders.h"
#include "bernode_values.h"
#include "bernode_z3950.h"

namespace {

std::unique_ptr<CZQueryNode> Error(const char* reason) {
    auto node = std::make_unique<CZQueryNode>();
    node->m_kind = CZQueryKind::kError;
    node->m_text = reason;
    return node;
}

// The attribute elements and the bib-1 values by type (use: the first; others: the last).
void ReadAttributes(CBERNode* apt, CZQueryTerm& operand) {
    std::vector<std::pair<long, long>> pairs;
    DecodeAttributeList(apt, pairs);
    for (const auto& [type, value] : pairs) {
        operand.m_attributes.push_back({type, value});
        if (type < kBib1Use || type > kBib1Completeness)
            continue;
        if (type != kBib1Use || operand.m_bib1[kBib1Use] == -1)
            operand.m_bib1[static_cast<size_t>(type)] = value;
    }
}

std::unique_ptr<CZQueryNode> DecodeTermOperand(CBERNode* apt, bool utf8, CZQueryReading reading) {
    auto node = std::make_unique<CZQueryNode>();
    node->m_kind = CZQueryKind::kTerm;
    CZQueryTerm& operand = node->m_operand;
    ReadAttributes(apt, operand);
    if (reading == CZQueryReading::kLenient) {
        // A term without attributes (yaz-client's plain `find computer`) is fine here.
        if (!DecodeGeneralTerm(apt, operand.m_term, utf8))
            return Error("only support general Term");
        return node;
    }
    long type = -1;
    long use = -1;
    if (const char* error = ReadAttributeAndTerm(apt, type, use, operand.m_term, utf8))
        return Error(error);
    operand.m_bib1[kBib1Use] = use;
    return node;
}

std::unique_ptr<CZQueryNode> DecodeOperand(CBERNode* operand, bool utf8, CZQueryReading reading) {
    if (operand == nullptr)
        return Error("bad RPN structure");
    if (operand->m_uTag == kZTagAttributesPlusTerm)
        return DecodeTermOperand(operand, utf8, reading);
    if (operand->m_uTag != kZTagResultSetId)
        return Error("Unsurported RPN structure");
    auto node = std::make_unique<CZQueryNode>();
    node->m_kind = CZQueryKind::kResultSet;
    DecodeGeneralString(operand->m_baContent, node->m_text, utf8);
    return node;
}

std::unique_ptr<CZQueryNode> DecodeStructure(CBERNode* rpn, bool utf8, CZQueryReading reading, int depth) {
    if (rpn == nullptr || depth > kRPNMaxDepth)
        return Error("bad RPN structure");
    if (rpn->m_uTag == kZTagOperand)
        return DecodeOperand(rpn->m_arrChildren.empty() ? nullptr : rpn->m_arrChildren[0], utf8, reading);
    if (rpn->m_uTag != kZTagOperatorNode || rpn->m_arrChildren.size() != 3)
        return Error("bad RPN structure");
    auto node = std::make_unique<CZQueryNode>();
    node->m_kind = CZQueryKind::kOperator;
    node->m_left = DecodeStructure(rpn->m_arrChildren[0], utf8, reading, depth + 1);
    node->m_right = DecodeStructure(rpn->m_arrChildren[1], utf8, reading, depth + 1);
    node->m_operator = DecodeRPNOperator(rpn->m_arrChildren[2]);
    if (node->m_operator < kZOpAnd || node->m_operator > kZOpProx)
        node->m_operator = kZOpUnknown;
    return node;
}

}  // namespace

std::unique_ptr<CZQueryNode> DecodeQuery(CBERNode* rpn, bool utf8, CZQueryReading reading) {
    if (rpn == nullptr)
        return nullptr;
    return DecodeStructure(rpn, utf8, reading, 0);
}

void ForEachQueryTerm(CZQueryNode* node, const std::function<void(CZQueryTerm&)>& edit) {
    if (node == nullptr)
        return;
    if (node->m_kind == CZQueryKind::kTerm)
        edit(node->m_operand);
    ForEachQueryTerm(node->m_left.get(), edit);
    ForEachQueryTerm(node->m_right.get(), edit);
}
