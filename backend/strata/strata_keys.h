#pragma once
// Record checks and index extraction for the store: validates a Diriv record and its 001 record
// number, and derives each search key's values and index tokens (keys.cfg, see
// backend/marc/cfgtrees.h) from a record. Stored text is in the ANSI code page; it is converted
// to UTF-8 for tokenizing. Stateless; any thread.

#include <cstdint>
#include <string>
#include <vector>

#include "backend/marc/cfgtrees.h"
#include "backend/marc/marcrecord.h"
#include "backend/strata/strata_text.h"

// Largest Diriv record the store accepts.
constexpr size_t kStrataMaxRecordSize = 60000;

// Parses `diriv` and reads its 001 as a record number (1-7 digits, 1 to 9999999). False with a
// clear `error` when the record is empty, malformed, too large or lacks such a 001.
bool CheckStrataRecord(const std::string& diriv, CMARC& record, int64_t& number, std::string& error);

// How the key folds its values and its search terms.
inline TextFolding KeyFolding(const CKeyEntry& key) { return TextFolding{key.m_foldDiacritics}; }

// The values of one key in a record (field or subfield data, ANSI code page), each split into
// units (UTF-8): one value per subfield, or with `byField` one per field (its indexed subfields
// joined). A standard-number key gives each normalised form as a value of one unit.
void KeyValueUnits(const CMARC& record, const CKeyEntry& key,
                   std::vector<std::vector<TextUnit>>& values, bool byField = false);

// The distinct index tokens of one key in a record, sorted.
void KeyTokens(const CMARC& record, const CKeyEntry& key, std::vector<std::string>& tokens);
// The distinct tokens derived from a numeric key's values (StrataNumberToken of each number in
// them), sorted; none for other keys. The store keeps them apart from the key's own tokens.
void KeyDerivedTokens(const CMARC& record, const CKeyEntry& key, std::vector<std::string>& tokens);

// Key names that would clash with the reserved path parts ("cfgs", "ctlno") or are not usable in
// a path. False with `error` for the first bad one.
bool CheckKeyNames(const CKeysTree& keys, std::string& error);
