// Decoders of the Init and Extended Services requests and of database names, plus the
// character-set negotiation builder of the initResponse.
#include "bernode_decoders.h"

#include "bernode_values.h"

namespace {

const char kNegotiationOID[] = "1.2.840.10003.15.3";
const char kUTF8EncodingLevel[] = "1.0.10646.1.0.8";

// First child of `node` with tag `tag`, or null.
CBERNode* FindChild(CBERNode* node, unsigned int tag) {
    if (!node) return nullptr;
    for (CBERNode* child : node->m_arrChildren)
        if (child && child->m_uTag == tag) return child;
    return nullptr;
}

CBERNode* FirstChild(CBERNode* node) {
    return node && !node->m_arrChildren.empty() ? node->m_arrChildren[0] : nullptr;
}

// proposedCharSets / selectedCharSets [1]: does it name iso10646 UTF-8?
bool NamesUtf8(CBERNode* charSets) {
    for (CBERNode* set : charSets->m_arrChildren) {
        if (!set || set->m_uTag != 2) continue;  // iso10646
        for (CBERNode* level : set->m_arrChildren) {
            if (!level || level->m_uTag != 2) continue;  // encodingLevel
            std::string oid;
            DecodeOID(level->m_baContent, oid);
            if (oid == kUTF8EncodingLevel) return true;
        }
    }
    return false;
}

// Looks for the negotiation ([1] proposal / [2] response) inside one externallyDefinedInfo [4]:
// either directly below it or inside its single-ASN1-type [0]. Returns it if the EXTERNAL's
// direct-reference is the negotiation OID.
CBERNode* NegotiationInExternal(CBERNode* external, bool& wrapped) {
    CBERNode* candidate = nullptr;
    std::string oid;
    for (CBERNode* child : external->m_arrChildren) {
        if (!child) continue;
        if (child->m_uTag == 1 || child->m_uTag == 2) {
            candidate = child;
            wrapped = false;
        } else if (child->m_uTag == 0) {
            CBERNode* inner = FirstChild(child);
            if (inner && (inner->m_uTag == 1 || inner->m_uTag == 2)) {
                candidate = inner;
                wrapped = true;
            }
        } else if (child->m_uTag == 6) {
            DecodeOID(child->m_baContent, oid);
        }
    }
    return oid == kNegotiationOID ? candidate : nullptr;
}

}  // namespace

bool DecodeDBName(CBERNode* node, std::vector<std::string>& names, bool utf8) {
    if (!node) return false;
    for (CBERNode* child : node->m_arrChildren) {
        if (!child || child->m_uTag != 105) continue;
        std::string name;
        DecodeGeneralString(child->m_baContent, name, utf8);
        names.push_back(name);
    }
    return true;
}

bool DecodeAuthentication(CBERNode* node, std::string& group, std::string& user, std::string& password,
                          int& form) {
    CBERNode* choice = FirstChild(node);
    if (!choice) return false;
    if (choice->m_uTag == 16) {  // idPass
        form = AUTH_FORM_IDPASS;
        for (CBERNode* field : choice->m_arrChildren) {
            if (!field) continue;
            if (field->m_uTag == 0) DecodeOctetString(field->m_baContent, group);
            else if (field->m_uTag == 1) DecodeOctetString(field->m_baContent, user);
            else if (field->m_uTag == 2) DecodeOctetString(field->m_baContent, password);
        }
    } else if (choice->m_uTag == 26 || choice->m_uTag == 27) {  // open: "user/password"
        form = AUTH_FORM_OPEN;
        std::string text;
        DecodeGeneralString(choice->m_baContent, text, false);
        size_t slash = text.find('/');
        if (slash == std::string::npos) {
            user = text;
        } else {
            user = text.substr(0, slash);
            if (slash + 1 < text.size()) password = text.substr(slash + 1);
        }
    }
    return true;
}

