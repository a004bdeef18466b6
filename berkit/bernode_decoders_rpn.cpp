// Decoders of type-1 (RPN) queries: the structure root, operators, operands, and the translation
// of a whole query into a text expression.
#include "bernode_decoders.h"
#include "bernode_values.h"
#include "bertrace.h"

namespace {

const char kBib1OID[] = "1.2.840.10003.3.1";

[[noreturn]] void ThrowQueryError(const char* message) { THROW_EXTENDED(0, message); }

CBERNode* Child(CBERNode* node, size_t index) {
    return index < node->m_arrChildren.size() ? node->m_arrChildren[index] : nullptr;
}

// The type [120] and numeric value [121] of one AttributeElement; each stays -1 when absent or
// undecodable.
void ReadAttributeElement(CBERNode* element, long& type, long& value) {
    type = -1;
    value = -1;
    for (CBERNode* child : element->m_arrChildren) {
        if (!child) continue;
        long number = 0;
        if (child->m_uTag == 120 && DecodeInteger(child->m_baContent, number)) type = number;
        else if (child->m_uTag == 121 && DecodeInteger(child->m_baContent, number)) value = number;
    }
}

// Reads an AttributesPlusTerm [102] node: the use attribute (the first element of type 1, or the
// first element when no element has type 1) and the general term. Throws on anything else.
void ReadOperand(CBERNode* apt, long& type, long& value, std::string& term, bool utf8) {
    if (const char* error = ReadAttributeAndTerm(apt, type, value, term, utf8)) ThrowQueryError(error);
}

void TranslateRPN(CBERNode* rpn, std::string& text, int depth);

void TranslateOperand(CBERNode* op, std::string& text) {
    CBERNode* apt = Child(op, 0);
    if (!apt) ThrowQueryError("bad RPN query");
    if (apt->m_uTag != 102) ThrowQueryError("only support Attributes + Term");
    long type = -1;
    long value = -1;
    std::string term;
    ReadOperand(apt, type, value, term, false);
    if (term.find_first_of("_%") == std::string::npos) term = "%" + term + "%";
    text = "(uniname_" + std::to_string(value) + " LIKE " + term + ")";
}

void TranslateRPNOp(CBERNode* rpnOp, std::string& text, int depth) {
    if (rpnOp->m_arrChildren.size() < 3) ThrowQueryError("bad RPN query");
    CBERNode* rpn1 = Child(rpnOp, 0);
    CBERNode* rpn2 = Child(rpnOp, 1);
    CBERNode* op = Child(rpnOp, 2);
    if (!rpn1 || !rpn2) ThrowQueryError("bad RPN query");
    std::string left;
    std::string right;
    TranslateRPN(rpn1, left, depth + 1);
    TranslateRPN(rpn2, right, depth + 1);
    if (!op || op->m_uTag != 46) ThrowQueryError("bad RPN query");
    CBERNode* which = Child(op, 0);
    if (!which) ThrowQueryError("bad RPN query");
    const char* opText = nullptr;
    switch (which->m_uTag) {
        case 0: opText = "AND"; break;
        case 1: opText = "OR"; break;
        case 2: opText = "AND NOT"; break;
        default: ThrowQueryError("unsupported query operator");
    }
    text = "(" + left + " " + opText + " " + right + ")";
}

void TranslateRPN(CBERNode* rpn, std::string& text, int depth) {
    if (!rpn || depth > kRPNMaxDepth) ThrowQueryError("bad RPN query");
    if (rpn->m_uTag == 0) TranslateOperand(rpn, text);
    else if (rpn->m_uTag == 1) TranslateRPNOp(rpn, text, depth);
    else ThrowQueryError("bad RPN query");
}

}  // namespace

