#pragma once
// CSruService: SRU 1.1, 1.2 and 2.0 (searchRetrieve, scan, explain) over HTTP GET, form POST and
// SOAP for one HTTP request, on the search engine of the Z39.50 server: libyaz decodes the request
// and encodes the response (so every text from the store is escaped by libxml2), the query is CQL
// mapped through the database's index map (server/sru/cqlquery.h), the search runs in the
// evaluator with the caller's session-less context and the records come from the record service,
// converted to the record schema asked for (MARCXML, Dublin Core). A searchRetrieve with
// resultSetTTL keeps its set in the environment's kept sets; cql.resultSetId="ID" pages through it.
// Every response answers in the version asked for; without a version 2.0 when the request uses
// 2.0 parameters (queryType, recordXMLEscaping), 1.2 otherwise.
// Ownership: the environment's pointers belong to the caller and must outlive Serve.
// Thread safety: none; one request at a time on the caller's thread.

#include <string>

#include "server/recordservice.h"
#include "server/searchcontext.h"
#include "server/sru/httprequest.h"
#include "server/sru/sruresultsets.h"

// Records per searchRetrieve without maximumRecords, and at most.
constexpr int kSruDefaultRecords = 10;
constexpr int kSruMaximumRecords = 100;

struct CSruEnvironment {
    CSearchContext m_search;  // channel, catalogue, hit limit, stop flag; m_databases is set here
    CRecordForm m_form;       // how records are read (full, UTF-8)
    int m_authError = 0;      // an SRU diagnostic every operation answers with (3: refused login)
    std::string m_host;       // host:port for explain (from the Host header when empty)
    std::string m_defaultDatabase;  // the database of a request that names none ("/")
    // Result sets kept for resultSetTTL (null: none are, and resultSetTTL is not answered), whose
    // sets this request may use (m_account's), for at most m_maxTtl seconds, at most
    // m_maxKeptSets of them server-wide.
    CSruResultSets* m_keptSets = nullptr;
    std::string m_account;
    int m_maxTtl = 0;
    size_t m_maxKeptSets = 0;
};

struct CSruAnswer {
    int m_status = 200;
    std::string m_contentType = "text/xml; charset=UTF-8";
    std::string m_body;
    std::string m_headers;    // extra header lines
    // For the log and the metrics: "searchRetrieve", "scan", "explain" or "".
    std::string m_operation;
    int m_hits = -1;
};

class CSruService {
public:
    explicit CSruService(CSruEnvironment& environment) : m_env(environment) {}
    CSruAnswer Serve(const CHttpRequest& request);

private:
    CSruEnvironment& m_env;
};
