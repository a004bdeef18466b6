// deleteResultSetRequest decoder and deleteResultSetResponse builder (bernode_delset.h).
#include "bernode_delset.h"

#include "bernode_values.h"
#include "bernode_z3950.h"

namespace {

bool ReadNames(const CBERNode& list, bool utf8, CZDeleteRequest& request, std::string& error) {
    if (list.m_arrChildren.size() > kZDeleteMaxNames) {
        error = "resultSetList: more than " + std::to_string(kZDeleteMaxNames) + " names";
        return false;
    }
    for (const CBERNode* name : list.m_arrChildren) {
        if (name == nullptr || name->m_bConstructed || name->m_uTag != kZTagResultSetId) {
            error = "resultSetList: not a ResultSetId";
            return false;
        }
        std::string text;
        DecodeGeneralString(name->m_baContent, text, utf8);
        request.m_names.push_back(text);
    }
    return true;
}

}  // namespace

bool DecodeDeleteRequest(CBERNode* apdu, bool utf8, CZDeleteRequest& request, std::string& error) {
    request = CZDeleteRequest();
    if (apdu == nullptr) {
        error = "no deleteResultSetRequest";
        return false;
    }
    bool listed = false;
    for (CBERNode* child : apdu->m_arrChildren) {
        if (child == nullptr) {
            error = "empty field";
            return false;
        }
        const bool context = child->m_byClass == BER_CONTEXT;
        long function = -1;
        if (context && child->m_uTag == kZTagReferenceId && !child->m_bConstructed && !request.m_referenceId.m_present) {
            request.m_referenceId = {true, child->m_baContent};
        } else if (context && child->m_uTag == kZTagDeleteFunction && !child->m_bConstructed &&
                   request.m_function == -1 && DecodeInteger(child->m_baContent, function) &&
                   (function == Z_DELETE_LIST || function == Z_DELETE_ALL)) {
            request.m_function = static_cast<int>(function);
        } else if (child->m_byClass == BER_UNIVERSAL && child->m_uTag == 16 && child->m_bConstructed && !listed) {
            listed = true;
            if (!ReadNames(*child, utf8, request, error))
                return false;
        } else if (!(context && child->m_uTag == kZTagOtherInformation && child->m_bConstructed)) {
            error = "unexpected or repeated field [" + std::to_string(child->m_uTag) + "]";
            return false;
        }
    }
    if (request.m_function == -1) {
        error = "deleteFunction missing or not list (0) or all (1)";
        return false;
    }
    if (request.m_function == Z_DELETE_LIST && request.m_names.empty()) {
        error = "resultSetList missing for a list delete";
        return false;
    }
    return true;
}

CBERNode* BuildDeleteResponse(CBERNode& root, const CZReferenceId& ref, const CZDeleteResponse& answer) {
    CBERNode* response = root.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, Z_DELETE_RESULT_SET_RESPONSE);
    if (ref.m_present)
        response->NewChildCharNode(kZTagReferenceId, BER_CONTEXT, ref.m_octets);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagDeleteOperationStatus, answer.m_status);
    if (!answer.m_sets.empty()) {
        CBERNode* statuses = response->NewChildNoContentNode(
            BER_CONTEXT, BER_CONSTRUCTED, answer.m_bulk ? kZTagDeleteBulkStatuses : kZTagDeleteListStatuses);
        for (const auto& [name, status] : answer.m_sets) {
            CBERNode* entry = statuses->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
            entry->NewChildCharNode(kZTagResultSetId, BER_CONTEXT, CByteArray(name.begin(), name.end()));
            entry->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagDeleteSetStatus, status);
        }
    }
    if (answer.m_notDeleted > 0)
        response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagDeleteNotDeleted, answer.m_notDeleted);
    return response;
}
