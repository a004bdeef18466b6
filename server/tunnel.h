#pragma once
// CTunnel: one Z39.50 association — one accepted TCP connection served by a thread of its own:
// framing of BER requests, the wait loop, the association's state, dispatch on the APDU tag and
// its services (Init, Search, Present, ES update, Close). Searching (server/evaluator.h) and
// record delivery (server/recordservice.h) are the engine's, called with a session-less context.
// Ownership: created, listed and deleted by CTunnelArray; owns its socket, request and response
// trees, result sets (m_resultSets) and back-end channel.
// Threads: the session thread runs Run() and everything it calls. Any thread may call IsActive(),
// Close(), GetColumnText(), GetId() and read m_lastActive / m_created / m_requestCount. Stop() and
// the destructor from the manager or host thread (never from the session thread itself).
//
// Socket hand-over: Close() only shuts the connection down (shutdown(2)) and marks m_socket
// invalid, under m_sockLock; the descriptor stays allocated until the session thread ends (end of
// Run) or the destructor runs after the thread has ended. So a descriptor is never closed twice
// and never reused while the session thread may still call into it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "backend/strata/strata_channel.h"
#include "berkit/bernode.h"
#include "berkit/bernode_apdu.h"
#include "berkit/bernode_query.h"
#include "berkit/bernode_scan.h"
#include "berkit/bernode_sort.h"
#include "berkit/bernode_z3950.h"
#include "berkit/bytearray.h"
#include "platform/critsec.h"
#include "platform/socket.h"
#include "platform/tls.h"
#include "platform/thread_annotations.h"
#include "server/_threadbase.h"
#include "server/catalogueview.h"
#include "server/diagnostic.h"
#include "server/metrics.h"
#include "server/pager.h"
#include "server/recordservice.h"
#include "server/resultsets.h"
#include "server/searchcontext.h"
#include "server/settings.h"
#include "server/sru/httprequest.h"

class CTunnelArray;
class CZResultSet;
class CDatabaseNode;
class CTunnel;

// One entry of the session's dispatch table (tunnel_dispatch.cpp).
struct CTunnelService {
    int m_request;                       // request APDU tag
    int m_response;                      // response APDU tag
    bool (CTunnel::*m_serve)(CBERNode*); // the service; true when it built a response
    CMetricService m_metric;             // kCount: not counted
    const char* m_requestLabel;          // packet-log labels; null: not logged
    const char* m_responseLabel;
};

// Requests above this size end the association when no owner (or a zero setting) says otherwise.
constexpr int64_t kTunnelDefaultMaxRequestBytes = 16 * 1024 * 1024;

class CTunnel : public CThreadBase {
public:
    CTunnel();
    ~CTunnel() override;
    CTunnel(const CTunnel&) = delete;
    CTunnel& operator=(const CTunnel&) = delete;

    // Closes the socket, cancels back-end work in progress and waits for the thread to end.
    virtual void Stop();

    // True while the thread is to go on: no stop request, no failure, socket not closed.
    bool IsActive() const;
    // Shuts the connection down and marks the socket closed; a second call does nothing. Any
    // thread; never races the session thread's socket calls (see the header comment).
    void Close();
    // Close() after the back-end channel broke (5 or 66), with one warning line in the log.
    void CloseForBrokenBackend();
    // Non-blocking (false) or blocking (true) socket. True when the platform call succeeded.
    bool SetBlocking(bool blocking);
    // Deletes every result set of the session.
    void ClearArray();

    // Text of one column of the session list; "" for column 3 and unknown columns. Any thread.
    std::string GetColumnText(int column) const;
    int GetImageIndex() const { return 2; }
    // The identity shown in the list: a 32-bit number given by the manager, unique among the
    // live sessions.
    uint32_t GetId() const { return m_id.load(); }

    // Session thread body; returns 0.
    uint32_t Run() override;

    // Server-initiated end of the association: sends a Close (closeReason 9), reads one answer,
    // closes. Session thread only.
    bool UnilateralClose();

    // Catalogue checks of the current Search request's database names; entries found are held
    // until the next request.
    bool IsLegalDatabase();
    const CDatabaseNode* GetDatabasePtr(const char* name);

    // The settings the current request reads: one snapshot, taken at the start of each request
    // (TakeSettingsSnapshot), so a request never sees a half-applied change; before the first
    // snapshot, the owner's current values; without an owner, the documented defaults. Session
    // thread.
    const CServerSettings& Settings() const;
    void TakeSettingsSnapshot();

