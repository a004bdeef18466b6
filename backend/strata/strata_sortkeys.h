#pragma once
// Sort values of the store: for every search key of keys.cfg, one value per record, written with
// the record's index entries (records written, loaded, reindexed), so that a sort reads values,
// never records.
// The value of a key in a record comes from the first of the key's fields (in keys.cfg order)
// that the record has and that yields one: its indexed subfields joined by a space, without the
// part between the non-sort marks U+0098 and U+009C and, for the MARC 21 title fields that count
// non-filing characters in an indicator (245, 240, 242, 243, 830 the second; 130, 630, 730, 740
// the first), without those characters.
//   text keys:    the text folded as the index folds it (case, width, normalisation form, and
//                 always diacritics), words joined by one space, then kStrataSortCaseMark and the
//                 unfolded text: octet order is the folded order, ties broken by case. A value is
//                 cut at kStrataSortValueMax octets (on a character boundary).
//   numeric keys: the first number of the value as its index token (StrataNumberToken), whose
//                 octet order is numeric order.
//   isbn, issn, lccn keys: the first normalised form of the value.
// Answer lines of a sort-value read (channel style 8): "NNNNNNN" (the record number), a tab,
// the value. The first line of every page names the key's kind: "text" or "numeric".
// Stateless; any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "backend/marc/cfgtrees.h"
#include "backend/marc/marcrecord.h"

constexpr size_t kStrataSortValueMax = 240;
constexpr size_t kStrataMaxSortValues = 4096;  // values one store call answers at most
constexpr char kStrataSortCaseMark = '\x01';  // below every octet of folded text
constexpr const char* kStrataSortKindText = "text";
constexpr const char* kStrataSortKindNumeric = "numeric";

// One stored sort value: the key's id in the store, the record number, the value.
struct StrataSortValue {
    int64_t m_key = 0;
    int64_t m_record = 0;
    std::string m_value;
};

// The sort value of `key` in `record`; false (value empty) when the record has none.
bool StrataRecordSortValue(const CMARC& record, const CKeyEntry& key, std::string& value);
// A UTF-8 text as the sort value of a key of kind `numeric` or text (a missing-value stand-in
// given by a client). "" when it yields none.
std::string StrataTextSortValue(const std::string& utf8, bool numeric);
// The part of a text key's value that compares without regard to case.
inline std::string_view StrataSortValueFolded(std::string_view value) {
    return value.substr(0, value.find(kStrataSortCaseMark));
}

// Appends the sort values of `record` for every key (a StrataStoreKey or an engine's own type
// with m_id and m_entry).
template <class Key>
void StrataCollectSortValues(const std::vector<Key>& keys, const CMARC& record, int64_t number,
                             std::vector<StrataSortValue>& out) {
    std::string value;
    for (const Key& key : keys)
        if (StrataRecordSortValue(record, key.m_entry, value)) out.push_back(StrataSortValue{key.m_id, number, value});
}

// A line of a sort-value answer into `line` (its earlier text replaced), and its reading (false
// when the line is not one).
void StrataSortLine(int64_t record, std::string_view value, std::string& line);
bool StrataParseSortLine(std::string_view line, int64_t& record, std::string_view& value);
