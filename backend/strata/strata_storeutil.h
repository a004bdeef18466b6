#pragma once
// Checks and conversions that every store engine applies the same way: names of databases,
// accounts and cfgs files, cfgs file content, a key's field list as stored, index postings of a
// record, and the pre-check of a bulk load. Stateless; any thread.

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend/strata/strata_admin.h"
#include "backend/strata/strata_keys.h"

// 1..max octets, no control characters; with pathPart also no "/" and no "|".
bool StrataValidName(const std::string& name, size_t max, bool pathPart);
// A cfgs file name: 1..64 letters, digits, "_", "-", "." (not "." or "..").
bool StrataValidFileName(const std::string& name);
// ASCII lower case: the form names are compared in without regard to case.
std::string StrataFold(const std::string& name);

// Checks a cfgs file before it is stored (name, size, zero octets, line length, and for keys.cfg
// its syntax and key names). False with a clear `error`.
bool StrataCheckCfgFile(const std::string& file, const std::string& content, std::string& error);
// Parses keys.cfg text into its keys. False with the line and column of the fault in `error`.
bool StrataParseKeys(const std::string& content, std::vector<CKeyEntry>& keys, std::string& error);

// A key's field list as the stores keep it ("245a 246a", followed by "+diacritics" when the key
// folds diacritics) and back.
constexpr const char* kStrataFoldDiacritics = "+diacritics";

// Mends a record stored by a version before format 3, which kept the 1XX fields of MARC 21
// records loaded from UTF-8 (leader/09 "a") in UTF-8 beside text in the ANSI code page: such a
// field that is valid UTF-8 with a non-ASCII octet is converted to the ANSI code page. True when
// `diriv` changed.
bool StrataMendMainEntries(std::string& diriv);

// Progress of a reindex on a terminal: "strata: keying database N: R records" on stderr, one line
// rewritten at most twice a second, ended when `done`. Silent when stderr is not a terminal.
void StrataReindexProgress(int64_t db, int64_t records, bool done);
std::string StrataFieldsText(const CKeyEntry& key);
CKeyEntry StrataKeyFromText(const std::string& name, const std::string& fields);

// One index entry: the key's id in the store, a token, a record number.
struct StrataPosting {
    int64_t m_key;
    std::string m_token;
    int64_t m_record;
    bool operator<(const StrataPosting& o) const;
};
struct StrataStoreKey {
    int64_t m_id = 0;
    CKeyEntry m_entry;
};
// Appends the postings of `record` (number `number`) for every key; a key's derived tokens
// (KeyDerivedTokens) are kept under the negative of its id.
void StrataCollectPostings(const std::vector<StrataStoreKey>& keys, const CMARC& record, int64_t number,
                           std::vector<StrataPosting>& out);

// The pre-check of a bulk load: parses every record into `records`, lists the refused ones in
// `rejected`, and maps each record number to the position of the batch's last record of that
// number (an earlier one of the same number is refused).
void StrataCheckBatch(const std::vector<std::string>& dirivs, std::vector<CMARC>& records,
                      std::map<int64_t, size_t>& lastOf, std::vector<StrataRejectedRecord>& rejected);

class CRecordBitmap;
class CStrataDictionary;
struct SearchTerm;
struct StrataStatus;
struct StrataTermMode;

