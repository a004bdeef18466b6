// The hit list of one term over one key's posting lists, the same for every engine: exact tokens,
// truncated words, word patterns through the key's dictionary, number ranges, and the check of
// the candidates' values.
#include <algorithm>

#include "backend/strata/strata_postings.h"
#include "backend/strata/strata_dictionary.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_identifiers.h"
#include "backend/strata/strata_storeutil.h"
#include "backend/strata/strata_store.h"
#include "berkit/codepage.h"

namespace {

// Keeps the numbers of `hits` that `bits` holds, or (`first`) takes all of them.
void Narrow(std::vector<uint32_t>& hits, const CRecordBitmap& bits, bool first) {
    if (first) {
        bits.AppendTo(hits);
        return;
    }
    hits.erase(std::remove_if(hits.begin(), hits.end(), [&bits](uint32_t n) { return !bits.Test(n); }), hits.end());
}

// The records of every token the pattern matches.
bool PatternBits(const CStrataPattern& pattern, IStrataPostingReader& reader, CRecordBitmap& bits, StrataStatus& st) {
    if (pattern.IsPrefixOnly()) {
        const std::string prefix = pattern.LiteralPrefix();
        return reader.ReadRange(prefix, prefix + "\xF5", false, bits, st);
    }
    const CStrataDictionary* dictionary = nullptr;
    if (!reader.Dictionary(dictionary, st)) return false;
    std::vector<std::string> tokens;
    dictionary->Match(pattern, tokens);
    std::sort(tokens.begin(), tokens.end());
    tokens.erase(std::unique(tokens.begin(), tokens.end()), tokens.end());
    return reader.ReadListsInto(tokens, bits, st);
}

// The range of number tokens a relation with the term's number covers.
bool RelationHits(const SearchTerm& term, IStrataPostingReader& reader, std::vector<uint32_t>& hits, StrataStatus& st) {
    const std::string& t = term.m_rangeToken;
    std::string lo, hi = "\xF5";
    switch (term.m_mode.m_relation) {
    case 1: hi = t; break;
    case 2: hi = t + "\x01"; break;
    case 4: lo = t; break;
    default: lo = t + "\x01"; break;
    }
    CRecordBitmap bits;
    if (!reader.ReadRange(lo, hi, !term.m_rangeText, bits, st)) return false;
    bits.AppendTo(hits);
    return true;
}

// A term of one of `term`'s units alone, for the union of the "any word" structures.
SearchTerm UnitTerm(const SearchTerm& term, size_t i) {
    SearchTerm one;
    one.m_units = {term.m_units[i]};
    one.m_patterns = {term.m_patterns[i]};
    if (one.IsPattern(0)) return one;
    if (i + 1 == term.m_units.size() && term.m_truncated && !term.m_units[i].m_cjk) {
        one.m_truncated = true;
        one.m_prefixToken = term.m_units[i].m_text;
    } else {
        one.m_exactTokens = {term.m_units[i].m_text};
    }
    return one;
}

bool ExactHits(const SearchTerm& term, IStrataPostingReader& reader, std::vector<uint32_t>& hits, StrataStatus& st) {
    std::vector<std::string> exact = term.m_exactTokens;
    std::sort(exact.begin(), exact.end());
    exact.erase(std::unique(exact.begin(), exact.end()), exact.end());
    if (exact.empty()) return true;
    std::vector<std::vector<uint32_t>> lists;
    if (!reader.ReadLists(exact, lists, st)) return false;
    // The smallest list first: every intersection after it only shrinks it.
    std::sort(lists.begin(), lists.end(), [](const auto& a, const auto& b) { return a.size() < b.size(); });
    hits = std::move(lists[0]);
    for (size_t i = 1; i < lists.size() && !hits.empty(); ++i) {
        const auto end = std::set_intersection(hits.begin(), hits.end(), lists[i].begin(), lists[i].end(), hits.begin());
        hits.erase(end, hits.end());
    }
    return true;
}

}  // namespace