    // Thread-safe access to the texts that the list shows.
    std::string GetUserId() const;
    void SetDebugInfo(const std::string& text);

    // --- fields other classes set or read (the manager, the list, tests) ---
    CTunnelArray* m_owner = nullptr;               // set by the manager before the thread starts
    std::atomic<SOCKET_T> m_socket{INVALID_SOCKET_T};  // set by the manager; invalid once closed
    std::unique_ptr<PlatTlsStream> m_tls;  // connections of the TLS port; set before start
    std::string m_address;                         // client's address (dotted IPv4 or IPv6 text); set before start
    std::atomic<time_t> m_created;
    std::atomic<time_t> m_lastActive;
    std::atomic<uint32_t> m_id{0};      // list identity; set by the manager before the thread starts
    CByteArray m_recvBuffer;            // the request being received; session thread only
    // The databases of the last Search that named some; session thread only.
    std::vector<std::string> m_databaseNames;

    // --- Search and Present (tunnel_search.cpp, tunnel_present.cpp): thin delegates to the
    // engine (server/evaluator.h, server/recordservice.h) with this association's context.
    // Session thread only. ---
    // Evaluates an RPN structure into `target` (Create'd, empty). Returns 0; throws
    // extended_exception (code 0) with the engine's message on any error, also "search stopped".
    // Nesting deeper than kRPNMaxDepth is rejected.
    int SearchDB(CBERNode* node, CZResultSet* target, int depth = 0);
    // db path + "/" + key of `use` + "/" + term. 0, or -1 (no database, unmapped use attribute).
    int ConstructSearchPath(const CDatabaseNode* db, int use, const std::string& term, std::string& path);
    // db path + "/ctlno/" + 7 digits. The path's length, or -1.
    int GetMARCRecordPath(const CDatabaseNode* db, int64_t number, std::string& path);

protected:
    // Services: each takes the request APDU, decodes it (berkit/bernode_apdu.h), serves it and
    // builds its response in m_response; true when it built one.
    bool ProcessInit(CBERNode* apdu);
    bool ProcessSearch(CBERNode* apdu);
    bool ProcessPresent(CBERNode* apdu);
    bool ProcessExtServices(CBERNode* apdu);
    bool ProcessClose(CBERNode* apdu);
    // Scan and Delete result set: served in the bib-1 diagnostics mode, otherwise unsupported.
    bool ProcessScan(CBERNode* apdu);
    bool ProcessDeleteResultSet(CBERNode* apdu);
    // Sort (tunnel_sort.cpp): only in the bib-1 diagnostics mode, else as ProcessUnsupported.
    bool ProcessSort(CBERNode* apdu);
    CZSortResponse ServeSort(CBERNode* apdu, CZSortRequest& request);
    // A request no service serves (also any request before an Init): in the bib-1 diagnostics
    // mode a sortResponse with a diagnostic, otherwise a Close (protocolError)
    // after which the association ends; without the mode it throws (the association ends).
    bool ProcessUnsupported(CBERNode* apdu);
    bool IsLegalUser();
    // Init policy over the decoded credentials: anonymous access, the accepted authentication
    // forms, the credential check and the bad-login action; sets m_initialized and
    // m_authenticated.
    void ServeInit();
    // The options bits of the Init answer ('1'/'0', bit 0 first): what this instance serves.
    std::string InitOptions(bool negotiated) const;
    // The session works as the configured anonymous account from now on.
    void UseAnonymousAccount();

    // The rows of a Present's range (a record syntax the database cannot supply: error 238,
    // diagnostics mode only). Throws for a row of a database the catalogue no longer offers.
    CDiagnostic PresentRows(CZResultSet* set, int first, int count, const std::string& syntax,
                            std::vector<CRecordRow>& rows);
    // The records of `rows` under `records` in record syntax `syntax` (empty: each database's
    // own); false when the session is stopping.
    bool ServePresent(CBERNode* records, const std::vector<CRecordRow>& rows, const std::string& syntax);

    // Update task of an Extended Services request: writes every supplied record in order,
    // stopping at the first that fails. Z_ES_DONE or Z_ES_FAILURE.
    int ServeUpdate(CBERNode* esRequest);
    // Writes one supplied ISO 2709 record: action 1 insert, 2 replace, 3 delete, into the
    // database named `database` (name or alias). `syntax` is the record's OID (not used). 0 when
    // written, -1 otherwise (nothing written).
    int ESUpdateRecord(int32_t action, std::string database, std::string syntax, const CByteArray& record);

