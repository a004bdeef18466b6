// sortRequest decoder and sortResponse builder (bernode_sort.h).
#include "bernode_sort.h"

#include <utility>

#include "bernode_decoders.h"
#include "bernode_values.h"

namespace {

// sortRequest fields.
constexpr unsigned kTagInputSets = 3;
constexpr unsigned kTagSortedName = 4;
constexpr unsigned kTagSequence = 5;
// SortKeySpec: sortElement generic [1] / databaseSpecific [2] (constructed), then the primitive
// sortRelation [1] and caseSensitivity [2], and missingValueAction [3].
constexpr unsigned kTagGeneric = 1;
constexpr unsigned kTagDatabaseSpecific = 2;
constexpr unsigned kTagRelation = 1;
constexpr unsigned kTagCase = 2;
constexpr unsigned kTagMissing = 3;
// SortKey arms and missingValueAction arms.
constexpr unsigned kTagSortField = 0;
constexpr unsigned kTagElementSpec = 1;
constexpr unsigned kTagSortAttributes = 2;
constexpr unsigned kTagAbort = 1;
constexpr unsigned kTagNull = 2;
constexpr unsigned kTagMissingData = 3;
// sortResponse fields.
constexpr unsigned kTagResultSetStatus = 4;

constexpr unsigned kUniversalOid = 6;
constexpr long kUseType = 1;
constexpr const char* kBib1 = "1.2.840.10003.3.1";

// bib-1 codes of the problems a request can have.
enum : int {
    kCannotSort = 207,
    kNoSortedName = 208,
    kDatabaseSpecific = 210,
    kTooManyKeys = 211,
    kDuplicateKeys = 212,
    kIllegalRelation = 214,
    kIllegalCase = 215,
    kIllegalMissing = 216,
    kUnsupportedAttributeSet = 121,
    kTooManyInputs = 230,
    kIllegalSort = 237,
};

// sortField texts that name a key, as yaz-client and ZOOM send a field without "=".
const struct {
    const char* name;
    long use;
} kFieldNames[] = {{"title", 4}, {"ti", 4}, {"author", 1003}, {"au", 1003}, {"date", 31}, {"year", 31}};

CZSortProblem Problem(int code, std::string addinfo) { return {code, std::move(addinfo)}; }

bool IsPrimitive(const CBERNode* node) { return node != nullptr && !node->m_bConstructed; }

// A set name: a primitive string of 1 to kSortMaxNameLength octets.
bool ReadName(const CBERNode* node, bool utf8, std::string& name) {
    if (!IsPrimitive(node) || node->m_baContent.empty() || node->m_baContent.size() > kSortMaxNameLength)
        return false;
    DecodeGeneralString(node->m_baContent, name, utf8);
    return !name.empty();
}

CZSortProblem ReadInputSets(const CBERNode* list, bool utf8, std::vector<std::string>& names) {
    if (list == nullptr || !list->m_bConstructed || list->m_arrChildren.empty())
        return Problem(kIllegalSort, "no input result set");
    if (list->m_arrChildren.size() > 1)
        return Problem(kTooManyInputs, std::to_string(list->m_arrChildren.size()));
    std::string name;
    if (!ReadName(list->m_arrChildren[0], utf8, name))
        return Problem(kIllegalSort, "bad input result set name");
    names.push_back(name);
    return {};
}

CZSortProblem ReadField(const CBERNode* node, CZSortKeySpec& key) {
    DecodeOctetString(node->m_baContent, key.m_field);
    for (const auto& known : kFieldNames)
        if (key.m_field == known.name) {
            key.m_use = known.use;
            return {};
        }
    return Problem(kCannotSort, key.m_field.substr(0, 64));
}

CZSortProblem ReadAttributes(CBERNode* node, CZSortKeySpec& key) {
    std::string set;
    for (const CBERNode* child : node->m_arrChildren)
        if (IsPrimitive(child) && child->m_byClass == BER_UNIVERSAL && child->m_uTag == kUniversalOid)
            DecodeOID(child->m_baContent, set);
    if (set != kBib1)
        return Problem(kUnsupportedAttributeSet, set);
    std::vector<std::pair<long, long>> attributes;
    if (DecodeAttributeList(node, attributes) < 0)
        return Problem(kIllegalSort, "no attribute list");
    for (const auto& [type, value] : attributes)
        if (type == kUseType) {
            key.m_use = value;
            return {};
        }
    return Problem(kCannotSort, "no use attribute");
}

// sortElement: generic [1] { sortField [0] | elementSpec [1] | sortAttributes [2] }.
CZSortProblem ReadElement(CBERNode* element, CZSortKeySpec& key) {
    if (element == nullptr || !element->m_bConstructed)
        return Problem(kIllegalSort, "no sort element");
    if (element->m_uTag == kTagDatabaseSpecific)
        return Problem(kDatabaseSpecific, "");
    if (element->m_uTag != kTagGeneric || element->m_arrChildren.size() != 1 || element->m_arrChildren[0] == nullptr)
        return Problem(kIllegalSort, "bad sort element");
    CBERNode* sortKey = element->m_arrChildren[0];
    if (sortKey->m_uTag == kTagSortField && IsPrimitive(sortKey))
        return ReadField(sortKey, key);
    if (sortKey->m_uTag == kTagSortAttributes && sortKey->m_bConstructed)
        return ReadAttributes(sortKey, key);
    if (sortKey->m_uTag == kTagElementSpec)
        return Problem(kCannotSort, "elementSpec");
    return Problem(kIllegalSort, "bad sort key");
}

CZSortProblem ReadMissing(const CBERNode* node, CZSortKeySpec& key) {
    const CBERNode* arm = node->m_arrChildren.size() == 1 ? node->m_arrChildren[0] : nullptr;
    if (!IsPrimitive(arm) || !node->m_bConstructed)
        return Problem(kIllegalMissing, "");
    if (arm->m_uTag == kTagAbort) {
        key.m_missing = CZMissingAction::kAbort;
    } else if (arm->m_uTag == kTagNull) {
        key.m_missing = CZMissingAction::kNull;
    } else if (arm->m_uTag == kTagMissingData && arm->m_baContent.size() <= kSortMaxMissingData) {
        key.m_missing = CZMissingAction::kValue;
        key.m_missingData.assign(arm->m_baContent.begin(), arm->m_baContent.end());
    } else {
        return Problem(kIllegalMissing, std::to_string(arm->m_uTag));
    }
    return {};
}

// A primitive INTEGER field of a SortKeySpec that must be 0 or 1.
bool ReadFlag(const CBERNode* node, bool& flag, long& value) {
    if (!IsPrimitive(node) || !DecodeInteger(node->m_baContent, value) || value < 0 || value > 1)
        return false;
    flag = value == 1;
    return true;
}

CZSortProblem ReadKeySpec(CBERNode* spec, CZSortKeySpec& key) {
    if (spec == nullptr || !spec->m_bConstructed || spec->m_arrChildren.empty())
        return Problem(kIllegalSort, "bad sort key spec");
    if (CZSortProblem p = ReadElement(spec->m_arrChildren[0], key))
        return p;
    bool haveRelation = false;
    bool haveCase = false;
    for (size_t i = 1; i < spec->m_arrChildren.size(); ++i) {
        const CBERNode* field = spec->m_arrChildren[i];
        long value = -1;
        if (field == nullptr)
            return Problem(kIllegalSort, "bad sort key spec");
        if (field->m_uTag == kTagRelation) {
            if (!ReadFlag(field, key.m_descending, value))
                return Problem(kIllegalRelation, std::to_string(value));
            haveRelation = true;
        } else if (field->m_uTag == kTagCase) {
            bool insensitive = false;
            if (!ReadFlag(field, insensitive, value))
                return Problem(kIllegalCase, std::to_string(value));
            key.m_caseSensitive = !insensitive;
            haveCase = true;
        } else if (field->m_uTag == kTagMissing) {
            if (CZSortProblem p = ReadMissing(field, key))
                return p;
        }
    }
    if (!haveRelation)
        return Problem(kIllegalRelation, "");
    if (!haveCase)
        return Problem(kIllegalCase, "");
    return {};
}

CZSortProblem ReadSequence(const CBERNode* sequence, std::vector<CZSortKeySpec>& keys) {
    if (sequence == nullptr || !sequence->m_bConstructed || sequence->m_arrChildren.empty())
        return Problem(kCannotSort, "no sort keys");
    if (sequence->m_arrChildren.size() > kSortMaxKeys)
        return Problem(kTooManyKeys, std::to_string(sequence->m_arrChildren.size()));
    for (CBERNode* spec : sequence->m_arrChildren) {
        CZSortKeySpec key;
        if (CZSortProblem p = ReadKeySpec(spec, key))
            return p;
        for (const CZSortKeySpec& earlier : keys)
            if (earlier.m_use == key.m_use)
                return Problem(kDuplicateKeys, std::to_string(key.m_use));
        keys.push_back(std::move(key));
    }
    return {};
}

}  // namespace

