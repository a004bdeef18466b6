#include "backend/strata/strata_pattern.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cstdlib>

namespace {

// Code points of `utf8`; an invalid octet is a code point of its own (its value + 0x110000, so
// that it never equals a real one).
std::vector<uint32_t> CodePoints(std::string_view utf8) {
    std::vector<uint32_t> out;
    out.reserve(utf8.size());
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    const int32_t n = int32_t(utf8.size());
    for (int32_t i = 0; i < n;) {
        const int32_t start = i;
        UChar32 c = 0;
        U8_NEXT(s, i, n, c);
        out.push_back(c < 0 ? 0x110000u + s[start] : uint32_t(c));
    }
    return out;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp >= 0x110000) {
        out.push_back(char(cp - 0x110000));
        return;
    }
    char buffer[4];
    int32_t length = 0;
    UBool error = false;
    U8_APPEND(reinterpret_cast<uint8_t*>(buffer), length, 4, UChar32(cp), error);
    if (!error) out.append(buffer, size_t(length));
}

const std::pair<int, std::vector<int>> kAccepted[] = {
    {2, {1, 2, 3, 4, 5, 102}},
    {3, {1, 2, 3}},
    {4, {1, 2, 3, 4, 6, 105, 106, 108, 109}},
    {5, {2, 3, 100, 101, 104}},
    {6, {1, 2, 3}},
};

}  // namespace

bool StrataParseTermMode(const std::string& text, StrataTermMode& mode, std::string& error) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string::npos) end = text.size();
        const std::string pair = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t eq = pair.find('=');
        char* stop = nullptr;
        const long type = eq == std::string::npos ? -1 : std::strtol(pair.c_str(), &stop, 10);
        const long value = eq == std::string::npos ? -1 : std::strtol(pair.c_str() + eq + 1, nullptr, 10);
        const auto row = std::find_if(std::begin(kAccepted), std::end(kAccepted),
                                      [type](const auto& r) { return r.first == type; });
        if (row == std::end(kAccepted) || std::find(row->second.begin(), row->second.end(), value) == row->second.end()) {
            error = pair;
            return false;
        }
        int* slot[] = {&mode.m_relation, &mode.m_position, &mode.m_structure, &mode.m_truncation, &mode.m_completeness};
        *slot[type - 2] = int(value == 102 && type == 2 ? 3 : value);
    }
    return true;
}

bool StrataSplitKey(const std::string& keyPart, std::string& name, StrataTermMode& mode, std::string& error) {
    const size_t bar = keyPart.find('|');
    name = keyPart.substr(0, bar);
    mode = StrataTermMode();
    return bar == std::string::npos || StrataParseTermMode(keyPart.substr(bar + 1), mode, error);
}

CStrataPattern CStrataPattern::FromUnit(const std::string& unit, bool left, bool right) {
    CStrataPattern p;
    if (left) p.m_items.push_back({kAny, 0});
    for (const uint32_t cp : CodePoints(unit)) {
        if (cp == kMaskAny) {
            if (p.m_items.empty() || p.m_items.back().m_kind != kAny) p.m_items.push_back({kAny, 0});
        } else if (cp == kMaskOne) {
            p.m_items.push_back({kOne, 0});
        } else if (cp > kMaskUpTo && cp <= kMaskLast) {
            p.m_items.push_back({kUpTo, cp - kMaskUpTo});
        } else if (!IsMaskStandIn(cp)) {
            p.m_items.push_back({kChar, cp});
        }
    }
    if (right && (p.m_items.empty() || p.m_items.back().m_kind != kAny)) p.m_items.push_back({kAny, 0});
    return p;
}

bool CStrataPattern::HasWildcard() const {
    return std::any_of(m_items.begin(), m_items.end(), [](const Item& i) { return i.m_kind != kChar; });
}

bool CStrataPattern::OnlyWildcards() const {
    return std::none_of(m_items.begin(), m_items.end(), [](const Item& i) { return i.m_kind == kChar; });
}

std::string CStrataPattern::LiteralPrefix() const {
    std::string out;
    for (size_t i = 0; i < m_items.size() && m_items[i].m_kind == kChar; ++i) AppendUtf8(out, m_items[i].m_value);
    return out;
}

std::string CStrataPattern::LiteralSuffix() const {
    size_t from = m_items.size();
    while (from > 0 && m_items[from - 1].m_kind == kChar) --from;
    std::string out;
    for (size_t i = from; i < m_items.size(); ++i) AppendUtf8(out, m_items[i].m_value);
    return out;
}

bool CStrataPattern::IsPrefixOnly() const {
    return m_items.size() >= 2 && m_items.back().m_kind == kAny &&
           std::all_of(m_items.begin(), m_items.end() - 1, [](const Item& i) { return i.m_kind == kChar; });
}

bool CStrataPattern::Matches(std::string_view token) const {
    const std::vector<uint32_t> text = CodePoints(token);
    // can[j]: the items so far match the first j code points of the token.
    std::vector<char> can(text.size() + 1, 0), next(text.size() + 1, 0);
    can[0] = 1;
    for (const Item& item : m_items) {
        std::fill(next.begin(), next.end(), 0);
        long last = -1;  // kUpTo: the latest position the items so far reach
        for (size_t j = 0; j <= text.size(); ++j) {
            switch (item.m_kind) {
            case kChar:
                if (j > 0) next[j] = can[j - 1] && text[j - 1] == item.m_value;
                break;
            case kOne:
                if (j > 0) next[j] = can[j - 1];
                break;
            case kAny:
                next[j] = can[j] || (j > 0 && next[j - 1]);
                break;
            case kUpTo:
                if (can[j]) last = long(j);
                next[j] = last >= 0 && long(j) - last <= long(item.m_value);
                break;
            }
        }
        can.swap(next);
    }
    return can[text.size()] != 0;
}

std::string StrataReverseUtf8(std::string_view utf8) {
    std::vector<uint32_t> cps = CodePoints(utf8);
    std::reverse(cps.begin(), cps.end());
    std::string out;
    out.reserve(utf8.size());
    for (const uint32_t cp : cps) AppendUtf8(out, cp);
    return out;
}
