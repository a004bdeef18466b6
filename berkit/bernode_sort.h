#pragma once
// The Z39.50 Sort facility as values: a strict, bounded decoder of the sortRequest APDU and the
// builder of the sortResponse. The decoder accepts one form of each part and answers anything
// else with the bib-1 diagnostic that names it (207-237), never a crash: input result-set names
// [3], sortedResultSetName [4], sortSequence [5] of SortKeySpec { sortElement generic [1]
// { sortAttributes [2] (bib-1 use attribute) | sortField [0] }, sortRelation [1],
// caseSensitivity [2], missingValueAction [3] }.
// Thread safety: none needed; each call touches only the caller's trees and values.

#include <string>
#include <vector>

#include "bernode.h"
#include "bernode_apdu.h"

// Bounds of what a sortRequest may carry.
constexpr size_t kSortMaxKeys = 8;            // more: 211
constexpr size_t kSortMaxInputSets = 16;      // names read at most (more than one: 230)
constexpr size_t kSortMaxNameLength = 255;    // a longer set name: 237
constexpr size_t kSortMaxMissingData = 1024;  // a longer missingValueData: 216

enum class CZMissingAction { kAbort, kNull, kValue };

struct CZSortKeySpec {
    long m_use = 0;                  // bib-1 use attribute of sortAttributes (or named by sortField)
    std::string m_field;             // the sortField text when that form was sent
    bool m_descending = false;       // sortRelation descending (1); ascending (0) otherwise
    bool m_caseSensitive = false;    // caseSensitivity caseSensitive (0)
    CZMissingAction m_missing = CZMissingAction::kNull;  // absent: records without the key sort last
    std::string m_missingData;       // missingValueData octets (kValue)
};

struct CZSortRequest {
    CZReferenceId m_referenceId;
    std::vector<std::string> m_inputSets;
    std::string m_outputSet;
    std::vector<CZSortKeySpec> m_keys;
};

// What a decode found wrong: 0 when the request is usable, else the bib-1 code and its addinfo.
struct CZSortProblem {
    int m_code = 0;
    std::string m_addinfo;
    explicit operator bool() const { return m_code != 0; }
};

// Reads a sortRequest APDU. Set names are converted from UTF-8 to the ANSI code page when utf8.
// The first problem found is returned (the request value then holds what was read before it).
CZSortProblem DecodeSortRequest(CBERNode* apdu, bool utf8, CZSortRequest& request);

// sortStatus values: Z_SORT_SUCCESS, Z_SORT_PARTIAL, Z_SORT_FAILURE (bernode_z3950.h).
enum : int { Z_SORT_SET_EMPTY = 1, Z_SORT_SET_UNCHANGED = 3, Z_SORT_SET_NONE = 4 };

struct CZSortResponse {
    int m_status = Z_SORT_SUCCESS;
    int m_resultSetStatus = 0;  // 0: left out (it is sent only with a failure)
    int m_code = 0;             // bib-1 diagnostic; 0: none
    std::string m_addinfo;
};
// Appends a sortResponse to `root` and returns it.
CBERNode* BuildSortResponse(CBERNode& root, const CZReferenceId& ref, const CZSortResponse& answer);
