#include "backend/strata/strata_text.h"

#include "berkit/codepage.h"

#include <cstdint>

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

// Han, kana, Hangul and their radicals and compatibility forms: each character is a unit.
bool IsCjk(uint32_t cp) {
    return (cp >= 0x2E80 && cp <= 0x2FDF) || (cp >= 0x3040 && cp <= 0x31FF) ||
           (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) ||
           (cp >= 0xAC00 && cp <= 0xD7AF) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0x20000 && cp <= 0x3FFFF);
}

bool IsWordChar(UChar32 cp) {
    return (U_GET_GC_MASK(cp) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

// ASCII needs no tables: NFKC_Casefold of ASCII is its lower case.
void SplitAscii(const std::string& text, std::vector<TextUnit>& units) {
    std::string word;
    for (char c : text) {
        if (c >= 'A' && c <= 'Z') {
            word.push_back(char(c + 32));
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            word.push_back(c);
        } else if (!word.empty()) {
            units.push_back(TextUnit{std::move(word), false});
            word.clear();
        }
    }
    if (!word.empty()) units.push_back(TextUnit{std::move(word), false});
}

// `text` in NFKC_Casefold form, and without nonspacing marks when asked. False when ICU fails.
bool FoldText(const std::string& utf8, TextFolding folding, icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    static const icu::Normalizer2* const casefold = icu::Normalizer2::getNFKCCasefoldInstance(status);
    static const icu::Normalizer2* const nfd = icu::Normalizer2::getNFDInstance(status);
    static const icu::Normalizer2* const nfc = icu::Normalizer2::getNFCInstance(status);
    if (casefold == nullptr || nfd == nullptr || nfc == nullptr) return false;
    status = U_ZERO_ERROR;
    // Invalid UTF-8 becomes U+FFFD, a separator.
    const icu::UnicodeString source = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), int32_t(utf8.size())));
    casefold->normalize(source, text, status);
    if (U_FAILURE(status)) return false;
    if (!folding.m_diacritics) return true;
    icu::UnicodeString decomposed;
    nfd->normalize(text, decomposed, status);
    if (U_FAILURE(status)) return false;
    icu::UnicodeString bare;
    for (int32_t i = 0; i < decomposed.length();) {
        const UChar32 cp = decomposed.char32At(i);
        if (u_charType(cp) != U_NON_SPACING_MARK) bare.append(cp);
        i += U16_LENGTH(cp);
    }
    nfc->normalize(bare, text, status);
    return U_SUCCESS(status);
}

