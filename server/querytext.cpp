// PQF text of a decoded RPN query (see querytext.h).
#include "server/querytext.h"

#include <utility>
#include <vector>

#include "berkit/bernode.h"
#include "berkit/bernode_apdu.h"
#include "berkit/bernode_decoders.h"
#include "berkit/bernode_values.h"
#include "berkit/bernode_z3950.h"

namespace {

const char* const kOperators[] = {"@and", "@or", "@not"};

std::string Quoted(const std::string& term) {
    if (!term.empty() && term.find_first_of(" \"\\@") == std::string::npos)
        return term;
    std::string out = "\"";
    for (char c : term) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

void Render(CBERNode* node, bool utf8, int depth, std::string& out);

void RenderOperand(CBERNode* operand, bool utf8, std::string& out) {
    if (operand && operand->m_uTag == kZTagAttributesPlusTerm) {
        std::vector<std::pair<long, long>> attributes;
        DecodeAttributeList(operand, attributes);
        for (const auto& [type, value] : attributes)
            out += "@attr " + std::to_string(type) + "=" + std::to_string(value) + " ";
        std::string term;
        out += DecodeGeneralTerm(operand, term, utf8) ? Quoted(term) : "?";
    } else if (operand && operand->m_uTag == kZTagResultSetId) {
        std::string name;
        DecodeGeneralString(operand->m_baContent, name, utf8);
        out += "@set " + Quoted(name);
    } else {
        out += "?";
    }
}

void Render(CBERNode* node, bool utf8, int depth, std::string& out) {
    if (!node || depth > kRPNMaxDepth) {
        out += "?";
        return;
    }
    if (node->m_uTag == kZTagOperand) {
        RenderOperand(node->m_arrChildren.empty() ? nullptr : node->m_arrChildren[0], utf8, out);
        return;
    }
    if (node->m_uTag != kZTagOperatorNode || node->m_arrChildren.size() != 3) {
        out += "?";
        return;
    }
    const int op = DecodeRPNOperator(node->m_arrChildren[2]);
    out += op >= 0 && op < 3 ? kOperators[op] : "?";
    out += " ";
    Render(node->m_arrChildren[0], utf8, depth + 1, out);
    out += " ";
    Render(node->m_arrChildren[1], utf8, depth + 1, out);
}

}  // namespace

std::string QueryToPqf(CBERNode* rpn, bool utf8) {
    std::string out;
    if (rpn)
        Render(rpn, utf8, 0, out);
    return out;
}
