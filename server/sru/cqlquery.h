#pragma once
// CQL -> the type-1 query tree (berkit/bernode_query.h) through an index map. Parsing is libyaz's
// CQL parser; this module maps its tree: and / or / not to the operators, a search clause to term
// operands with the index's bib-1 attributes (all: every word and-ed, any: or-ed, =, adj, ==,
// exact: the term as one phrase), a trailing "*" to right truncation (5=1). What the engine cannot
// do comes back as an SRU diagnostic number (info:srw/diagnostic/1/N) with its details.
// The map's text is a properties file, one "index.NAME = T=V [T=V ...]" per line, "#" comments;
// NAME is a CQL index as clients write it ("dc.title", "title", "cql.serverChoice").
// Thread safety: a parsed map is read-only and may be shared; the functions are reentrant.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "berkit/bernode_query.h"

// SRU diagnostics (info:srw/diagnostic/1/N) the server sends.
enum : int {
    kSruGeneralError = 1,
    kSruAuthentication = 3,
    kSruUnsupportedOperation = 4,
    kSruUnsupportedVersion = 5,
    kSruUnsupportedParameterValue = 6,
    kSruMandatoryMissing = 7,
    kSruUnsupportedParameter = 8,
    kSruQuerySyntax = 10,
    kSruQueryTooLong = 11,
    kSruUnsupportedIndex = 16,
    kSruUnsupportedRelation = 19,
    kSruUnsupportedRelationModifier = 20,
    kSruEmptyTerm = 27,
    kSruMaskingUnsupported = 28,
    kSruAnchoringUnsupported = 31,
    kSruTooManyBooleans = 38,
    kSruProximityUnsupported = 39,
    kSruUnsupportedBooleanModifier = 46,
    kSruResultSetMissing = 51,
    kSruFirstRecordOutOfRange = 61,
    kSruRecordUnavailable = 64,
    kSruUnknownSchema = 66,
    kSruUnsupportedPacking = 71,
    kSruSortUnsupported = 80,
    kSruDatabaseMissing = 235,
};

struct CSruDiagnostic {
    int m_code = 0;         // 0: none
    std::string m_details;  // what it names (an index, a relation, a parameter)
    explicit operator bool() const { return m_code != 0; }
};

class CCqlIndexMap {
public:
    struct Entry {
        std::string m_index;                   // as the map writes it
        std::vector<CZAttribute> m_attributes;
    };
    // Replaces the entries with those of `text`. False with the line's number and reason in `error`.
    bool Parse(const std::string& text, std::string& error);
    // The built-in map used for a database without a cfgs/cql.cfg.
    static const CCqlIndexMap& Default();
    static const char* DefaultText();
    // The attributes of `index` (case-insensitive), or null.
    const std::vector<CZAttribute>* Find(const std::string& index) const;
    const std::vector<Entry>& Entries() const { return m_entries; }

private:
    std::vector<Entry> m_entries;
};

// The index of a reference to a result set the server keeps (cql.resultSetId="ID"): mapped to a
// result-set operand named ID, whatever the index map says.
constexpr const char* kCqlResultSetIndex = "cql.resultSetId";

// Longest query accepted (octets) and deepest nesting of the mapped tree.
constexpr size_t kCqlMaxQueryBytes = 8192;
constexpr int kCqlMaxDepth = 48;

// The query tree of `cql` (UTF-8); terms are converted to the ANSI code page. Null with `error` set
// when the query cannot be read or mapped.
std::unique_ptr<CZQueryNode> CqlToQuery(const std::string& cql, const CCqlIndexMap& map, CSruDiagnostic& error);

// The query tree of a PQF query (queryType=pqf, x-pquery: what ZOOM clients send), read by libyaz's
// PQF parser and then by the same type-1 decoder a Z39.50 searchRequest goes through. Null with
// `error` (10) when it cannot be read.
std::unique_ptr<CZQueryNode> PqfToQuery(const std::string& pqf, CSruDiagnostic& error);
