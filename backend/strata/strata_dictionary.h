#pragma once
// CStrataDictionary: the distinct index tokens of one key, read once from its posting lists and
// kept by a store connection for the patterns of later searches (left truncation, masks): a
// pattern with a literal start looks only at the tokens that start so, one with a literal end at
// those that end so (through the tokens reversed), any other at every token.
// Thread safety: immutable once built; the connection that built it uses it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backend/strata/strata_pattern.h"

// Keys with more distinct tokens than this are not searched by pattern (kStrataBadTerm).
constexpr size_t kStrataMaxDictionaryTokens = 4000000;

class CStrataDictionary {
public:
    // `tokens` ascending and distinct.
    explicit CStrataDictionary(std::vector<std::string> tokens);
    // The tokens `pattern` matches, appended to `out` in no particular order.
    void Match(const CStrataPattern& pattern, std::vector<std::string>& out) const;
    size_t Size() const { return m_forward.size(); }

private:
    std::vector<std::string> m_forward;   // ascending
    std::vector<std::string> m_reversed;  // each token reversed by code point, ascending
};
