#include "backend/strata/strata_text.h"

#include <cstdint>

namespace {

// Decodes one UTF-8 sequence at s[i]; returns the code point and advances i. Invalid octets give
// 0xFFFD and advance by one.
uint32_t NextCodePoint(const std::string& s, size_t& i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        ++i;
        return c;
    }
    int len = 0;
    uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else { ++i; return 0xFFFD; }
    if (i + size_t(len) > s.size()) { ++i; return 0xFFFD; }
    for (int k = 1; k < len; ++k) {
        const auto d = static_cast<unsigned char>(s[i + size_t(k)]);
        if ((d & 0xC0) != 0x80) { ++i; return 0xFFFD; }
        cp = (cp << 6) | (d & 0x3F);
    }
    const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { ++i; return 0xFFFD; }
    i += size_t(len);
    return cp;
}

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

bool IsCjk(uint32_t cp) {
    return (cp >= 0x2E80 && cp <= 0x2FDF) || (cp >= 0x3040 && cp <= 0x31FF) ||
           (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) ||
           (cp >= 0xAC00 && cp <= 0xD7AF) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0x20000 && cp <= 0x3FFFF);
}

// Folds case and full-width forms; returns 0 for a separator.
uint32_t FoldWordChar(uint32_t cp) {
    if (cp >= 0xFF01 && cp <= 0xFF5E) cp -= 0xFEE0;  // full-width ASCII
    if (cp < 0x80) {
        if (cp >= 'A' && cp <= 'Z') return cp + 32;
        if ((cp >= 'a' && cp <= 'z') || (cp >= '0' && cp <= '9')) return cp;
        return 0;
    }
    if (cp < 0xC0 || cp == 0xD7 || cp == 0xF7 || cp == 0xFFFD) return 0;  // Latin-1 signs
    if ((cp >= 0x2000 && cp <= 0x2BFF) || (cp >= 0x3000 && cp <= 0x303F) ||
        (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFFEF)) {
        return 0;  // punctuation, symbols, CJK punctuation
    }
    if (cp >= 0xC0 && cp <= 0xDE) return cp + 32;                       // Latin-1 capitals
    if (cp >= 0x100 && cp <= 0x17F && (cp % 2) == 0) return cp + 1;      // Latin Extended-A
    if (cp >= 0x391 && cp <= 0x3A9) return cp + 32;                      // Greek
    if (cp >= 0x410 && cp <= 0x42F) return cp + 32;                      // Cyrillic
    if (cp >= 0x400 && cp <= 0x40F) return cp + 80;
    return cp;
}

}  // namespace

void SplitUnits(const std::string& utf8, std::vector<TextUnit>& units) {
    units.clear();
    std::string word;
    auto flush = [&]() {
        if (!word.empty()) units.push_back(TextUnit{std::move(word), false});
        word.clear();
    };
    size_t i = 0;
    while (i < utf8.size()) {
        const uint32_t cp = NextCodePoint(utf8, i);
        if (IsCjk(cp)) {
            flush();
            TextUnit unit;
            AppendUtf8(unit.m_text, cp);
            unit.m_cjk = true;
            units.push_back(std::move(unit));
            continue;
        }
        const uint32_t folded = FoldWordChar(cp);
        if (folded == 0) {
            flush();
        } else {
            AppendUtf8(word, folded);
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

bool ParseSearchTerm(const std::string& utf8, SearchTerm& term) {
    term = SearchTerm();
    std::string text = utf8;
    while (!text.empty() && (text.back() == '?' || text.back() == '*' || text.back() == ' ')) {
        if (text.back() != ' ') term.m_truncated = true;
        text.pop_back();
    }
    SplitUnits(text, term.m_units);
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
