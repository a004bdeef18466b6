// SRU searchRetrieve: the CQL query through the database's index map into the evaluator, then the
// page of records from the record service in the schema asked for; with resultSetTTL the set is
// kept, and a query of one cql.resultSetId pages through a kept set without searching.
#include <strings.h>

#include <libxml/xmlwriter.h>

#include <memory>

#include "backend/marc/marcxml.h"
#include "server/catalogueview.h"
#include "server/dbarray.h"
#include "server/evaluator.h"
#include "server/resultsets.h"
#include "server/sru/marcdc.h"
#include "server/sru/sru_ops.h"

namespace {

enum class Schema { kMarcXml, kDublinCore };

struct SchemaName {
    const char* m_name;
    const char* m_uri;
    Schema m_schema;
};

const SchemaName kSchemas[] = {
    {"marcxml", "info:srw/schema/1/marcxml-v1.1", Schema::kMarcXml},
    {"dc", "info:srw/schema/1/dc-v1.1", Schema::kDublinCore},
};

const SchemaName* FindSchema(const char* name) {
    if (name == nullptr || *name == '\0')
        return &kSchemas[0];
    for (const SchemaName& s : kSchemas)
        if (strcasecmp(name, s.m_name) == 0 || strcmp(name, s.m_uri) == 0)
            return &s;
    if (strcasecmp(name, "marc21") == 0 || strcasecmp(name, "info:srw/schema/1/marcxml-v1.1-light") == 0)
        return &kSchemas[0];
    return nullptr;
}

// bib-1 errors of the engine as SRU diagnostics.
CSruDiagnostic FromBib1(const CDiagnostic& error) {
    switch (error.m_code) {
    case kDiagDatabaseUnavailable:
        return {kSruDatabaseMissing, error.m_addinfo};
    case kDiagUnsupportedUse:
        return {kSruUnsupportedIndex, "use attribute " + error.m_addinfo};
    case kDiagUnsupportedTruncation:
        return {kSruMaskingUnsupported, error.m_addinfo};
    default: {
        const int code = yaz_diag_bib1_to_srw(error.m_code);
        return {code > 0 ? code : kSruGeneralError, error.m_addinfo.empty() ? error.m_message : error.m_addinfo};
    }
    }
}

std::string SurrogateDiagnostic(const CSruDiagnostic& d) {
    xmlBuffer* buffer = xmlBufferCreate();
    xmlTextWriter* w = xmlNewTextWriterMemory(buffer, 0);
    xmlTextWriterStartElement(w, BAD_CAST "diagnostic");
    xmlTextWriterWriteAttribute(w, BAD_CAST "xmlns", BAD_CAST YAZ_XMLNS_DIAG_v1_1);
    const std::string uri = "info:srw/diagnostic/1/" + std::to_string(d.m_code);
    xmlTextWriterWriteElement(w, BAD_CAST "uri", BAD_CAST uri.c_str());
    xmlTextWriterWriteElement(w, BAD_CAST "details", BAD_CAST d.m_details.c_str());
    xmlTextWriterEndElement(w);
    xmlFreeTextWriter(w);
    std::string xml(reinterpret_cast<const char*>(xmlBufferContent(buffer)), xmlBufferLength(buffer));
    xmlBufferFree(buffer);
    return xml;
}

// One record in the schema; false with the reason in `error`.
bool ToSchema(const CRecordResult& record, const CDatabaseNode& db, Schema schema, std::string& xml,
              std::string& error) {
    if (record.m_error) {
        error = record.m_error.m_message;
        return false;
    }
    if (schema == Schema::kDublinCore)
        return MarcToDublinCore(record.m_octets, db.MarcFormat(), xml, error);
    const std::string_view iso(reinterpret_cast<const char*>(record.m_octets.data()), record.m_octets.size());
    return Iso2709ToMarcXml(iso, true, "UTF-8", xml, error);
}

struct Page {
    int m_start = 1;
    int m_count = kSruDefaultRecords;
    const SchemaName* m_schema = nullptr;
    int m_packing = Z_SRW_recordPacking_XML;
};

CSruDiagnostic ReadPage(const Z_SRW_searchRetrieveRequest& request, Page& page) {
    if (request.startRecord != nullptr) {
        if (*request.startRecord < 1 || *request.startRecord > 1 << 30)
            return {kSruUnsupportedParameterValue, "startRecord"};
        page.m_start = static_cast<int>(*request.startRecord);
    }
    if (request.maximumRecords != nullptr) {
        if (*request.maximumRecords < 0)
            return {kSruUnsupportedParameterValue, "maximumRecords"};
        page.m_count = static_cast<int>(std::min<Odr_int>(*request.maximumRecords, kSruMaximumRecords));
    }
    page.m_schema = FindSchema(request.recordSchema);
    if (page.m_schema == nullptr)
        return {kSruUnknownSchema, request.recordSchema};
    const char* packing = request.recordPacking;
    if (packing == nullptr || strcmp(packing, "xml") == 0)
        page.m_packing = Z_SRW_recordPacking_XML;
    else if (strcmp(packing, "string") == 0)
        page.m_packing = Z_SRW_recordPacking_string;
    else
        return {kSruUnsupportedPacking, packing};
    if (request.queryType != nullptr && strcmp(request.queryType, "cql") != 0 && strcmp(request.queryType, "pqf") != 0)
        return {kSruUnsupportedParameterValue, "queryType"};
    if (request.query == nullptr)
        return {kSruMandatoryMissing, "query"};
    if (request.sort_type != Z_SRW_sort_type_none)
        return {kSruSortUnsupported, "sortKeys"};
    return {};
}

void FillRecords(CSruEnvironment& env, ODR o, const CZResultSet& set, const Page& page, int hits,
                 Z_SRW_searchRetrieveResponse& response) {
    const int count = std::min(page.m_count, hits - page.m_start + 1);
    std::vector<CRecordRow> rows;
    for (int i = 0; i < count; ++i) {
        CRecordRow row;
        if (set.GetRow(page.m_start - 1 + i, row.m_dbName, row.m_number) != 0)
            break;
        row.m_db = env.m_search.m_catalogue->Find(row.m_dbName);
        if (row.m_db == nullptr)
            break;
        rows.push_back(std::move(row));
    }
    CRecordService service(env.m_search.m_channel, env.m_form);
    const std::vector<CRecordResult> results = service.Fetch(rows, env.m_search.m_stop);
    response.records = yaz_srw_get_records(o, static_cast<int>(results.size()));
    response.num_records = static_cast<int>(results.size());
    for (size_t i = 0; i < results.size(); ++i) {
        Z_SRW_record& out = response.records[i];
        std::string xml;
        std::string error;
        if (ToSchema(results[i], *rows[i].m_db, page.m_schema->m_schema, xml, error)) {
            out.recordSchema = odr_strdup(o, page.m_schema->m_uri);
        } else {
            xml = SurrogateDiagnostic({kSruRecordUnavailable, error});
            out.recordSchema = odr_strdup(o, "info:srw/schema/1/diagnostics-v1.1");
        }
        out.recordPacking = page.m_packing;
        out.recordData_len = static_cast<int>(xml.size());
        out.recordData_buf = static_cast<char*>(odr_malloc(o, xml.size() + 1));
        memcpy(out.recordData_buf, xml.c_str(), xml.size() + 1);
        out.recordPosition = odr_intdup(o, page.m_start + static_cast<int>(i));
    }
    const int next = page.m_start + response.num_records;
    if (response.num_records > 0 && next <= hits)
        response.nextRecordPosition = odr_intdup(o, next);
}

// numberOfRecords and the page of records of `set` (hits: its row count).
void AnswerPage(CSruEnvironment& env, ODR o, const CZResultSet& set, const Page& page,
                Z_SRW_searchRetrieveResponse& response, int& hits) {
    hits = static_cast<int>(set.GetRowCount());
    response.numberOfRecords = odr_intdup(o, hits);
    if (page.m_count == 0 || hits == 0)
        return;
    if (page.m_start > hits) {
        SruAddDiagnostic(o, &response.diagnostics, &response.num_diagnostics,
                         {kSruFirstRecordOutOfRange, std::to_string(page.m_start)});
        return;
    }
    FillRecords(env, o, set, page, hits, response);
}

// How long the request's set is to be kept: its resultSetTTL within the server's bound; 0: not kept.
int KeepSeconds(const CSruEnvironment& env, const Z_SRW_searchRetrieveRequest& request) {
    if (env.m_keptSets == nullptr || env.m_maxKeptSets == 0 || request.resultSetTTL == nullptr ||
        *request.resultSetTTL <= 0)
        return 0;
    return static_cast<int>(std::min<Odr_int>(*request.resultSetTTL, env.m_maxTtl));
}

// Copies every kept set that `node` refers to into `referred` under its id, for the evaluator.
// False with diagnostic 51 naming the first the account has no set of.
bool CopyReferredSets(CSruEnvironment& env, const CZQueryNode* node, CResultSetStore& referred,
                      CSruDiagnostic& error) {
    if (node == nullptr)
        return true;
    if (node->m_kind == CZQueryKind::kOperator)
        return CopyReferredSets(env, node->m_left.get(), referred, error) &&
               CopyReferredSets(env, node->m_right.get(), referred, error);
    if (node->m_kind != CZQueryKind::kResultSet || referred.Find(node->m_text) != nullptr)
        return true;
    auto copy = std::make_unique<CZResultSet>();
    bool copied = false;
    const bool found = env.m_keptSets != nullptr &&
                       env.m_keptSets->Use(node->m_text, env.m_account, 0, [&](CZResultSet& set, int) {
                           CZResultSet empty;  // a union with an empty set copies every row
                           copied = copy->Create(nullptr) == 0 && empty.Create(nullptr) == 0 &&
                                    empty.Or(set, *copy) == 0;
                       });
    if (!found || !copied) {
        error = {found ? kSruGeneralError : kSruResultSetMissing, node->m_text};
        return false;
    }
    copy->m_name = node->m_text;
    referred.Add(std::move(copy));
    return true;
}

}  // namespace

