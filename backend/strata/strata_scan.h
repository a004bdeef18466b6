#pragma once
// Scan of a key's term index: where a scan starts (a start term folded as the index folds the
// key's values), and the lines of a scan answer. The terms are the index tokens of the key (each
// folded word, each CJK character and pair of adjacent CJK characters); a term's count is the
// number of records its posting list holds, which is what a search of that term finds.
// Stateless; any thread.

#include <cstdint>
#include <string>
#include <string_view>

#include "backend/strata/strata_text.h"

// Terms one scan call of the store answers at most.
constexpr size_t kStrataMaxScanTerms = 1000;

struct StrataTermCount {
    std::string m_term;   // UTF-8, folded
    int64_t m_count = 0;  // records that carry it
};

// The index position of a UTF-8 start term: its units, folded as the key folds, words joined by
// one space (CJK units without one). "" (the start of the index) for a term with no unit.
std::string StrataScanStart(const std::string& utf8, TextFolding folding);

// One line of a scan answer: the count in decimal, a tab, the term.
std::string StrataScanLine(const StrataTermCount& term);
// Reads a line of StrataScanLine; false when it is not one.
bool StrataParseScanLine(std::string_view line, StrataTermCount& term);
