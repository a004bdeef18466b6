// libFuzzer target: search-term text as a client sends it: the query character set, the folding
// of index text and terms (ICU), term parsing in every truncation and masking mode, the search
// qualifiers of a path, word patterns against the input's words, the standard-number forms, and
// matching against the input as a key value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "backend/strata/strata_dictionary.h"
#include "backend/strata/strata_identifiers.h"
#include "backend/strata/strata_text.h"
#include "berkit/codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    IsValidUtf8(text);
    const std::string ansi = QueryTermToAnsi(text, CQueryCharset::kAuto);
    const std::string utf8 = AnsiToUtf8(ansi);
    for (const TextFolding folding : {TextFolding{false}, TextFolding{true}}) {
        std::vector<TextUnit> units;
        SplitUnits(text, units, folding);
        std::vector<std::string> tokens;
        IndexTokens(units, tokens);
        SearchTerm term;
        if (ParseSearchTerm(utf8, term, folding)) TermMatchesUnits(term, units);
        std::vector<std::string> words;
        for (const TextUnit& u : units) words.push_back(u.m_text);
        std::sort(words.begin(), words.end());
        words.erase(std::unique(words.begin(), words.end()), words.end());
        const CStrataDictionary dictionary(words);
        for (const int truncation : {2, 3, 100, 101, 104}) {
            StrataTermMode mode;
            mode.m_truncation = truncation;
            mode.m_position = truncation == 2 ? 1 : 3;
            mode.m_completeness = truncation == 3 ? 3 : 1;
            if (!ParseSearchTerm(utf8, term, folding, mode)) continue;
            TermMatchesUnits(term, units);
            for (const CStrataPattern& p : term.m_patterns) {
                std::vector<std::string> matched;
                dictionary.Match(p, matched);
            }
        }
    }
    // The first line as a path's qualifiers.
    StrataTermMode mode;
    std::string name, refused;
    StrataSplitKey(text.substr(0, text.find('\n')), name, mode, refused);
    std::vector<std::string> forms;
    for (const CKeyType type : {CKeyType::kIsbn, CKeyType::kIssn, CKeyType::kLccn}) {
        StrataIdentifierForms(type, utf8, forms);
        StrataIdentifierTerm(type, utf8);
    }
    std::vector<uint64_t> numbers;
    StrataNumbersIn(utf8, numbers);
    return 0;
}
