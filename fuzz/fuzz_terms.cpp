// libFuzzer target: search-term text as a client sends it: the query character set, the folding
// of index text and terms (ICU), term parsing and matching against the input as a key value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
    }
    return 0;
}