// The term with its mask characters as stand-ins (strata_pattern.h); stand-ins the client sent
// itself become separators. 101: "#" any characters; 104: "?" any characters ("?N" up to N),
// "#" one character, "*" any characters.
std::string MaskStandIns(const std::string& utf8, int truncation) {
    std::string out;
    auto standIn = [&out](uint32_t cp) { AppendUtf8(out, cp); };
    for (size_t i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        if (c == '\xEE' && i + 2 < utf8.size() && (utf8[i + 1] == '\x80' || utf8[i + 1] == '\x81' ||
                                                      utf8[i + 1] == '\x82' || utf8[i + 1] == '\x83')) {
            out.push_back(' ');
            i += 2;
        } else if (truncation == 101 && c == '#') {
            standIn(kMaskAny);
        } else if (truncation == 104 && c == '#') {
            standIn(kMaskOne);
        } else if (truncation == 104 && c == '*') {
            standIn(kMaskAny);
        } else if (truncation == 104 && c == '?') {
            const bool counted = i + 1 < utf8.size() && utf8[i + 1] >= '1' && utf8[i + 1] <= '9';
            standIn(counted ? kMaskUpTo + uint32_t(utf8[i + 1] - '0') : kMaskAny);
            if (counted || (i + 1 < utf8.size() && utf8[i + 1] == '0')) ++i;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

void SplitUnitsImpl(const std::string& utf8, std::vector<TextUnit>& units, TextFolding folding, bool masks);

}  // namespace

void SplitUnits(const std::string& utf8, std::vector<TextUnit>& units, TextFolding folding) {
    SplitUnitsImpl(utf8, units, folding, false);
}

namespace {

void SplitUnitsImpl(const std::string& utf8, std::vector<TextUnit>& units, TextFolding folding, bool masks) {
    units.clear();
    if (IsAscii(utf8)) {
        SplitAscii(utf8, units);
        return;
    }
    icu::UnicodeString text;
    if (!FoldText(utf8, folding, text)) return;
    std::string word;
    auto flush = [&]() {
        if (!word.empty()) units.push_back(TextUnit{std::move(word), false});
        word.clear();
    };
    for (int32_t i = 0; i < text.length();) {
        const UChar32 cp = text.char32At(i);
        i += U16_LENGTH(cp);
        if (IsCjk(uint32_t(cp))) {
            flush();
            TextUnit unit;
            AppendUtf8(unit.m_text, uint32_t(cp));
            unit.m_cjk = true;
            units.push_back(std::move(unit));
        } else if (IsWordChar(cp) || (masks && IsMaskStandIn(uint32_t(cp)))) {
            AppendUtf8(word, uint32_t(cp));
        } else {
            flush();
        }
    }
    flush();
}

// Left truncation (2, 3) of the first word, right truncation (3) of the last, and masks: each
// such word of the term becomes a pattern.
void MakePatterns(SearchTerm& term, bool masks) {
    const std::vector<TextUnit>& u = term.m_units;
    const int truncation = term.m_mode.m_truncation;
    term.m_patterns.assign(u.size(), CStrataPattern());
    for (size_t i = 0; i < u.size(); ++i) {
        const bool left = i == 0 && (truncation == 2 || truncation == 3);
        const bool right = i + 1 == u.size() && truncation == 3;
        if (u[i].m_cjk || !(left || right || masks)) continue;
        CStrataPattern p = CStrataPattern::FromUnit(u[i].m_text, left, right);
        if (p.HasWildcard()) term.m_patterns[i] = std::move(p);
    }
}

bool UnitMatches(const SearchTerm& term, size_t k, const TextUnit& v) {
    const TextUnit& t = term.m_units[k];
    if (term.IsPattern(k)) {
        const CStrataPattern& p = term.m_patterns[k];
        return p.OnlyWildcards() || (!v.m_cjk && p.Matches(v.m_text));
    }
    if (k + 1 == term.m_units.size() && term.m_truncated)
        return !v.m_cjk && v.m_text.compare(0, t.m_text.size(), t.m_text) == 0;
    return v.m_text == t.m_text;
}

}  // namespace

void IndexTokens(const std::vector<TextUnit>& units, std::vector<std::string>& tokens) {
    for (size_t i = 0; i < units.size(); ++i) {
        tokens.push_back(units[i].m_text);
        if (units[i].m_cjk && i + 1 < units.size() && units[i + 1].m_cjk) {
            tokens.push_back(units[i].m_text + units[i + 1].m_text);
        }
    }
}

bool ParseSearchTerm(const std::string& utf8, SearchTerm& term, TextFolding folding, const StrataTermMode& mode) {
    term = SearchTerm();
    term.m_mode = mode;
    const bool masks = mode.m_truncation == 101 || mode.m_truncation == 104;
    std::string text = masks ? MaskStandIns(utf8, mode.m_truncation) : utf8;
    while (mode.m_truncation == 0 && !text.empty() &&
           (text.back() == '?' || text.back() == '*' || text.back() == ' ')) {
        if (text.back() != ' ') term.m_truncated = true;
        text.pop_back();
    }
    SplitUnitsImpl(text, term.m_units, folding, masks);
    if (term.m_units.empty()) return false;
    const std::vector<TextUnit>& u = term.m_units;
    if (term.m_truncated && u.back().m_cjk) term.m_truncated = false;  // CJK already matches inside
    MakePatterns(term, masks);
    for (size_t i = 0; i < u.size(); ++i) {
        const bool last = i + 1 == u.size();
        if (term.IsPattern(i)) continue;
        if (!u[i].m_cjk) {
            if (last && term.m_truncated) {
                term.m_prefixToken = u[i].m_text;
            } else {
                term.m_exactTokens.push_back(u[i].m_text);
            }
        } else if (i + 1 < u.size() && u[i + 1].m_cjk) {
            term.m_exactTokens.push_back(u[i].m_text + u[i + 1].m_text);
        } else if (i == 0 || !u[i - 1].m_cjk) {
            term.m_exactTokens.push_back(u[i].m_text);  // a lone CJK character
        }
    }
    // One word, one CJK character or one CJK pair is proved by its index token alone.
    const bool single = u.size() == 1 || (u.size() == 2 && u[0].m_cjk && u[1].m_cjk);
    term.m_needsCheck = mode.Anchored() || (!single && !mode.WordList());
    return true;
}

bool TermMatchesUnits(const SearchTerm& term, const std::vector<TextUnit>& value) {
    const std::vector<TextUnit>& t = term.m_units;
    if (t.empty() || t.size() > value.size()) return false;
    if (term.m_mode.Whole() && t.size() != value.size()) return false;
    const size_t lastStart = term.m_mode.Anchored() ? 0 : value.size() - t.size();
    for (size_t start = 0; start <= lastStart; ++start) {
        bool ok = true;
        for (size_t k = 0; k < t.size() && ok; ++k) ok = UnitMatches(term, k, value[start + k]);
        if (ok) return true;
    }
    return false;
}