// What a term's hit list is computed from: one key's posting lists and its records. Lists of
// several tokens are asked for at once, so that an engine can read them in one statement.
class IStrataPostingReader {
public:
    virtual ~IStrataPostingReader() = default;
    // Each token's list into lists[i]; `tokens` ascending and distinct.
    virtual bool ReadLists(const std::vector<std::string>& tokens, std::vector<std::vector<uint32_t>>& lists,
                           StrataStatus& st) = 0;
    // Every number of the tokens' lists into `bits`; `tokens` ascending and distinct.
    virtual bool ReadListsInto(const std::vector<std::string>& tokens, CRecordBitmap& bits, StrataStatus& st) = 0;
    // Every number of every token from `lo` up to (not including) `hi`: of the key's own tokens,
    // or with `derived` of its derived tokens.
    virtual bool ReadRange(const std::string& lo, const std::string& hi, bool derived, CRecordBitmap& bits,
                           StrataStatus& st) = 0;
    // The key's distinct tokens (kept by the store; valid until the search ends).
    virtual bool Dictionary(const CStrataDictionary*& dictionary, StrataStatus& st) = 0;
    // Keeps (in order) the numbers whose records' key values match the term: the check of
    // SearchTerm::m_needsCheck.
    virtual bool KeepMatches(std::vector<uint32_t>& numbers, StrataStatus& st) = 0;
    virtual bool Cancelled() const = 0;
};

// A term's whole hit list in ascending order: the intersection of its exact tokens' lists (the
// smallest read first), the union of a truncated word's tokens, of the tokens a word's pattern
// matches in the key's dictionary, then the value check. A relation other than "=" reads the
// range of the key's number tokens; "any word" structures take the union of the words' hits.
bool StrataComputeHits(const SearchTerm& term, IStrataPostingReader& reader, std::vector<uint32_t>& hits,
                       StrataStatus& st);

// Parses a search term (ANSI code page) for `key` as `mode` says: a standard-number key's term is
// normalised first; a relation other than "=" needs a numeric key and a number in the term. False
// with kStrataBadTerm (nothing to search for) or kStrataUnsupportedMode.
bool StrataParseKeyTerm(const std::string& ansiTerm, const CKeyEntry& key, const StrataTermMode& mode,
                        SearchTerm& term, StrataStatus& st);
// Whether a record's values of `key` match `term` (by field or by subfield, as its mode says).
bool StrataRecordMatches(const CMARC& record, const CKeyEntry& key, const SearchTerm& term);
// The distinct tokens of a key as a dictionary, from `tokens` (ascending); false with
// kStrataBadTerm when there are more than kStrataMaxDictionaryTokens.
bool StrataMakeDictionary(std::vector<std::string> tokens, std::unique_ptr<CStrataDictionary>& out,
                          StrataStatus& st);

// One page of a hit list: the numbers above `after` (all of them for a negative `after`), at most
// `limit`, into `page`. Returns whether numbers are left after the page.
bool StrataSliceHits(const std::vector<uint32_t>& all, int64_t after, size_t limit, std::vector<int64_t>& page);

// A posting block with the numbers of a sorted run added (or taken out, `remove`), into `merged`.
void StrataMergeBlock(const std::vector<uint32_t>& block, const uint32_t* from, const uint32_t* to, bool remove,
                      std::vector<uint32_t>& merged);

enum class StrataWrite;

// The record a write of `how` to record `number` brings: for an insert or a replace, `diriv`
// parsed into `record` with its 001 equal to `number`; false with kStrataBadRecord otherwise.
// A delete brings none (true, `record` untouched).
bool StrataCheckWrittenRecord(const std::string& diriv, int64_t number, StrataWrite how, CMARC& record,
                              StrataStatus& st);

// Sorts postings (StrataPosting or an engine's own with the same members) and calls
// visit(key, token, numbers) once per (key, token) with its record numbers, ascending and unique.
// False as soon as a visit returns false.
template <typename Posting, typename Visit>
bool StrataForEachList(std::vector<Posting>& postings, Visit visit) {
    std::sort(postings.begin(), postings.end());
    std::vector<uint32_t> numbers;
    for (size_t i = 0; i < postings.size();) {
        size_t j = i;
        numbers.clear();
        while (j < postings.size() && postings[j].m_key == postings[i].m_key &&
               postings[j].m_token == postings[i].m_token) {
            const uint32_t n = uint32_t(postings[j].m_record);
            if (numbers.empty() || numbers.back() != n) numbers.push_back(n);
            ++j;
        }
        if (!visit(postings[i].m_key, postings[i].m_token, numbers)) return false;
        i = j;
    }
    return true;
}
