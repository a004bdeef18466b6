#pragma once
// CDiagnostic: the outcome of a search-engine call as a value: nothing (success) or a bib-1
// diagnostic with its addinfo and the text for the log. Each front end maps it to its protocol
// (the Z39.50 session: a diagnostic in the bib-1 diagnostics mode, else its described answer).
// Thread safety: a plain value.

#include <string>

// bib-1 diagnostics the server sends (most only in the diagnostics mode, [Server] Diagnostics=bib1).
constexpr int kDiagTemporarySystemError = 2;     // addinfo: the back-end's or the server's text
constexpr int kDiagPresentError = 14;            // System error in presenting records (surrogate)
constexpr int kDiagDatabaseUnavailable = 109;    // addinfo: the database name
constexpr int kDiagUnsupportedUse = 114;         // addinfo: the use attribute
constexpr int kDiagUnsupportedAttributeType = 113;  // addinfo: the attribute type
constexpr int kDiagUnsupportedRelation = 117;    // addinfo: the relation attribute
constexpr int kDiagUnsupportedStructure = 118;   // addinfo: the structure attribute
constexpr int kDiagUnsupportedPosition = 119;    // addinfo: the position attribute
constexpr int kDiagUnsupportedTruncation = 120;  // addinfo: the truncation attribute
constexpr int kDiagUnsupportedCompleteness = 122;  // addinfo: the completeness attribute
constexpr int kDiagUnsupportedCombination = 123;   // addinfo: the attributes that do not go together
constexpr int kDiagScanStepSize = 205;           // Only zero step size supported for Scan
constexpr int kDiagScanMalformed = 228;          // Scan: malformed scan; addinfo: the field
constexpr int kDiagScanPosition = 233;           // Scan: unsupported position-in-response
constexpr int kDiagScanTooManyTerms = 1029;      // Scan: too many terms requested; addinfo: the most
constexpr int kDiagSortUnsupported = 207;        // Cannot sort according to sequence
constexpr int kDiagSyntaxUnavailable = 238;      // Record not available in requested syntax

struct CDiagnostic {
    int m_code = 0;          // bib-1 diagnostic; 0: no error
    std::string m_addinfo;   // what the diagnostic names (a database, an attribute, a text)
    std::string m_message;   // what went wrong, for the log

    static CDiagnostic Ok() { return CDiagnostic(); }
    // A temporary system error (2) whose addinfo is its message.
    static CDiagnostic System(const std::string& message) { return {kDiagTemporarySystemError, message, message}; }
    bool IsError() const { return m_code != 0; }
    explicit operator bool() const { return IsError(); }
};
