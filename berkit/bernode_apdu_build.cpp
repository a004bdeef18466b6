// Z39.50 response APDUs from response values (bernode_apdu.h).
#include "bernode_apdu.h"

#include "bernode_sort.h"

namespace {

// Preferred and exceptional message sizes the server announces.
constexpr int kMessageSize = 10240;
// Longest addinfo text sent in a diagnostic.
constexpr size_t kMaxAddinfo = 200;

CBERNode* NewApdu(CBERNode& root, int tag, const CZReferenceId& ref) {
    CBERNode* apdu = root.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, static_cast<unsigned>(tag));
    if (ref.m_present)
        apdu->NewChildCharNode(kZTagReferenceId, BER_CONTEXT, ref.m_octets);
    return apdu;
}

void AddText(CBERNode* parent, unsigned char byClass, unsigned tag, std::string text) {
    parent->NewChildCharNode(byClass, BER_PRIMITIVE, tag, text.data(), static_cast<int>(text.size()));
}

}  // namespace

CBERNode* BuildInitResponse(CBERNode& root, const CZReferenceId& ref, const CZInitResponse& init) {
    CBERNode* response = NewApdu(root, Z_INIT_RESPONSE, ref);
    response->NewChildBitStringNode(BER_CONTEXT, BER_PRIMITIVE, kZTagProtocolVersion, init.m_version3 ? "yyy" : "yy");
    response->NewChildBitStringNode(BER_CONTEXT, BER_PRIMITIVE, kZTagOptions, init.m_options.c_str());
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagPreferredMessageSize, kMessageSize);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagExceptionalRecordSize, kMessageSize);
    response->NewChildBooleanNode(BER_CONTEXT, BER_PRIMITIVE, kZTagResult, init.m_result);
    AddText(response, BER_CONTEXT, kZTagImplementationId, "OV-VK-1.0");
    AddText(response, BER_CONTEXT, kZTagImplementationName, "Orvane-1 Z39.50 Server - VK9000");
    AddText(response, BER_CONTEXT, kZTagImplementationVersion, "3");
    if (init.m_negotiated)
        response->NewChildOtherInfoUTF8(false, init.m_recordsInCharset, init.m_charsetWrapped);
    return response;
}

CBERNode* BuildSearchResponse(CBERNode& root, const CZReferenceId& ref, int resultCount, int nextPosition,
                              bool status, int returned, int presentStatus) {
    CBERNode* response = NewApdu(root, Z_SEARCH_RESPONSE, ref);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagResultCount, resultCount);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagRecordsReturned, returned);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagNextPosition, nextPosition);
    response->NewChildBooleanNode(BER_CONTEXT, BER_PRIMITIVE, kZTagSearchStatus, status);
    if (returned > 0 || presentStatus != 0)
        response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagPresentStatus, presentStatus);
    return response;
}

CBERNode* BuildPresentResponse(CBERNode& root, const CZReferenceId& ref, int returned, int nextPosition,
                               int status) {
    CBERNode* response = NewApdu(root, Z_PRESENT_RESPONSE, ref);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagRecordsReturned, returned);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagNextPosition, nextPosition);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagPresentStatus, status);
    return response;
}

CBERNode* BuildESResponse(CBERNode& root, const CZReferenceId& ref, int status) {
    CBERNode* response = NewApdu(root, Z_EXTSERVICES_RESPONSE, ref);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagOperationStatus, status);
    return response;
}

CBERNode* BuildCloseResponse(CBERNode& root, const CZReferenceId& ref, int reason) {
    CBERNode* close = NewApdu(root, Z_CLOSE, ref);
    close->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagCloseReason, reason);
    return close;
}

CBERNode* BuildScanFailure(CBERNode& root, const CZReferenceId& ref, int code, const std::string& addinfo) {
    CBERNode* response = NewApdu(root, Z_SCAN_RESPONSE, ref);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagScanStatus, Z_SCAN_FAILURE);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kZTagScanEntriesReturned, 0);
    CBERNode* entries = response->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, kZTagScanEntries);
    CBERNode* diagnostics = entries->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, kZTagScanDiagnostics);
    AddBib1Diagnostic(diagnostics, BER_UNIVERSAL, 16, code, addinfo);
    return response;
}

CBERNode* BuildSortFailure(CBERNode& root, const CZReferenceId& ref, int code, const std::string& addinfo) {
    return BuildSortResponse(root, ref, {Z_SORT_FAILURE, 0, code, addinfo});
}

CBERNode* AddBib1Diagnostic(CBERNode* parent, unsigned char byClass, unsigned tag, int code,
                            const std::string& addinfo) {
    CBERNode* diag = parent->NewChildNoContentNode(byClass, BER_CONSTRUCTED, tag);
    diag->NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, kZOidBib1Diagnostics);
    diag->NewChildIntegerNode(BER_UNIVERSAL, BER_PRIMITIVE, 2, code);
    AddText(diag, BER_UNIVERSAL, 26, addinfo.substr(0, kMaxAddinfo));  // VisibleString
    return diag;
}

CBERNode* AddResponseRecords(CBERNode* response) {
    return response->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, kZTagResponseRecords);
}

namespace {

// A NamePlusRecord with its database name; returns its record [1].
CBERNode* NewNamePlusRecord(CBERNode* records, const std::string& name) {
    CBERNode* namePlusRecord = records->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
    AddText(namePlusRecord, BER_CONTEXT, kZTagRecordName, name);
    return namePlusRecord->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, kZTagRecord);
}

}  // namespace

void AddRetrievalRecord(CBERNode* records, const std::string& name, const std::string& oid, CByteArray& marc) {
    CBERNode* record = NewNamePlusRecord(records, name);
    CBERNode* retrieval = record->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, kZTagRetrievalRecord);
    CBERNode* external = retrieval->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 8);
    external->NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, oid.c_str());
    if (oid == kZOidSutrs) {  // SUTRS is an ASN.1 type: single-ASN1-type [0] holding a GeneralString
        CBERNode* single = external->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 0);
        single->NewChildCharNode(BER_UNIVERSAL, BER_PRIMITIVE, 27, reinterpret_cast<char*>(marc.data()),
                                 static_cast<int>(marc.size()));
        return;
    }
    external->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, kZTagOctetAligned, reinterpret_cast<char*>(marc.data()),
                               static_cast<int>(marc.size()));
}

void AddSurrogateDiagnostic(CBERNode* records, const std::string& name, int code, const std::string& addinfo) {
    CBERNode* record = NewNamePlusRecord(records, name);
    CBERNode* surrogate = record->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, kZTagSurrogateDiagnostic);
    AddBib1Diagnostic(surrogate, BER_UNIVERSAL, 16, code, addinfo);
}