CZSortProblem DecodeSortRequest(CBERNode* apdu, bool utf8, CZSortRequest& request) {
    request.m_referenceId = DecodeReferenceId(apdu);
    if (apdu == nullptr)
        return Problem(kIllegalSort, "no request");
    const CBERNode* inputs = nullptr;
    const CBERNode* sortedName = nullptr;
    const CBERNode* sequence = nullptr;
    for (const CBERNode* child : apdu->m_arrChildren) {
        if (child == nullptr || child->m_byClass != BER_CONTEXT)
            continue;
        if (child->m_uTag == kTagInputSets)
            inputs = child;
        else if (child->m_uTag == kTagSortedName)
            sortedName = child;
        else if (child->m_uTag == kTagSequence)
            sequence = child;
    }
    if (CZSortProblem p = ReadInputSets(inputs, utf8, request.m_inputSets))
        return p;
    if (!ReadName(sortedName, utf8, request.m_outputSet))
        return Problem(kNoSortedName, "");
    return ReadSequence(sequence, request.m_keys);
}

CBERNode* BuildSortResponse(CBERNode& root, const CZReferenceId& ref, const CZSortResponse& answer) {
    CBERNode* response = root.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, Z_SORT_RESPONSE);
    if (ref.m_present)
        response->NewChildCharNode(kZTagReferenceId, BER_CONTEXT, ref.m_octets);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagSortStatus, answer.m_status);
    if (answer.m_resultSetStatus != 0)
        response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kTagResultSetStatus, answer.m_resultSetStatus);
    if (answer.m_code != 0) {
        CBERNode* diagnostics = response->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, kZTagSortDiagnostics);
        AddBib1Diagnostic(diagnostics, BER_UNIVERSAL, 16, answer.m_code, answer.m_addinfo);
    }
    return response;
}