const char* ReadAttributeAndTerm(CBERNode* apt, long& type, long& value, std::string& term, bool utf8) {
    CBERNode* attributes = apt ? Child(apt, 0) : nullptr;
    CBERNode* termNode = apt ? Child(apt, 1) : nullptr;
    if (!attributes || !termNode) return "bad RPN query";
    if (attributes->m_uTag != 44) return "only support Attributes";
    if (termNode->m_uTag != 45) return "only support general Term";
    CBERNode* first = Child(attributes, 0);
    if (!first) return "bad RPN query";
    if (first->m_uTag != 16) return "only support Attributes";

    // Clients order attribute elements freely (yaz-client reverses the query text's order), so
    // the use attribute is found by its type, not its position.
    CBERNode* chosen = first;
    for (CBERNode* element : attributes->m_arrChildren) {
        if (!element || element->m_uTag != 16) continue;
        long t = -1;
        long v = -1;
        ReadAttributeElement(element, t, v);
        if (t == 1) {
            chosen = element;
            break;
        }
    }
    long t = -1;
    long v = -1;
    ReadAttributeElement(chosen, t, v);
    if (t != -1) type = t;
    if (v != -1) value = v;
    DecodeGeneralString(termNode->m_baContent, term, utf8);
    if (type == -1 || value == -1 || term.empty()) return "bad RPN query";
    BerTrace("type = %d, value = %d, term = %s\r\n", static_cast<int>(type), static_cast<int>(value),
             term.c_str());
    return nullptr;
}

CBERNode* GetRPNStructureRoot(CBERNode* query) {
    if (!query || query->m_arrChildren.empty()) return nullptr;
    CBERNode* type1 = query->m_arrChildren[0];
    if (!type1 || type1->m_uTag != 1) return nullptr;
    CBERNode* root = nullptr;
    for (CBERNode* child : type1->m_arrChildren) {
        if (!child) continue;
        if (child->m_uTag == 0 || child->m_uTag == 1) {
            root = child;
        } else if (child->m_uTag == 6) {
            std::string oid;
            DecodeOID(child->m_baContent, oid);
            if (oid != kBib1OID) return nullptr;
        }
    }
    return root;
}

int DecodeRPNOperator(CBERNode* op) {
    if (!op || op->m_uTag != 46 || op->m_arrChildren.empty() || !op->m_arrChildren[0]) return -1;
    return static_cast<int>(op->m_arrChildren[0]->m_uTag);
}

int DecodeAttributeAndTerm(CBERNode* node, long& type, long& value, std::string& term, bool utf8) {
    if (!node) return -1;
    ReadOperand(node, type, value, term, utf8);
    return 0;
}

int DecodeAttributeList(CBERNode* apt, std::vector<std::pair<long, long>>& attrs) {
    if (!apt) return -1;
    CBERNode* attributes = nullptr;
    for (CBERNode* child : apt->m_arrChildren)
        if (child && child->m_uTag == 44) {
            attributes = child;
            break;
        }
    if (!attributes) return -1;
    int count = 0;
    for (CBERNode* element : attributes->m_arrChildren) {
        if (!element || element->m_uTag != 16) continue;
        long type = -1;
        long value = -1;
        ReadAttributeElement(element, type, value);
        if (type == -1 || value == -1) continue;
        attrs.emplace_back(type, value);
        ++count;
    }
    return count;
}

bool DecodeRPNStructure(CBERNode* rpn, std::string& text, bool) {
    TranslateRPN(rpn, text, 0);
    return true;
}

int DecodeSearchQuery(CBERNode* query, std::string& text, std::string&) {
    if (!query) return -1;
    if (query->m_arrChildren.empty()) ThrowQueryError("no query item");
    CBERNode* type1 = query->m_arrChildren[0];
    if (!type1 || type1->m_uTag != 1) ThrowQueryError("not type-1 query. unsorpported query type");
    std::string translation;
    std::string attributeSet;
    for (CBERNode* child : type1->m_arrChildren) {
        if (!child) continue;
        if (child->m_uTag == 0 || child->m_uTag == 1) {
            TranslateRPN(child, translation, 0);
        } else if (child->m_uTag == 6) {
            DecodeOID(child->m_baContent, attributeSet);
            if (attributeSet != kBib1OID) ThrowQueryError("support bib-1 only");
        }
    }
    BerTrace("attribute set id = %s\r\n", attributeSet.c_str());
    BerTrace("SQL query from RPN = %s\r\n", translation.c_str());
    text = translation;
    return 0;
}