std::string SruDatabaseName(const CSruEnvironment& env, const char* name) {
    if (name == nullptr || *name == '\0' || strcmp(name, "Default") == 0)
        return env.m_defaultDatabase;
    return name;
}

const CDatabaseNode* SruDatabase(CSruEnvironment& env, const char* name) {
    if (env.m_search.m_catalogue == nullptr)
        return nullptr;
    return env.m_search.m_catalogue->Find(SruDatabaseName(env, name));
}

void SruAddDiagnostic(ODR o, Z_SRW_diagnostic** list, int* count, const CSruDiagnostic& diagnostic) {
    yaz_add_srw_diagnostic(o, list, count, diagnostic.m_code,
                           diagnostic.m_details.empty() ? nullptr : diagnostic.m_details.c_str());
}

void SruSearchRetrieve(CSruEnvironment& env, ODR o, const Z_SRW_searchRetrieveRequest& request,
                       Z_SRW_searchRetrieveResponse& response, int& hits) {
    hits = -1;
    Page page;
    CSruDiagnostic error = ReadPage(request, page);
    const CDatabaseNode* db = error ? nullptr : SruDatabase(env, request.database);
    if (!error && db == nullptr)
        error = {kSruDatabaseMissing, request.database ? request.database : ""};
    std::unique_ptr<CZQueryNode> query;
    if (!error)
        query = request.queryType != nullptr && strcmp(request.queryType, "pqf") == 0
                    ? PqfToQuery(request.query, error)
                    : CqlToQuery(request.query, db->m_cqlMap ? *db->m_cqlMap : CCqlIndexMap::Default(), error);
    if (error) {
        SruAddDiagnostic(o, &response.diagnostics, &response.num_diagnostics, error);
        return;
    }
    const int ttl = KeepSeconds(env, request);
    if (query->m_kind == CZQueryKind::kResultSet) {  // a page of a kept set: no search
        const std::string& id = query->m_text;
        const bool found = env.m_keptSets != nullptr &&
                           env.m_keptSets->Use(id, env.m_account, ttl, [&](CZResultSet& set, int idle) {
                               AnswerPage(env, o, set, page, response, hits);
                               response.resultSetId = odr_strdup(o, id.c_str());
                               response.resultSetIdleTime = odr_intdup(o, idle);
                           });
        if (!found)
            SruAddDiagnostic(o, &response.diagnostics, &response.num_diagnostics, {kSruResultSetMissing, id});
        return;
    }
    CResultSetStore referred;  // copies of the kept sets the query names
    if (!CopyReferredSets(env, query.get(), referred, error)) {
        SruAddDiagnostic(o, &response.diagnostics, &response.num_diagnostics, error);
        return;
    }
    env.m_search.m_databases = {SruDatabaseName(env, request.database)};
    env.m_search.m_sets = &referred;
    CQueryEvaluator evaluator(env.m_search);
    CSearchOutcome outcome = evaluator.Search(query.get());
    env.m_search.m_sets = nullptr;
    if (outcome.m_error) {
        SruAddDiagnostic(o, &response.diagnostics, &response.num_diagnostics, FromBib1(outcome.m_error));
        return;
    }
    AnswerPage(env, o, *outcome.m_set, page, response, hits);
    if (ttl > 0 && env.m_keptSets != nullptr) {
        const std::string id = env.m_keptSets->Keep(std::move(outcome.m_set), env.m_account, ttl, env.m_maxKeptSets);
        if (!id.empty()) {
            response.resultSetId = odr_strdup(o, id.c_str());
            response.resultSetIdleTime = odr_intdup(o, ttl);
        }
    }
}
