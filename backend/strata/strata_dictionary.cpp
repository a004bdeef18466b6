#include "backend/strata/strata_dictionary.h"

#include <algorithm>

namespace {

// The range of the ascending `tokens` that start with `prefix`.
std::pair<size_t, size_t> PrefixRange(const std::vector<std::string>& tokens, const std::string& prefix) {
    const auto from = std::lower_bound(tokens.begin(), tokens.end(), prefix);
    // Tokens are valid UTF-8, whose octets never reach 0xF5.
    const auto to = std::lower_bound(from, tokens.end(), prefix + "\xF5");
    return {size_t(from - tokens.begin()), size_t(to - tokens.begin())};
}

}  // namespace

CStrataDictionary::CStrataDictionary(std::vector<std::string> tokens) : m_forward(std::move(tokens)) {
    m_reversed.reserve(m_forward.size());
    for (const std::string& t : m_forward) m_reversed.push_back(StrataReverseUtf8(t));
    std::sort(m_reversed.begin(), m_reversed.end());
}

void CStrataDictionary::Match(const CStrataPattern& pattern, std::vector<std::string>& out) const {
    const std::string prefix = pattern.LiteralPrefix();
    const std::string suffix = pattern.LiteralSuffix();
    if (prefix.empty() && !suffix.empty()) {
        const auto [from, to] = PrefixRange(m_reversed, StrataReverseUtf8(suffix));
        for (size_t i = from; i < to; ++i) {
            std::string token = StrataReverseUtf8(m_reversed[i]);
            if (pattern.Matches(token)) out.push_back(std::move(token));
        }
        return;
    }
    const auto [from, to] = prefix.empty() ? std::pair<size_t, size_t>{0, m_forward.size()} : PrefixRange(m_forward, prefix);
    for (size_t i = from; i < to; ++i)
        if (pattern.Matches(m_forward[i])) out.push_back(m_forward[i]);
}
