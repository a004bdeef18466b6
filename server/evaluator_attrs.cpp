// CQueryEvaluator in the bib-1 diagnostics mode: which attribute values a term may carry, and how
// they reach the back-end (5=1 as its right truncation of the term, the others as the
// qualifiers of the search path, "T=V,T=V" after the key name).

#include <algorithm>
#include <cstdlib>
#include <initializer_list>

#include "server/evaluator.h"

namespace {

constexpr long kTruncationRight = 1;
constexpr long kTruncationNone = 100;
// The back-end's right truncation: a term ending in it matches every word it starts.
constexpr char kStrataTruncation = '*';

// The values of each attribute type the server honours, the value that changes nothing (not sent
// to the back-end), and the diagnostic of any other value.
struct CAttributeRule {
    long m_type;
    std::initializer_list<long> m_values;
    std::initializer_list<long> m_plain;
    int m_diagnostic;
};

const CAttributeRule kRules[] = {
    {kBib1Use, {}, {}, kDiagUnsupportedUse},
    {kBib1Relation, {1, 2, 3, 4, 5, 102}, {3, 102}, kDiagUnsupportedRelation},
    {kBib1Position, {1, 2, 3}, {3}, kDiagUnsupportedPosition},
    {kBib1Structure, {1, 2, 3, 4, 6, 105, 106, 108, 109}, {1, 2}, kDiagUnsupportedStructure},
    {kBib1Truncation, {1, 2, 3, 100, 101, 104}, {kTruncationRight}, kDiagUnsupportedTruncation},
    {kBib1Completeness, {1, 2, 3}, {1}, kDiagUnsupportedCompleteness},
};

bool In(std::initializer_list<long> values, long v) { return std::find(values.begin(), values.end(), v) != values.end(); }

CDiagnostic Unsupported(int code, long value, const char* what) {
    return {code, std::to_string(value), std::string("unsupported ") + what + " attribute"};
}

// Attributes that each can be honoured but not together.
CDiagnostic Combination(const std::array<long, 7>& bib1) {
    const long relation = bib1[kBib1Relation], truncation = bib1[kBib1Truncation];
    const long structure = bib1[kBib1Structure];
    const bool ordered = relation != -1 && !In({3, 102}, relation);
    const bool truncated = truncation != -1 && truncation != kTruncationNone;
    const bool wordList = In({6, 105, 106}, structure);
    const bool anchored = In({1, 2}, bib1[kBib1Position]) || In({2, 3}, bib1[kBib1Completeness]);
    if (ordered && truncated)
        return {kDiagUnsupportedCombination, "2=" + std::to_string(relation) + " 5=" + std::to_string(truncation),
                "a relation with a truncation"};
    if (wordList && anchored)
        return {kDiagUnsupportedCombination, "4=" + std::to_string(structure), "a word list anchored in its field"};
    return CDiagnostic::Ok();
}

}  // namespace

CDiagnostic CQueryEvaluator::ApplyBib1Attributes(const CZQueryTerm& operand, int& use, std::string& term,
                                                 std::string& qualifiers) const {
    for (const CZAttribute& a : operand.m_attributes) {
        if (a.m_type < kBib1Use || a.m_type > kBib1Completeness)
            return {kDiagUnsupportedAttributeType, std::to_string(a.m_type), "unsupported attribute type"};
    }
    const char* const names[] = {"", "use", "relation", "position", "structure", "truncation", "completeness"};
    for (const CAttributeRule& rule : kRules) {
        const long value = operand.m_bib1[size_t(rule.m_type)];
        if (value == -1 || rule.m_type == kBib1Use)
            continue;
        if (!In(rule.m_values, value))
            return Unsupported(rule.m_diagnostic, value, names[rule.m_type]);
        if (In(rule.m_plain, value))
            continue;
        if (!qualifiers.empty())
            qualifiers += ',';
        qualifiers += std::to_string(rule.m_type) + "=" + std::to_string(value);
    }
    if (CDiagnostic error = Combination(operand.m_bib1))
        return error;
    if (operand.m_bib1[kBib1Truncation] == kTruncationRight && !term.empty() && term.back() != kStrataTruncation &&
        term.back() != '?')
        term += kStrataTruncation;
    use = operand.m_bib1[kBib1Use] == -1 ? m_context.m_defaultUse : static_cast<int>(operand.m_bib1[kBib1Use]);
    return CDiagnostic::Ok();
}

CDiagnostic CQueryEvaluator::RefusedQualifier(const std::string& text) {
    // "...: T=V ..." as the back-end words it.
    const size_t colon = text.find(": ");
    const char* p = text.c_str() + (colon == std::string::npos ? 0 : colon + 2);
    char* end = nullptr;
    const long type = std::strtol(p, &end, 10);
    const long value = *end == '=' ? std::strtol(end + 1, nullptr, 10) : -1;
    for (const CAttributeRule& rule : kRules) {
        if (rule.m_type == type && type != kBib1Use)
            return {rule.m_diagnostic, std::to_string(value), text};
    }
    return {kDiagTemporarySystemError, text, "back-end search failed: " + text};
}
