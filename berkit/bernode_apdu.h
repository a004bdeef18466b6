#pragma once
// The Z39.50 APDUs the server serves, as values: decoders that read a request APDU's fields into
// a request value, and builders that append a response APDU to a response root. Field tags are
// those of bernode_z3950.h. Decoders follow tag numbers only and skip what they do not know; any
// tree DecodeBER can produce is safe input. Nodes a request value points at stay owned by the tree.
// Thread safety: none needed; each call touches only the caller's trees and values.

#include <string>
#include <vector>

#include "bernode.h"
#include "bernode_z3950.h"

// The referenceId of a request: present or not, and its octets. Every response echoes it.
struct CZReferenceId {
    bool m_present = false;
    CByteArray m_octets;
};

struct CZInitRequest {
    CZReferenceId m_referenceId;
    // Come in as the session's current values: an Init without idAuthentication keeps them.
    std::string m_groupId;
    std::string m_userId;
    std::string m_password;
    int m_authForm = 0;              // 0 none/anonymous, AUTH_FORM_OPEN, AUTH_FORM_IDPASS
    bool m_charsetProposed = false;  // otherInformation present
    bool m_utf8 = false;
    bool m_recordsInCharset = false;
    bool m_charsetWrapped = false;
};

struct CZSearchRequest {
    CZReferenceId m_referenceId;
    std::string m_resultSetName;       // "default" when absent or empty
    bool m_hasDatabaseNames = false;
    std::vector<std::string> m_databaseNames;
    CBERNode* m_rpn = nullptr;         // the top RPNStructure, or null
};

struct CZPresentRequest {
    CZReferenceId m_referenceId;
    std::string m_resultSetId;         // "default" when absent or empty
    long m_start = -1;                 // -1 when absent or undecodable
    long m_count = 0;
    bool m_fullRecords = false;        // simple element set name "F" (or "f")
    std::string m_recordSyntax;        // preferredRecordSyntax OID, "" when absent
};

struct CZESRequest {
    CZReferenceId m_referenceId;
    std::string m_packageType;         // OID
    CBERNode* m_esRequest = nullptr;   // the esRequest [1] of taskSpecificParameters, or null
};

// The referenceId [2] among the APDU's children.
CZReferenceId DecodeReferenceId(const CBERNode* apdu);
void DecodeInitRequest(CBERNode* apdu, CZInitRequest& request);
void DecodeSearchRequest(CBERNode* apdu, bool utf8, CZSearchRequest& request);
void DecodePresentRequest(CBERNode* apdu, bool utf8, CZPresentRequest& request);
void DecodeExtServicesRequest(CBERNode* apdu, CZESRequest& request);
// The general term [45] of an AttributesPlusTerm [102] node, whatever its attribute list holds
// (UTF-8 converted to the ANSI code page when utf8). False when there is none or it is empty.
bool DecodeGeneralTerm(const CBERNode* apt, std::string& term, bool utf8);

// --- responses: each appends one APDU to `root` and returns it --------------------------------

struct CZInitResponse {
    bool m_result = false;
    bool m_negotiated = false;        // answer the UTF-8 proposal (adds otherInformation)
    bool m_recordsInCharset = false;
    bool m_charsetWrapped = false;
    bool m_sort = false;              // announce the sort option (bit 8)
};
CBERNode* BuildInitResponse(CBERNode& root, const CZReferenceId& ref, const CZInitResponse& init);
CBERNode* BuildSearchResponse(CBERNode& root, const CZReferenceId& ref, int resultCount, int nextPosition,
                              bool status);
CBERNode* BuildPresentResponse(CBERNode& root, const CZReferenceId& ref, int returned, int nextPosition,
                               int status);
CBERNode* BuildESResponse(CBERNode& root, const CZReferenceId& ref, int status);
CBERNode* BuildCloseResponse(CBERNode& root, const CZReferenceId& ref, int reason);
// scanResponse with scanStatus failure, no entries and the diagnostic.
CBERNode* BuildScanFailure(CBERNode& root, const CZReferenceId& ref, int code, const std::string& addinfo);
// sortResponse with sortStatus failure and the diagnostic.
CBERNode* BuildSortFailure(CBERNode& root, const CZReferenceId& ref, int code, const std::string& addinfo);

// A bib-1 DefaultDiagFormat (diagnosticSetId, condition, addinfo as a VisibleString of at most
// 200 octets) under `parent` with the given tag: [130] in a search or present response
// (nonSurrogateDiagnostic), the universal SEQUENCE in a list of DiagRec.
CBERNode* AddBib1Diagnostic(CBERNode* parent, unsigned char byClass, unsigned tag, int code,
                            const std::string& addinfo);
// The records [28] of a present response.
CBERNode* AddResponseRecords(CBERNode* response);
// One NamePlusRecord with an ISO 2709 record of syntax `oid`, or with a surrogate diagnostic.
void AddRetrievalRecord(CBERNode* records, const std::string& name, const std::string& oid, CByteArray& marc);
void AddSurrogateDiagnostic(CBERNode* records, const std::string& name, int code, const std::string& addinfo);
