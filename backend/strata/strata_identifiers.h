#pragma once
// Standard numbers in the one form the index keeps and a term is matched in: ISBN (digits and X,
// hyphens and spaces ignored; an ISBN-10 also as its ISBN-13 and a 978 ISBN-13 also as its
// ISBN-10), ISSN (8 characters), LCCN (LC's normalisation: blanks dropped, the part after a hyphen
// zero-padded to 6 digits, a "/..." revision dropped); and numbers as index tokens that sort in
// numeric order. Stateless; any thread.

#include <cstdint>
#include <string>
#include <vector>

#include "backend/marc/cfgtrees.h"

// The forms of one value of a key of `type` (kIsbn, kIssn, kLccn), lower case, appended to
// `forms`; none when the value holds no such number.
void StrataIdentifierForms(CKeyType type, const std::string& utf8, std::vector<std::string>& forms);

// A search term for such a key in its normalised form, a trailing "*" or "?" kept; the term as it
// is when it holds no such number.
std::string StrataIdentifierTerm(CKeyType type, const std::string& utf8);

// The index token of a non-negative number: a length letter, then its digits without leading
// zeros ("d1990"), so that tokens sort as their numbers do.
std::string StrataNumberToken(uint64_t number);
// The numbers (runs of 1 to 18 digits) in `text`, appended to `numbers`.
void StrataNumbersIn(const std::string& text, std::vector<uint64_t>& numbers);
