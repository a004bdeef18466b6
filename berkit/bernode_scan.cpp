// scanRequest decoder and scanResponse builder (bernode_scan.h).
#include "bernode_scan.h"

#include "bernode_decoders.h"
#include "bernode_values.h"
#include "bernode_z3950.h"

namespace {

enum : unsigned {
    kSeenDatabases = 1,
    kSeenAttributeSet = 2,
    kSeenTerm = 4,
    kSeenStep = 8,
    kSeenCount = 16,
    kSeenPosition = 32,
    kSeenReference = 64,
    kSeenOtherInfo = 128,
};

// One field of a scanRequest: its class, tag and form, and the bit that marks it as read.
struct ScanField {
    unsigned char m_class;
    unsigned m_tag;
    bool m_constructed;
    unsigned m_seen;
    const char* m_name;
};

constexpr ScanField kScanFields[] = {
    {BER_CONTEXT, kZTagReferenceId, false, kSeenReference, "referenceId"},
    {BER_CONTEXT, kZTagScanDatabaseNames, true, kSeenDatabases, "databaseNames"},
    {BER_UNIVERSAL, 6, false, kSeenAttributeSet, "attributeSet"},
    {BER_CONTEXT, kZTagAttributesPlusTerm, true, kSeenTerm, "termListAndStartPoint"},
    {BER_CONTEXT, kZTagScanStepSize, false, kSeenStep, "stepSize"},
    {BER_CONTEXT, kZTagScanTermsRequested, false, kSeenCount, "numberOfTermsRequested"},
    {BER_CONTEXT, kZTagScanPreferredPosition, false, kSeenPosition, "preferredPositionInResponse"},
    {BER_CONTEXT, kZTagOtherInformation, true, kSeenOtherInfo, "otherInfo"},
};

const ScanField* FindField(const CBERNode& node) {
    for (const ScanField& field : kScanFields)
        if (field.m_class == node.m_byClass && field.m_tag == node.m_uTag)
            return &field;
    return nullptr;
}

bool ReadDatabases(CBERNode* node, bool utf8, CZScanRequest& request, std::string& error) {
    if (node->m_arrChildren.size() > kZScanMaxDatabases) {
        error = "databaseNames: more than " + std::to_string(kZScanMaxDatabases);
        return false;
    }
    for (const CBERNode* name : node->m_arrChildren)
        if (name == nullptr || name->m_bConstructed || name->m_uTag != 105) {
            error = "databaseNames: not a DatabaseName";
            return false;
        }
    DecodeDBName(node, request.m_databaseNames, utf8);
    if (request.m_databaseNames.empty()) {
        error = "databaseNames: empty";
        return false;
    }
    return true;
}

bool ReadStartTerm(CBERNode* node, bool utf8, CZScanRequest& request, std::string& error) {
    if (DecodeAttributeList(node, request.m_attributes) < 0) {
        error = "termListAndStartPoint: no attribute list";
        return false;
    }
    const CBERNode* term = nullptr;
    for (const CBERNode* child : node->m_arrChildren)
        if (child != nullptr && child->m_uTag == kZTagGeneralTerm && !child->m_bConstructed)
            term = child;
    if (term == nullptr) {
        error = "termListAndStartPoint: no general term";
        return false;
    }
    DecodeGeneralString(term->m_baContent, request.m_term, utf8);
    return true;
}

bool ReadInteger(const CBERNode& node, long& value, const char* name, std::string& error) {
    if (!DecodeInteger(node.m_baContent, value)) {
        error = std::string(name) + ": not an integer";
        return false;
    }
    return true;
}

}  // namespace

bool DecodeScanRequest(CBERNode* apdu, bool utf8, CZScanRequest& request, std::string& error) {
    request = CZScanRequest();
    if (apdu == nullptr) {
        error = "no scanRequest";
        return false;
    }
    unsigned seen = 0;
    for (CBERNode* child : apdu->m_arrChildren) {
        const ScanField* field = child ? FindField(*child) : nullptr;
        if (field == nullptr || (child->m_bConstructed != 0) != field->m_constructed) {
            error = child ? "unexpected field [" + std::to_string(child->m_uTag) + "]" : "empty field";
            return false;
        }
        if (seen & field->m_seen) {
            error = std::string(field->m_name) + " repeated";
            return false;
        }
        seen |= field->m_seen;
        bool ok = true;
        switch (field->m_seen) {
        case kSeenReference:
            request.m_referenceId = {true, child->m_baContent};
            break;
        case kSeenDatabases:
            ok = ReadDatabases(child, utf8, request, error);
            break;
        case kSeenTerm:
            ok = ReadStartTerm(child, utf8, request, error);
            break;
        case kSeenStep:
            ok = ReadInteger(*child, request.m_stepSize, field->m_name, error);
            break;
        case kSeenCount:
            ok = ReadInteger(*child, request.m_termsRequested, field->m_name, error);
            break;
        case kSeenPosition:
            ok = ReadInteger(*child, request.m_preferredPosition, field->m_name, error);
            break;
        default:
            break;  // the attribute set (bib-1 is assumed) and otherInfo are read past
        }
        if (!ok)
            return false;
    }
    for (unsigned required : {kSeenDatabases, kSeenTerm, kSeenCount})
        if ((seen & required) == 0) {
            for (const ScanField& field : kScanFields)
                if (field.m_seen == required)
                    error = std::string(field.m_name) + " missing";
            return false;
        }
    return true;
}

CBERNode* BuildScanResponse(CBERNode& root, const CZReferenceId& ref, const CZScanResponse& scan) {
    CBERNode* response = root.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, Z_SCAN_RESPONSE);
    if (ref.m_present)
        response->NewChildCharNode(kZTagReferenceId, BER_CONTEXT, ref.m_octets);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagScanResponseStepSize, 0);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagScanStatus, scan.m_status);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagScanEntriesReturned,
                                  static_cast<int>(scan.m_entries.size()));
    if (scan.m_positionOfTerm > 0)
        response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagScanPositionOfTerm, scan.m_positionOfTerm);
    CBERNode* listEntries = response->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, kZTagScanEntries);
    CBERNode* entries = listEntries->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, kZTagScanEntryList);
    for (const CZScanEntry& entry : scan.m_entries) {
        CBERNode* info = entries->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, kZTagScanTermInfo);
        CByteArray term(entry.m_term.begin(), entry.m_term.end());
        info->NewChildCharNode(kZTagGeneralTerm, BER_CONTEXT, term);
        info->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagScanOccurrences,
                                  static_cast<int>(entry.m_occurrences));
    }
    return response;
}
