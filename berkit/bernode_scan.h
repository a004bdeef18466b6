#pragma once
// The scanRequest and its scanResponse (the Browse facility of Z39.50-1995): a strict decoder
// that reads exactly the fields of a scan, within bounds, and a builder of the term list answer.
// Field tags are those of bernode_z3950.h.
// Thread safety: none needed; each call touches only the caller's trees and values.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bernode.h"
#include "bernode_apdu.h"

// Databases one scan may name at most.
constexpr size_t kZScanMaxDatabases = 16;

struct CZScanRequest {
    CZReferenceId m_referenceId;
    std::vector<std::string> m_databaseNames;
    std::vector<std::pair<long, long>> m_attributes;  // (type, numeric value) of the start term
    std::string m_term;                               // the start term (UTF-8 converted to ANSI when utf8)
    long m_stepSize = 0;
    long m_termsRequested = 0;
    long m_preferredPosition = 1;
};

// Reads a scanRequest APDU. False with `error` naming the field when it is not a well-formed scan:
// a field of the wrong form or an undecodable value, a missing databaseNames,
// termListAndStartPoint or numberOfTermsRequested, a field repeated, more than kZScanMaxDatabases
// databases, or a child no scan holds.
bool DecodeScanRequest(CBERNode* apdu, bool utf8, CZScanRequest& request, std::string& error);

struct CZScanEntry {
    std::string m_term;       // as sent (the session's character set)
    int64_t m_occurrences = 0;
};

struct CZScanResponse {
    int m_status = 0;         // Z_SCAN_*
    int m_positionOfTerm = 0; // 0: left out
    std::vector<CZScanEntry> m_entries;
};
// A scanResponse with stepSize 0, the status, the entries (each a termInfo with the general
// term and globalOccurrences) and positionOfTerm.
CBERNode* BuildScanResponse(CBERNode& root, const CZReferenceId& ref, const CZScanResponse& scan);
