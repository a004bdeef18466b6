// Z39.50 request APDUs into request values (bernode_apdu.h).
#include "bernode_apdu.h"

#include "bernode_decoders.h"
#include "bernode_values.h"

namespace {

const std::vector<CBERNode*>& Children(const CBERNode* apdu) {
    static const std::vector<CBERNode*> kNone;
    return apdu ? apdu->m_arrChildren : kNone;
}

std::string NameOrDefault(std::string name) { return name.empty() ? "default" : name; }

// A generic element set name "F" (or "f") as the first child of an ElementSetNames node.
std::string ElementSetName(const CBERNode* names) {
    std::string elements;
    if (!names->m_arrChildren.empty() && names->m_arrChildren[0] != nullptr)
        DecodeGeneralString(names->m_arrChildren[0]->m_baContent, elements, false);
    return elements;
}

bool IsFullElementSet(const CBERNode* names) {
    const std::string elements = ElementSetName(names);
    return elements == "F" || elements == "f";
}

void ReadCount(const CBERNode* node, long& value) {
    if (!DecodeInteger(node->m_baContent, value) || value < 0)
        value = 0;
}

}  // namespace

CZReferenceId DecodeReferenceId(const CBERNode* apdu) {
    CZReferenceId ref;
    for (const CBERNode* child : Children(apdu)) {
        if (child != nullptr && child->m_uTag == kZTagReferenceId && !child->m_bConstructed) {
            ref.m_present = true;
            ref.m_octets = child->m_baContent;
            break;
        }
    }
    return ref;
}

void DecodeInitRequest(CBERNode* apdu, CZInitRequest& request) {
    request.m_referenceId = DecodeReferenceId(apdu);
    request.m_charsetProposed = false;  // each Init answers only the negotiation it carries
    for (CBERNode* child : Children(apdu)) {
        if (child == nullptr)
            continue;
        if (child->m_uTag == kZTagIdAuthentication) {
            std::string group = request.m_groupId;
            std::string user = request.m_userId;
            std::string password = request.m_password;
            int form = request.m_authForm;
            if (DecodeAuthentication(child, group, user, password, form)) {
                request.m_groupId = group;
                request.m_userId = user;
                request.m_password = password;
                request.m_authForm = form;
            }
        } else if (child->m_uTag == kZTagProtocolVersion && !child->m_bConstructed) {
            std::string versions;
            DecodeBitString(child->m_baContent, versions);
            request.m_version3 = versions.size() > 2 && versions[2] == 'y';
        } else if (child->m_uTag == kZTagOtherInformation) {
            request.m_charsetProposed = true;
            bool utf8 = false;
            bool records = false;
            bool wrapped = false;
            DecodeCharSetNegotiation(child, utf8, records, &wrapped);
            request.m_utf8 = utf8;
            request.m_recordsInCharset = utf8 && records;
            request.m_charsetWrapped = wrapped;
        }
        // options, sizes and implementation fields do not change the answer
    }
}

void DecodeSearchRequest(CBERNode* apdu, bool utf8, CZSearchRequest& request) {
    request.m_referenceId = DecodeReferenceId(apdu);
    for (CBERNode* child : Children(apdu)) {
        if (child == nullptr)
            continue;
        switch (child->m_uTag) {
        case kZTagResultSetName:
            DecodeGeneralString(child->m_baContent, request.m_resultSetName, utf8);
            break;
        case kZTagDatabaseNames:
            request.m_hasDatabaseNames = true;
            request.m_databaseNames.clear();
            DecodeDBName(child, request.m_databaseNames, utf8);
            break;
        case kZTagQuery:
            request.m_rpn = GetRPNStructureRoot(child);
            break;
        case kZTagSmallSetUpperBound:
            ReadCount(child, request.m_smallSetUpperBound);
            break;
        case kZTagLargeSetLowerBound:
            ReadCount(child, request.m_largeSetLowerBound);
            break;
        case kZTagMediumSetPresentNumber:
            ReadCount(child, request.m_mediumSetPresentNumber);
            break;
        case kZTagSmallSetElementSetNames:
            request.m_smallSetFull = IsFullElementSet(child);
            break;
        case kZTagMediumSetElementSetNames:
            request.m_mediumSetFull = IsFullElementSet(child);
            break;
        case kZTagPreferredRecordSyntax:
            if (!child->m_bConstructed)
                DecodeOID(child->m_baContent, request.m_recordSyntax);
            break;
        default:
            break;  // the replace indicator: a set of the same name is replaced
        }
    }
    request.m_resultSetName = NameOrDefault(request.m_resultSetName);
}

void DecodePresentRequest(CBERNode* apdu, bool utf8, CZPresentRequest& request) {
    request.m_referenceId = DecodeReferenceId(apdu);
    for (CBERNode* child : Children(apdu)) {
        if (child == nullptr)
            continue;
        switch (child->m_uTag) {
        case kZTagResultSetId:
            DecodeGeneralString(child->m_baContent, request.m_resultSetId, utf8);
            break;
        case kZTagStartPoint:
            if (!DecodeInteger(child->m_baContent, request.m_start))
                request.m_start = -1;
            break;
        case kZTagRecordsRequested:
            if (!DecodeInteger(child->m_baContent, request.m_count))
                request.m_count = 0;
            break;
        case kZTagRecordComposition:
            request.m_elementSetName = ElementSetName(child);
            request.m_fullRecords = request.m_elementSetName == "F" || request.m_elementSetName == "f";
            break;
        case kZTagPreferredRecordSyntax:
            if (!child->m_bConstructed)
                DecodeOID(child->m_baContent, request.m_recordSyntax);
            break;
        default:
            break;
        }
    }
    request.m_resultSetId = NameOrDefault(request.m_resultSetId);
}

void DecodeExtServicesRequest(CBERNode* apdu, CZESRequest& request) {
    request.m_referenceId = DecodeReferenceId(apdu);
    for (CBERNode* child : Children(apdu)) {
        if (child == nullptr)
            continue;
        if (child->m_uTag == kZTagPackageType)
            DecodeOID(child->m_baContent, request.m_packageType);
        else if (child->m_uTag == kZTagTaskSpecific)
            request.m_esRequest = DecodeESRequestPtr(child);
    }
}

bool DecodeGeneralTerm(const CBERNode* apt, std::string& term, bool utf8) {
    term.clear();
    for (const CBERNode* child : Children(apt))
        if (child != nullptr && child->m_uTag == kZTagGeneralTerm && !child->m_bConstructed)
            return DecodeGeneralString(child->m_baContent, term, utf8) && !term.empty();
    return false;
}
