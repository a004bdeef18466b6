#pragma once
// marc8guess: whether MARC 21 records that do not say they are UTF-8 (leader 09 blank) are
// MARC-8, judged from their octets with libyaz's MARC-8 table and ICU's composition data. The
// guess is conservative: Latin-1, GBK or UTF-8 text mistaken for MARC-8 would be indexed as the
// wrong letters, so anything short of clear evidence is left alone.
// Stateless apart from a per-call cache; any thread may call.

#include <string_view>
#include <vector>

// What one record's octets say about MARC-8.
enum class CMarc8Evidence {
    kNone,     // not a candidate: leader 09 is not blank, or every octet is ASCII
    kEscape,   // holds a MARC-8 escape sequence (ESC ( / ESC , / ESC $ / ESC ) / ESC - with a
               // set's final, or ESC b / g / p / s): MARC-8 on its own
    kFits,     // every octet above 0x7F is a MARC-8 character, and every run of combining marks
               // stands before a letter it composes with into one Unicode character
    kAgainst,  // an octet MARC-8 does not define, a mark without a base or with one it does not
               // compose with, or text that is well-formed UTF-8
};

struct CMarc8Look {
    CMarc8Evidence m_evidence = CMarc8Evidence::kNone;
    size_t m_composed = 0;  // runs of marks that composed (kFits only)
};

// The evidence of one ISO 2709 record (its octets from the leader on).
CMarc8Look LookForMarc8(std::string_view iso);

// Composed runs a file must hold, over its kFits records, before they are taken for MARC-8.
constexpr size_t kMarc8MinComposed = 3;

// Which records of one file to read as MARC-8: every kEscape record; the kFits records only when
// no record of the file is kAgainst and the file holds an escape record or at least
// kMarc8MinComposed composed runs. Everything else false (read as before).
std::vector<bool> GuessMarc8(const std::vector<std::string_view>& records);
