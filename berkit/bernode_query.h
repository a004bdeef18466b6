#pragma once
// CZQuery: a type-1 (RPN) query as a value tree, decoded once from the RPNStructure of a
// searchRequest: term operands (every bib-1 attribute and the term), result-set references and
// operators. A part of the query that cannot be read becomes an error node in its place, carrying
// the reason; decoding never throws. Evaluators walk the tree in query order and so meet an error
// exactly where the encoded query has it (what came before it has been evaluated).
// Thread safety: none needed; a tree is a plain value owned by its caller.

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bernode.h"

// bib-1 attribute types.
enum : int {
    kBib1Use = 1,
    kBib1Relation = 2,
    kBib1Position = 3,
    kBib1Structure = 4,
    kBib1Truncation = 5,
    kBib1Completeness = 6,
};

// Operators of an rpnRpnOp, by the tag of the Operator's choice; kZOpUnknown when unreadable.
enum : int { kZOpUnknown = -1, kZOpAnd = 0, kZOpOr = 1, kZOpAndNot = 2, kZOpProx = 3 };

// How operands are read.
enum class CZQueryReading {
    // An operand is an AttributeList [44] with a use attribute (or, without one, the first
    // element's value taken as the use), then a non-empty general term [45]; anything else is
    // an error. The server's described behaviour.
    kStrict,
    // Any numeric attribute elements (none at all is fine) and a non-empty general term: the
    // bib-1 diagnostics mode, which reads use and truncation and supplies a default use.
    kLenient,
};

struct CZAttribute {
    long m_type;
    long m_value;
    bool operator==(const CZAttribute&) const = default;
};

struct CZQueryTerm {
    // Every attribute element with a numeric type and value, in wire order.
    std::vector<CZAttribute> m_attributes;
    // Index = bib-1 type 1..6 (0 unused): the value of that type, -1 when absent. Use is the
    // first element of type 1 (kStrict: the first element's value when none has type 1); every
    // other type is the last element of its type.
    std::array<long, 7> m_bib1{-1, -1, -1, -1, -1, -1, -1};
    // The general term: UTF-8 converted to the ANSI code page when the decoder was told so.
    std::string m_term;
};

enum class CZQueryKind { kTerm, kResultSet, kOperator, kError };

struct CZQueryNode {
    CZQueryKind m_kind = CZQueryKind::kError;
    CZQueryTerm m_operand;                // kTerm
    std::string m_text;                   // kResultSet: the set's name; kError: the reason
    int m_operator = kZOpUnknown;         // kOperator
    std::unique_ptr<CZQueryNode> m_left;  // kOperator: both present
    std::unique_ptr<CZQueryNode> m_right;
};

// `rpn` is the top RPNStructure ([0] op or [1] rpnRpnOp, as CZSearchRequest::m_rpn gives it); the
// decoded tree, or null when `rpn` is null. utf8: terms and set names are UTF-8 (converted to
// the ANSI code page). Structures nested deeper than kRPNMaxDepth become error nodes.
// Error texts: "bad RPN structure", "Unsurported RPN structure" and, for operands, those of
// DecodeAttributeAndTerm (kStrict) or "only support general Term" (kLenient).
std::unique_ptr<CZQueryNode> DecodeQuery(CBERNode* rpn, bool utf8, CZQueryReading reading);

// Calls `edit` for every term operand of the tree, in query order.
void ForEachQueryTerm(CZQueryNode* node, const std::function<void(CZQueryTerm&)>& edit);
