#pragma once
// Text normalisation for the search index: splits UTF-8 text into units (lower-cased words, and
// single CJK characters), derives the index tokens of a key value, and matches a search term
// against a value. A term matches a value when its units appear as a contiguous run of the value's
// units (a whole value, one word, a run of words; CJK text as a substring); a trailing "?" or "*"
// makes the last unit a prefix. Stateless; any thread.

#include <string>
#include <vector>

struct TextUnit {
    std::string m_text;  // UTF-8, lower-cased
    bool m_cjk = false;  // one CJK character
};

// Splits UTF-8 text into units; invalid octets and punctuation separate units.
void SplitUnits(const std::string& utf8, std::vector<TextUnit>& units);

// Index tokens of one value: every word, every CJK character, and every pair of consecutive CJK
// units (bigram). Appended to `tokens` (may repeat).
void IndexTokens(const std::vector<TextUnit>& units, std::vector<std::string>& tokens);

// A parsed search term.
struct SearchTerm {
    std::vector<TextUnit> m_units;
    bool m_truncated = false;                 // last unit is a prefix (only for a word)
    std::vector<std::string> m_exactTokens;   // tokens every hit must carry
    std::string m_prefixToken;                // truncated last word ("" when none)
    bool m_needsCheck = false;                // index tokens alone do not prove a match
};

// Parses a UTF-8 term. False when it holds no unit (empty, only punctuation or only "*").
bool ParseSearchTerm(const std::string& utf8, SearchTerm& term);

// Whether the term matches one value (already split into units).
bool TermMatchesUnits(const SearchTerm& term, const std::vector<TextUnit>& value);
