#pragma once
// The deleteResultSetRequest and its deleteResultSetResponse: a strict decoder of the request
// (the delete function and the names of a list) and a builder of the answer with one status per
// set. Field tags are those of bernode_z3950.h.
// Thread safety: none needed; each call touches only the caller's trees and values.

#include <string>
#include <utility>
#include <vector>

#include "bernode.h"
#include "bernode_apdu.h"

// Result-set names one delete may list at most.
constexpr size_t kZDeleteMaxNames = 100;

struct CZDeleteRequest {
    CZReferenceId m_referenceId;
    int m_function = -1;              // Z_DELETE_LIST or Z_DELETE_ALL
    std::vector<std::string> m_names; // the list (Z_DELETE_LIST)
};

// Reads a deleteResultSetRequest APDU. False with `error` naming the field when it is not a
// well-formed delete: no deleteFunction or one other than list and all, a list function without
// names, more than kZDeleteMaxNames names, a field of the wrong form or one no delete holds.
bool DecodeDeleteRequest(CBERNode* apdu, bool utf8, CZDeleteRequest& request, std::string& error);

struct CZDeleteResponse {
    int m_status = 0;                                 // Z_DELETE_*
    bool m_bulk = false;                              // statuses of a delete of all sets
    std::vector<std::pair<std::string, int>> m_sets;  // each set named or deleted, its status
    int m_notDeleted = 0;                             // left out when 0
};
// A deleteResultSetResponse: the operation status, then the per-set statuses as
// deleteListStatuses (a list) or bulkStatuses (all), when there are any.
CBERNode* BuildDeleteResponse(CBERNode& root, const CZReferenceId& ref, const CZDeleteResponse& answer);
