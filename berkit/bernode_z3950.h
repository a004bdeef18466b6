#pragma once
// Tag numbers (context class) of the Z39.50 (1995) APDUs and of the fields the server reads and
// writes, and the values it sends. The one place these numbers are named.
// Thread safety: constants only.

// APDUs.
enum : int {
    Z_INIT_REQUEST = 20,
    Z_INIT_RESPONSE = 21,
    Z_SEARCH_REQUEST = 22,
    Z_SEARCH_RESPONSE = 23,
    Z_PRESENT_REQUEST = 24,
    Z_PRESENT_RESPONSE = 25,
    Z_DELETE_RESULT_SET_REQUEST = 26,
    Z_DELETE_RESULT_SET_RESPONSE = 27,
    Z_SCAN_REQUEST = 35,
    Z_SCAN_RESPONSE = 36,
    Z_SORT_REQUEST = 43,
    Z_SORT_RESPONSE = 44,
    Z_EXTSERVICES_REQUEST = 46,
    Z_EXTSERVICES_RESPONSE = 47,
    Z_CLOSE = 48,
};

// Fields common to several APDUs.
constexpr unsigned kZTagReferenceId = 2;
constexpr unsigned kZTagOtherInformation = 201;

// initRequest / initResponse.
constexpr unsigned kZTagProtocolVersion = 3;
constexpr unsigned kZTagOptions = 4;
constexpr unsigned kZTagPreferredMessageSize = 5;
constexpr unsigned kZTagExceptionalRecordSize = 6;
constexpr unsigned kZTagIdAuthentication = 7;
constexpr unsigned kZTagResult = 12;
constexpr unsigned kZTagImplementationId = 110;
constexpr unsigned kZTagImplementationName = 111;
constexpr unsigned kZTagImplementationVersion = 112;

// searchRequest.
constexpr unsigned kZTagSmallSetUpperBound = 13;
constexpr unsigned kZTagLargeSetLowerBound = 14;
constexpr unsigned kZTagMediumSetPresentNumber = 15;
constexpr unsigned kZTagSmallSetElementSetNames = 100;
constexpr unsigned kZTagMediumSetElementSetNames = 101;
constexpr unsigned kZTagResultSetName = 17;
constexpr unsigned kZTagDatabaseNames = 18;
constexpr unsigned kZTagQuery = 21;
constexpr unsigned kZTagPreferredRecordSyntax = 104;

// searchResponse / presentResponse.
constexpr unsigned kZTagSearchStatus = 22;
constexpr unsigned kZTagResultCount = 23;
constexpr unsigned kZTagRecordsReturned = 24;
constexpr unsigned kZTagNextPosition = 25;
constexpr unsigned kZTagPresentStatus = 27;
constexpr unsigned kZTagResponseRecords = 28;
constexpr unsigned kZTagNonSurrogateDiagnostic = 130;

// presentRequest.
constexpr unsigned kZTagRecordsRequested = 29;
constexpr unsigned kZTagStartPoint = 30;
constexpr unsigned kZTagResultSetId = 31;
constexpr unsigned kZTagRecordComposition = 19;

// NamePlusRecord: name [0], record [1] { retrievalRecord [1], surrogateDiagnostic [2] }.
constexpr unsigned kZTagRecordName = 0;
constexpr unsigned kZTagRecord = 1;
constexpr unsigned kZTagRetrievalRecord = 1;
constexpr unsigned kZTagSurrogateDiagnostic = 2;
constexpr unsigned kZTagOctetAligned = 1;  // EXTERNAL encoding octet-aligned [1]

// RPN structure: op [0] { attributesPlusTerm [102], resultSetId [31] }, rpnRpnOp [1].
constexpr unsigned kZTagOperand = 0;
constexpr unsigned kZTagOperatorNode = 1;
constexpr unsigned kZTagAttributesPlusTerm = 102;
constexpr unsigned kZTagAttributeList = 44;
constexpr unsigned kZTagGeneralTerm = 45;

// extendedServicesRequest / extendedServicesResponse.
constexpr unsigned kZTagFunction = 3;
constexpr unsigned kZTagPackageType = 4;
constexpr unsigned kZTagTaskSpecific = 10;
constexpr unsigned kZTagOperationStatus = 3;
constexpr unsigned kZTagSuppliedRecord = 16;

// scanResponse / sortResponse.
constexpr unsigned kZTagScanStatus = 4;
constexpr unsigned kZTagScanEntriesReturned = 5;
constexpr unsigned kZTagScanEntries = 7;
constexpr unsigned kZTagScanDiagnostics = 2;  // ListEntries.nonsurrogateDiagnostics
constexpr unsigned kZTagSortStatus = 3;
constexpr unsigned kZTagSortDiagnostics = 5;

// scanRequest / scanResponse (the rest of the response as scanResponse above).
constexpr unsigned kZTagScanDatabaseNames = 3;
constexpr unsigned kZTagScanStepSize = 5;
constexpr unsigned kZTagScanTermsRequested = 6;
constexpr unsigned kZTagScanPreferredPosition = 7;
constexpr unsigned kZTagScanResponseStepSize = 3;
constexpr unsigned kZTagScanPositionOfTerm = 6;
constexpr unsigned kZTagScanEntryList = 1;     // ListEntries.entries
constexpr unsigned kZTagScanTermInfo = 1;      // Entry.termInfo
constexpr unsigned kZTagScanOccurrences = 2;   // TermInfo.globalOccurrences

// deleteResultSetRequest / deleteResultSetResponse.
constexpr unsigned kZTagDeleteFunction = 32;
constexpr unsigned kZTagDeleteOperationStatus = 0;
constexpr unsigned kZTagDeleteListStatuses = 1;
constexpr unsigned kZTagDeleteSetStatus = 33;
constexpr unsigned kZTagDeleteNotDeleted = 34;
constexpr unsigned kZTagDeleteBulkStatuses = 35;

// Close.
constexpr unsigned kZTagCloseReason = 211;

// Values the server sends.
enum : int { Z_PRESENT_SUCCESS = 0, Z_PRESENT_FAILURE = 5 };
enum : int { Z_ES_DONE = 1, Z_ES_FAILURE = 3 };
// scanStatus: partial-5 when the term list ends before the terms asked for (as Zebra answers).
enum : int { Z_SCAN_SUCCESS = 0, Z_SCAN_PARTIAL_LIST_END = 5, Z_SCAN_FAILURE = 6 };
// DeleteSetStatus.
enum : int { Z_DELETE_SUCCESS = 0, Z_DELETE_NO_SUCH_SET = 1, Z_DELETE_NOT_ALL_DELETED = 9 };
enum : int { Z_DELETE_LIST = 0, Z_DELETE_ALL = 1 };
enum : int { Z_SORT_SUCCESS = 0, Z_SORT_PARTIAL = 1, Z_SORT_FAILURE = 2 };
enum : int { Z_CLOSE_PROTOCOL_ERROR = 6, Z_CLOSE_UNSPECIFIED = 9 };

// Object identifiers.
constexpr const char* kZOidBib1Diagnostics = "1.2.840.10003.4.1";
constexpr const char* kZOidUpdateTask = "1.2.840.10003.9.5.1.1";
