#pragma once
// The SRU operations behind CSruService (server/sru/sruservice.h): each fills a libyaz response
// PDU allocated in `o` from its request; diagnostics go into the response.

#include <yaz/srw.h>

#include <string>

#include "server/sru/cqlquery.h"
#include "server/sru/sruservice.h"

class CDatabaseNode;

// The name of the database a request names ("Default" or "": the environment's default).
std::string SruDatabaseName(const CSruEnvironment& env, const char* name);
// The database a request names ("Default" or "": the first of the catalogue), held in the view.
const CDatabaseNode* SruDatabase(CSruEnvironment& env, const char* name);
// Adds the diagnostic to a libyaz diagnostic list.
void SruAddDiagnostic(ODR o, Z_SRW_diagnostic** list, int* count, const CSruDiagnostic& diagnostic);

// hits: the result count, -1 when no search ran.
void SruSearchRetrieve(CSruEnvironment& env, ODR o, const Z_SRW_searchRetrieveRequest& request,
                       Z_SRW_searchRetrieveResponse& response, int& hits);
// The terms of the scanClause's index from its term on (responsePosition 1, maximumTerms 20 unless
// given, at most 1000), with their record counts.
void SruScan(CSruEnvironment& env, ODR o, const Z_SRW_scanRequest& request, Z_SRW_scanResponse& response);
void SruExplain(CSruEnvironment& env, ODR o, const Z_SRW_explainRequest& request, const std::string& version,
                Z_SRW_explainResponse& response);
// ZeeRex of `db`, served as `name` at `host` (host:port) (UTF-8, no declaration).
std::string ZeeRexRecord(const CDatabaseNode& db, const std::string& name, const std::string& host,
                         const std::string& version);
