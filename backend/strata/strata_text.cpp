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

}  // namespace

void SplitUnits(const std::string& utf8, std::vector<TextUnit>& units, TextFolding folding) {
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
        } else if (IsWordChar(cp)) {
            AppendUtf8(word, uint32_t(cp));
        } else {
            flush();
        }
    }
    flush();
}

void IndexTokens(const std::vector<TextUnit>& units, std::vector<std::string>& tokens) {
    for (size_t i = 0; i < units.size(); ++i) {
        tokens.push_back(units[i].m_text);
        if (units[i].m_cjk && i + 1 < units.size() && units[i + 1].m_cjk) {
            tokens.push_back(units[i].m_text + units[i + 1].m_text);
        }
    }
}

bool ParseSearchTerm(const std::string& utf8, SearchTerm& term, TextFolding folding) {
    term = SearchTerm();
    std::string text = utf8;
    while (!text.empty() && (text.back() == '?' || text.back() == '*' || text.back() == ' ')) {
        if (text.back() != ' ') term.m_truncated = true;
        text.pop_back();
    }
    SplitUnits(text, term.m_units, folding);
    if (term.m_units.empty()) return false;
    const std::vector<TextUnit>& u = term.m_units;
    if (term.m_truncated && u.back().m_cjk) term.m_truncated = false;  // CJK already matches inside
    for (size_t i = 0; i < u.size(); ++i) {
        const bool last = i + 1 == u.size();
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
    term.m_needsCheck = !single;
    return true;
}

bool TermMatchesUnits(const SearchTerm& term, const std::vector<TextUnit>& value) {
    const std::vector<TextUnit>& t = term.m_units;
    if (t.empty() || t.size() > value.size()) return false;
    for (size_t start = 0; start + t.size() <= value.size(); ++start) {
        bool ok = true;
        for (size_t k = 0; k < t.size() && ok; ++k) {
            const std::string& v = value[start + k].m_text;
            if (k + 1 == t.size() && term.m_truncated) {
                ok = !value[start + k].m_cjk && v.compare(0, t[k].m_text.size(), t[k].m_text) == 0;
            } else {
                ok = v == t[k].m_text;
            }
        }
        if (ok) return true;
    }
    return false;
}
