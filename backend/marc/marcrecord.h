#pragma once
// CMARC / CMARCItem: a record of the back-end's internal MARC text (Diriv, described in
// berkit/marcglobal.h) as a leader and a list of fields, parsed and rebuilt byte-exactly, plus the
// brief-record reduction driven by a zbrief.cfg definition (CRightTree).
// Thread safety: none; a record object belongs to one thread.

#include <string>
#include <utility>
#include <vector>

class CRightTree;

constexpr char kMarcSubfieldMark = 0x1F;
constexpr char kMarcFieldEnd = 0x1E;
constexpr char kMarcRecordEnd = 0x1D;
constexpr size_t kMarcLeaderSize = 24;

class CMARC;

// One field: its tag and its octets as stored (indicators, subfields, the closing 0x1E).
class CMARCItem {
public:
    CMARCItem() = default;
    CMARCItem(std::string tag, std::string data) : m_tag(std::move(tag)), m_data(std::move(data)) {}

    // A control field: value + 0x1E.
    static CMARCItem MakeControlField(const std::string& tag, const std::string& value);
    // A data field: 2 indicators, each subfield as 0x1F + code + data, then 0x1E.
    static CMARCItem MakeDataField(const std::string& tag, char ind1, char ind2,
                                   const std::vector<std::pair<char, std::string>>& subfields);

    // MARC control field: tag "00" followed by a digit (no indicators, no subfields).
    bool IsControlField() const;
    // Control or coded-data field in the character-set sense: tag starting below '2' (0XX, 1XX).
    bool IsCodedField() const { return !m_tag.empty() && static_cast<unsigned char>(m_tag[0]) < '2'; }

    // Control-field value (data without the closing 0x1E); for data fields the same raw text.
    std::string GetValue() const;
    // Indicators of a data field ("" for control fields or fields shorter than 2 octets).
    std::string GetIndicators() const;
    // Subfields of a data field in order: code and data. Text before the first 0x1F (after the
    // indicators) is not a subfield and is skipped. Empty for control fields.
    std::vector<std::pair<char, std::string>> GetSubfields() const;
    // Data of the first subfield `code`; false when absent.
    bool GetSubfield(char code, std::string& value) const;

    // Copies from `source` into `brief` its leader and the fields `definition` selects, in record
    // order; a field with a subfield list keeps its indicators and only those subfields (and is
    // dropped when none remains). Returns the number of fields copied, -1 with `error` on failure.
    static int Read(const CMARC& source, const CRightTree& definition, CMARC& brief, std::string& error);

    std::string m_tag;   // 3 characters
    std::string m_data;  // stored octets, ending in 0x1E
};

class CMARC {
public:
    // Parses Diriv text; replaces the current content. Returns the number of fields, -1 with a clear
    // `error` when the text is not well-formed Diriv (short leader, a bad tag, a field without its
    // 0x1E, a stray 0x1D or zero octet, text after the record end, no field).
    int Parse(const std::string& diriv, std::string& error);

    // Brief reduction, step 1: parses `diriv` and keeps `definition` (not owned; must outlive the
    // next Reduce/BuildMARC call). Null definition is an error. Returns 0 or -1 with `error`.
    int Create(const std::string& diriv, const CRightTree* definition, std::string& error);
    // Brief reduction in one call: Create, CMARCItem::Read into `brief`. Returns its field count or -1.
    int Reduce(CMARC& brief, std::string& error) const;

    // Rebuilds the Diriv text: leader, tag + data per field, 0x1D. Returns its length.
    int BuildMARC(std::string& diriv) const;

    // First field with `tag`, or null.
    const CMARCItem* FindField(const std::string& tag) const;
    CMARCItem* FindField(const std::string& tag);
    // Removes every field with `tag`; returns how many were removed.
    int RemoveFields(const std::string& tag);
    // Inserts `item` before the first field whose tag sorts after it (keeps tag order for the
    // usual ascending record).
    void InsertField(CMARCItem item);

    std::string m_leader;             // 24 characters
    std::vector<CMARCItem> m_fields;  // in record order
    const CRightTree* m_definition = nullptr;
};
