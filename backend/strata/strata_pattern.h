#pragma once
// How a search term is to match, beyond its words: the qualifiers of a search path
// (db/KEY|Q/TERM, Q a comma-separated list of bib-1 "type=value" pairs such as "5=2,3=1"), and the
// wildcard patterns that truncated and masked words become, matched against index tokens by code
// point. Stateless; any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct StrataTermMode {
    int m_relation = 3;      // 1 <, 2 <=, 3 =, 4 >=, 5 > (the others need a numeric key)
    int m_position = 3;      // 1 first in field, 2 first in subfield, 3 anywhere
    int m_structure = 0;     // 0 not given (a run of words); 1, 2, 3 key, 4 year, 6 word list, 105/106 any word, 109
    int m_truncation = 0;    // 0 not given (a trailing "?" or "*" truncates the last word); 2 left, 3 both,
                             // 100 none, 101 "#" masks, 104 "?"/"#" masks
    int m_completeness = 1;  // 1 part of a subfield, 2 a whole subfield, 3 a whole field

    bool WordList() const { return m_structure == 6 || AnyWord(); }
    bool AnyWord() const { return m_structure == 105 || m_structure == 106; }
    // Whether the term must start a value (field or subfield) or fill it.
    bool Anchored() const { return m_position != 3 || m_completeness != 1 || m_structure == 3; }
    bool Whole() const { return m_completeness != 1 || m_structure == 3; }
    // Values are whole fields (their indexed subfields joined) rather than subfields.
    bool ByField() const { return m_position == 1 || m_completeness == 3; }
};

// Parses the qualifiers "T=V,T=V" into `mode` (the empty text leaves it as it is). False with
// `error` = the first pair this store cannot honour, as "T=V" (an unknown type or value).
bool StrataParseTermMode(const std::string& text, StrataTermMode& mode, std::string& error);

// Splits a search path's key part "name|qualifiers" into the key name and its mode. False with
// `error` ("T=V" of the pair refused, or the malformed text).
bool StrataSplitKey(const std::string& keyPart, std::string& name, StrataTermMode& mode, std::string& error);

// Stand-ins of mask characters inside a folded unit's text: private-use code points, which
// folding leaves alone and which never reach the index (they separate words there).
constexpr uint32_t kMaskAny = 0xE000;    // zero or more characters
constexpr uint32_t kMaskOne = 0xE001;    // exactly one character
constexpr uint32_t kMaskUpTo = 0xE010;   // kMaskUpTo + n: zero to n characters (n 1..9)
constexpr uint32_t kMaskLast = 0xE019;
inline bool IsMaskStandIn(uint32_t cp) { return cp >= 0xE000 && cp <= 0xE0FF; }

class CStrataPattern {
public:
    enum Kind : uint8_t { kChar, kAny, kOne, kUpTo };
    struct Item {
        Kind m_kind;
        uint32_t m_value;  // the code point (kChar) or n (kUpTo)
    };

    // From a unit's UTF-8 text holding mask stand-ins; `left`/`right` add "any characters" before
    // or after it (left and right truncation).
    static CStrataPattern FromUnit(const std::string& unit, bool left, bool right);

    bool HasWildcard() const;
    bool OnlyWildcards() const;
    // The literal characters before the first wildcard and after the last one, UTF-8.
    std::string LiteralPrefix() const;
    std::string LiteralSuffix() const;
    // Literal text followed by one "any characters": a plain right truncation of LiteralPrefix().
    bool IsPrefixOnly() const;
    bool Matches(std::string_view token) const;
    const std::vector<Item>& Items() const { return m_items; }

private:
    std::vector<Item> m_items;
};

// The code points of `utf8` in reverse order, UTF-8 again (invalid octets kept as they are).
std::string StrataReverseUtf8(std::string_view utf8);