    // The searchResponse of a search that found `resultCount` (> 0) hits, with the records the
    // request asked to have with it (bib-1 diagnostics mode): read as a Present of the new set
    // from 1 would read them, within its limits. False when the session is stopping.
    bool ServePiggyback(const CZSearchRequest& request, int resultCount);
    // Scan service body: the term list of a checked request into `response`; the error otherwise.
    CDiagnostic ServeScan(const CZScanRequest& request, CZScanResponse& response);
    // Search service body: evaluates the query into a new stored set; the error otherwise.
    CDiagnostic ServeSearch(const CZSearchRequest& request, int& resultCount);

    bool Bib1Diagnostics() const { return Settings().m_diagnostics == CDiagnosticsMode::kBib1; }
    // The first name of m_databaseNames the catalogue does not offer ("" when none is unknown).
    std::string FirstUnknownDatabase();

    // The dispatch table by request (or response) tag; null when not listed.
    static const CTunnelService kServices[];
    static const CTunnelService* FindService(int tag, bool response);
    // Decodes m_recvBuffer into m_request (dumps as configured); the request APDU. Sets
    // m_apduTag. Throws on undecodable input.
    CBERNode* DecodeRequest();

    // --- the engine's context for this association (tunnel_search.cpp) ---
    // The channel as the session's current account, the catalogue view, the stored sets, the
    // request's databases, the hit limit and the stop flag.
    CChannelAccess ChannelAccess();
    CSearchContext SearchContext();
    // The query of a Search request in this association's reading (UTF-8 terms when negotiated,
    // lenient operands in the bib-1 diagnostics mode; otherwise terms read as [Server]
    // QueryCharset says): the one place a query is decoded.
    std::unique_ptr<CZQueryNode> DecodeSessionQuery(CBERNode* rpn);
    // A decoded term in the ANSI code page: as decoded when UTF-8 was negotiated, otherwise read
    // as [Server] QueryCharset says.
    std::string SessionTerm(const std::string& term) const;

    // --- named parts of Search and Present, kept as delegates. Session thread only. ---
    // Deletes and removes every stored set named `name` (case-insensitive), keeping the order.
    void DeleteSameNameResultSet(const std::string& name);
    // -1 for a null set or when no per-set limit is configured; else the set's row count.
    int LimitRecordCountInResultSet(CZResultSet* set);
    // Copies the first stored set named `name` into `target`. False for a null target or no match.
    bool FindAndCopyExistResultSet(const std::string& name, CZResultSet* target);
    // One back-end search per requested database for one operand. 0; throws extended_exception.
    int SearchDBMulti(CZResultSet* target, int use, const std::string& term);
    // Paged hit list of one search path into `target`. 0 done, 1 hit limit reached, -1 failed
    // (target emptied) or stopping.
    int SearchDBUseStrata(const std::string& dbName, const std::string& path, CZResultSet* target);
    // Finds the set and clips the range of a Present. 0 with the outputs set; -1 otherwise.
    int IsLegalPresent(const std::string& name, int& start, int& count, int& next, CZResultSet*& set);
    // The ISO 2709 record `number` of `db`, brief unless `full`. Its length, or -1 (out emptied,
    // the reason logged).
    int GetMARC(CByteArray& out, const CDatabaseNode* db, int64_t number, bool full);
    // The Diriv text of a record path. Its length, or -1 (record emptied).
    int GetMARCRecord(const std::string& path, std::string& record);
    // How records are delivered now: full unless brief ones are read from a Lumo back-end, UTF-8
    // when negotiated with records in the character set; in the diagnostics mode in record
    // syntax `syntax` (empty: the database's own) and with the standard leader (see CRecordForm).
    CRecordForm RecordForm(bool full, const std::string& syntax = std::string());

    // Prepares m_connect with the session's current account unless it already is (see
    // CBackendPager::Prepare); logins fall back to the anonymous account when it is allowed.
    // Throws extended_exception when the channel cannot be opened.
    void EnsureChannel();

    // --- SRU over HTTP (tunnel_http.cpp): a connection whose first octet starts an HTTP request
    // line ([SRU] Enabled) is served as HTTP/1.1 with keep-alive from then on. Session thread. ---
    bool SruEnabled() const;
    // Reads what the socket has and serves every request it completes.
    void ServeHttp();
    // Feeds received octets to the request reader and answers each complete request; a request
    // the reader refuses is answered with its status and the connection is closed.
    void FeedHttp(const unsigned char* data, size_t length);
    // One request: the account (anonymous or HTTP Basic), the SRU service, the response sent.
    // False when the connection is to end.
    bool ServeHttpRequest(const CHttpRequest& request);
    // The SRU diagnostic of the request's credentials (0: the session works as the account now).
    int SruLogin(const CHttpRequest& request);
    bool SendHttp(const std::string& response);