bool StrataComputeHits(const SearchTerm& term, IStrataPostingReader& reader, std::vector<uint32_t>& hits,
                       StrataStatus& st) {
    hits.clear();
    if (term.m_mode.m_relation != 3) return RelationHits(term, reader, hits, st);
    if (term.m_mode.AnyWord() && term.m_units.size() > 1) {
        CRecordBitmap bits;
        std::vector<uint32_t> one;
        for (size_t i = 0; i < term.m_units.size(); ++i) {
            if (!StrataComputeHits(UnitTerm(term, i), reader, one, st)) return false;
            for (const uint32_t n : one) bits.Set(n);
        }
        bits.AppendTo(hits);
        return true;
    }
    if (!ExactHits(term, reader, hits, st)) return false;
    bool first = term.m_exactTokens.empty();
    if (!term.m_prefixToken.empty() && (first || !hits.empty())) {
        CRecordBitmap bits;
        if (!reader.ReadRange(term.m_prefixToken, term.m_prefixToken + "\xF5", false, bits, st)) return false;
        Narrow(hits, bits, first);
        first = false;
    }
    for (size_t i = 0; i < term.m_patterns.size() && (first || !hits.empty()); ++i) {
        // A word that is only masks says nothing on its own, unless nothing else does.
        const bool last = i + 1 == term.m_patterns.size();
        if (!term.IsPattern(i) || (term.m_patterns[i].OnlyWildcards() && !(first && last))) continue;
        CRecordBitmap bits;
        if (!PatternBits(term.m_patterns[i], reader, bits, st)) return false;
        Narrow(hits, bits, first);
        first = false;
    }
    if (term.m_needsCheck && !hits.empty()) return reader.KeepMatches(hits, st);
    return true;
}

bool StrataParseKeyTerm(const std::string& ansiTerm, const CKeyEntry& key, const StrataTermMode& mode,
                        SearchTerm& term, StrataStatus& st) {
    std::string utf8 = ansiTerm.empty() ? std::string() : AnsiToUtf8(ansiTerm);
    if (key.m_type == CKeyType::kIsbn || key.m_type == CKeyType::kIssn || key.m_type == CKeyType::kLccn)
        utf8 = StrataIdentifierTerm(key.m_type, utf8);
    if (!ParseSearchTerm(utf8, term, KeyFolding(key), mode))
        return st.Set(kStrataBadTerm, "[" + ansiTerm + "] holds nothing to search for");
    if (mode.m_relation == 3) return true;
    if (key.m_type != CKeyType::kNumeric) {
        // Index-term order: the records that carry a token below (above) the folded term.
        term.m_rangeToken.clear();
        for (const TextUnit& unit : term.m_units)
            term.m_rangeToken += (term.m_rangeToken.empty() || unit.m_cjk ? "" : " ") + unit.m_text;
        term.m_rangeText = true;
        term.m_needsCheck = false;
        return true;
    }
    std::vector<uint64_t> numbers;
    StrataNumbersIn(utf8, numbers);
    if (numbers.empty()) return st.Set(kStrataBadTerm, "[" + ansiTerm + "] holds no number to compare");
    term.m_rangeToken = StrataNumberToken(numbers[0]);
    term.m_needsCheck = false;
    return true;
}

bool StrataRecordMatches(const CMARC& record, const CKeyEntry& key, const SearchTerm& term) {
    std::vector<std::vector<TextUnit>> values;
    KeyValueUnits(record, key, values, term.m_mode.ByField());
    return std::any_of(values.begin(), values.end(),
                       [&term](const std::vector<TextUnit>& v) { return TermMatchesUnits(term, v); });
}

bool StrataMakeDictionary(std::vector<std::string> tokens, std::unique_ptr<CStrataDictionary>& out, StrataStatus& st) {
    if (tokens.size() > kStrataMaxDictionaryTokens) {
        return st.Set(kStrataBadTerm, "the key holds more than " + std::to_string(kStrataMaxDictionaryTokens) +
                                          " distinct words, too many to match a pattern against");
    }
    out = std::make_unique<CStrataDictionary>(std::move(tokens));
    return true;
}