int DecodeCharSetNegotiation(CBERNode* node, bool& utf8, bool& recordsInCharSet, bool* wrapped) {
    utf8 = false;
    recordsInCharSet = false;
    if (!node || node->m_uTag != 201) return -1;
    CBERNode* negotiation = nullptr;
    bool isWrapped = false;
    for (CBERNode* unit : node->m_arrChildren) {
        if (!unit || unit->m_uTag != 16) continue;
        for (CBERNode* external : unit->m_arrChildren) {
            if (!external || external->m_uTag != 4) continue;
            if (CBERNode* found = NegotiationInExternal(external, isWrapped)) negotiation = found;
        }
        if (negotiation) break;
    }
    if (!negotiation) return -1;
    for (CBERNode* child : negotiation->m_arrChildren) {
        if (!child) continue;
        if (child->m_uTag == 1 && NamesUtf8(child)) utf8 = true;
        else if (child->m_uTag == 3) DecodeBoolean(child->m_baContent, recordsInCharSet);
    }
    if (!utf8) recordsInCharSet = false;
    if (wrapped) *wrapped = isWrapped;
    return 0;
}

CBERNode* CBERNode::NewChildOtherInfoUTF8(bool proposal, bool recordsInCharSet, bool wrapped) {
    CBERNode* otherInfo = NewChildconstructedNode(201, BER_CONTEXT);
    CBERNode* unit = otherInfo->NewChildconstructedNode(16, BER_UNIVERSAL);
    CBERNode* external = unit->NewChildconstructedNode(4, BER_CONTEXT);
    external->NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, kNegotiationOID);
    CBERNode* holder = wrapped ? external->NewChildconstructedNode(0, BER_CONTEXT) : external;
    CBERNode* negotiation = holder->NewChildconstructedNode(proposal ? 1 : 2, BER_CONTEXT);
    CBERNode* charSets = negotiation->NewChildconstructedNode(1, BER_CONTEXT);
    CBERNode* iso10646 = charSets->NewChildconstructedNode(2, BER_CONTEXT);
    iso10646->NewChildOIDNode(BER_CONTEXT, BER_PRIMITIVE, 2, kUTF8EncodingLevel);
    negotiation->NewChildBooleanNode(BER_CONTEXT, BER_PRIMITIVE, 3, recordsInCharSet);
    return otherInfo;
}

CBERNode* CBERNode::NewChildOtherInfoDiag1(int, std::string) { return nullptr; }

CBERNode* DecodeESRequestPtr(CBERNode* node) {
    if (!node || node->m_uTag != 10) return nullptr;
    CBERNode* single = FindChild(node, 0);
    CBERNode* request = FirstChild(single);
    return request && request->m_uTag == 1 ? request : nullptr;
}

CBERNode* DecodeESRequest(CBERNode* esRequest, long& action, std::string& database, bool utf8) {
    if (!esRequest || esRequest->m_arrChildren.empty()) return nullptr;
    CBERNode* list = nullptr;
    if (esRequest->m_arrChildren.size() >= 2) {
        CBERNode* notToKeep = esRequest->m_arrChildren[1];
        if (notToKeep && notToKeep->m_uTag == 2) {
            CBERNode* first = FirstChild(notToKeep);
            if (first && first->m_uTag == 16) list = first;
        }
    }
    CBERNode* toKeep = esRequest->m_arrChildren[0];
    if (toKeep && toKeep->m_uTag == 1) {
        CBERNode* part = FirstChild(toKeep);
        if (part && part->m_uTag == 16) {
            for (CBERNode* field : part->m_arrChildren) {
                if (!field) continue;
                if (field->m_uTag == 1) {
                    long value = 0;
                    if (DecodeInteger(field->m_baContent, value)) action = value;
                } else if (field->m_uTag == 2) {
                    DecodeGeneralString(field->m_baContent, database, utf8);
                }
            }
        }
    }
    return list;
}

int DecodeESUpdateRecord(CBERNode* record, std::string&, std::string& syntax, CByteArray& data) {
    if (!record || record->m_uTag != 16) return -1;
    for (CBERNode* child : record->m_arrChildren) {
        if (!child || child->m_uTag != 4) continue;
        for (CBERNode* part : child->m_arrChildren) {
            if (!part) continue;
            if (part->m_uTag == 1) data = part->m_baContent;
            else if (part->m_uTag == 6) DecodeOID(part->m_baContent, syntax);
        }
    }
    return 0;
}