    // Framing and socket calls (session thread).
    int tcpRecv(unsigned char* buffer, int length);
    // The TLS handshake of m_tls, waiting for the socket in bounded steps until the idle
    // time-out (60 s when time-outs are off). False when it failed, stalled or a stop came.
    bool TlsHandshake();
    int tcpSend(const unsigned char* buffer, int length);
    int DataRecv();
    int DataSend();
    void ServiceHandler();
    // One access-log line for the request `apdu` just answered by `service` (null: unsupported)
    // when [Server] AccessLog is on (tunnel_access.cpp). Session thread only.
    void LogAccess(const CTunnelService* service, CBERNode* apdu, std::chrono::steady_clock::time_point begun);

    // Packet log of the request in m_recvBuffer / the response in m_sendBuffer.
    void LogBerRequest();
    void LogBerResponse();

    // Settings read through the owner, with defaults when there is none.
    int64_t MaxRequestBytes() const;
    std::string HomeDir() const;
    bool LogPackets() const;
    // One info-level line of the daily log (nothing without an owner).
    void LogInfo(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));

    // --- the association's state; session thread only unless said otherwise ---
    std::atomic<bool> m_failed{false};  // any thread reads (IsActive)
    CBERNode m_request;
    CBERNode m_response;
    bool m_initialized = false;
    int m_apduTag = 0;
    bool m_fullRecords = false;
    CResultSetStore m_resultSets;       // the named result sets; owned
    int m_authType = 0;
    std::string m_groupId;
    std::string m_userId GUARDED_BY(m_textLock);
    std::string m_password;
    bool m_authenticated = true;
    bool m_charsetProposed = false;
    bool m_utf8 = false;
    bool m_recordsInCharset = false;
    std::string m_debugInfo GUARDED_BY(m_textLock);
    std::atomic<int> m_requestCount{0};  // any thread reads (GetColumnText)
    int m_received = 0;
    int m_sent = 0;
    CByteArray m_sendBuffer;
    CConnect m_connect;
    // Every back-end call of the session goes through this pager on m_connect.
    CBackendPager m_pager{m_connect, nullptr, &m_bStop};
    bool m_charsetWrapped = false;      // the client wrapped its negotiation proposal in [0]
    // The catalogue as the current request sees it: entries it found are held until the next
    // request, so a reload meanwhile never frees one in use.
    CCatalogueView m_catalogue;
    mutable CCriticalSection m_textLock;  // guards m_userId, m_debugInfo
    mutable std::shared_ptr<const CServerSettings> m_settingsSnapshot;  // session thread only
    bool m_http = false;                               // the connection speaks HTTP (SRU)
    std::unique_ptr<CHttpRequestReader> m_httpReader;  // its request reader; session thread only

private:
    // Longest single wait of the session thread (for data, or in a partial transfer).
    static constexpr int kWaitMs = 100;
    // After a receive: reads the request's declared length (-1 indefinite) once its header is in.
    // 0 go on; 1 malformed (decoding reports it); -1 above `limit` (the association is closed).
    int ReadDeclaredLength(int64_t& declared, int64_t limit);
    void GrowReceiveBuffer(int64_t declared, int64_t limit);
    // Waits at most `timeoutMs` for the socket (readable, or writable with forWrite) or the stop
    // event. PLAT_WAIT_* result; PLAT_WAIT_EVENT also when the socket is already closed.
    int WaitSocket(bool forWrite, int timeoutMs);
    // One bounded wait in the middle of a transfer: true when the transfer may go on (the socket
    // is ready, or the wait timed out); false on a stop request or a failed wait (then the socket
    // is closed), and the transfer must end.
    bool AwaitTransfer(bool forWrite);
    // The real close(2) of the descriptor; only when the session thread can no longer use it.
    void ReleaseSocket();
    void SetUserId(const std::string& text);

    CCriticalSection m_sockLock;                      // guards the hand-over of the descriptor
    SOCKET_T m_shutSocket GUARDED_BY(m_sockLock) = INVALID_SOCKET_T;  // shut down, still to close
};
