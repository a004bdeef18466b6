#pragma once
// Text normalisation for the search index: splits UTF-8 text into units (folded words, and single
// CJK characters), derives the index tokens of a key value, and matches a search term against a
// value. Index time and query time both go through SplitUnits, so a record and a term that differ
// only in letter case, in Unicode normalisation form (NFC or NFD) or in width (full-width Latin)
// give the same units: the text is brought to ICU's NFKC_Casefold form, which applies Unicode case
// folding (Σ, σ and ς alike; ß as ss) and compatibility forms. A key may also fold diacritics
// (`fold="diacritics"` in keys.cfg): nonspacing marks are removed after canonical decomposition,
// so Müller and Dvořák give muller and dvorak.
// A term matches a value when its units appear as a contiguous run of the value's units (a whole
// value, one word, a run of words; CJK text as a substring); a trailing "?" or "*" makes the last
// unit a prefix. A search mode (strata_pattern.h) can anchor the run at the start of a value or
// make it fill the value, truncate words on the left, or read mask characters in the term.
// Stateless; any thread.

#include <string>
#include <vector>

#include "backend/strata/strata_pattern.h"

struct TextUnit {
    std::string m_text;  // UTF-8, folded
    bool m_cjk = false;  // one CJK character
};

// How a key folds its text beyond case, normalisation form and width.
struct TextFolding {
    bool m_diacritics = false;  // drop nonspacing marks (Müller -> muller)
};

// Splits UTF-8 text into units. Letters, marks and digits of any script make words; CJK
// characters are units of their own; everything else (punctuation, symbols, spaces, invalid
// octets) separates units.
void SplitUnits(const std::string& utf8, std::vector<TextUnit>& units, TextFolding folding = {});

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
    StrataTermMode m_mode;
    // Per unit: the pattern of a left-truncated or masked word; empty for a literal unit.
    std::vector<CStrataPattern> m_patterns;
    std::string m_rangeToken;  // a relation's bound: a number's index token (StrataNumberToken),
                               // or for a text key the folded term (m_rangeText)
    bool m_rangeText = false;  // the relation compares the key's own tokens, in index order
    bool IsPattern(size_t unit) const { return !m_patterns[unit].Items().empty(); }
};

// Parses a UTF-8 term, folded as the key folds, read as `mode` says. False when it holds no unit
// (empty, only punctuation or only "*").
bool ParseSearchTerm(const std::string& utf8, SearchTerm& term, TextFolding folding = {},
                     const StrataTermMode& mode = {});

// Whether the term matches one value (already split into units with the same folding), anchored
// and whole as its mode says.
bool TermMatchesUnits(const SearchTerm& term, const std::vector<TextUnit>& value);
