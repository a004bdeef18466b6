// SRU explain: a ZeeRex record of one database: where it is served, its indexes (every CQL index
// of its map whose use attribute the database's use.cfg offers, and the use.cfg keys themselves),
// its record schemas and its record counts.
#include <libxml/xmlwriter.h>

#include <cstring>


#include "server/dbarray.h"
#include "server/sru/sru_ops.h"

namespace {

// Context sets the map's index names use.
const struct {
    const char* m_name;
    const char* m_uri;
} kContextSets[] = {
    {"cql", "info:srw/cql-context-set/1/cql-v1.2"},
    {"dc", "info:srw/cql-context-set/1/dc-v1.1"},
    {"bath", "http://zing.z3950.org/cql/bath/2.0/"},
    {"rec", "info:srw/cql-context-set/2/rec-1.1"},
};

void Element(xmlTextWriter* w, const char* name, const std::string& text) {
    xmlTextWriterWriteElement(w, BAD_CAST name, BAD_CAST text.c_str());
}

long UseOf(const std::vector<CZAttribute>& attributes) {
    for (const CZAttribute& a : attributes)
        if (a.m_type == kBib1Use)
            return a.m_value;
    return -1;
}

void WriteIndex(xmlTextWriter* w, const std::string& title, const std::string& set, const std::string& name,
                long use) {
    xmlTextWriterStartElement(w, BAD_CAST "index");
    Element(w, "title", title);
    xmlTextWriterStartElement(w, BAD_CAST "map");
    xmlTextWriterStartElement(w, BAD_CAST "name");
    if (!set.empty())
        xmlTextWriterWriteAttribute(w, BAD_CAST "set", BAD_CAST set.c_str());
    xmlTextWriterWriteString(w, BAD_CAST name.c_str());
    xmlTextWriterEndElement(w);
    xmlTextWriterEndElement(w);
    xmlTextWriterStartElement(w, BAD_CAST "map");
    xmlTextWriterStartElement(w, BAD_CAST "attr");
    xmlTextWriterWriteAttribute(w, BAD_CAST "type", BAD_CAST "1");
    xmlTextWriterWriteAttribute(w, BAD_CAST "set", BAD_CAST "bib1");
    xmlTextWriterWriteString(w, BAD_CAST std::to_string(use).c_str());
    xmlTextWriterEndElement(w);
    xmlTextWriterEndElement(w);
    xmlTextWriterEndElement(w);
}

void WriteIndexes(xmlTextWriter* w, const CDatabaseNode& db) {
    xmlTextWriterStartElement(w, BAD_CAST "indexInfo");
    for (const auto& set : kContextSets) {
        xmlTextWriterStartElement(w, BAD_CAST "set");
        xmlTextWriterWriteAttribute(w, BAD_CAST "name", BAD_CAST set.m_name);
        xmlTextWriterWriteAttribute(w, BAD_CAST "identifier", BAD_CAST set.m_uri);
        xmlTextWriterEndElement(w);
    }
    const CCqlIndexMap& map = db.m_cqlMap ? *db.m_cqlMap : CCqlIndexMap::Default();
    for (const CCqlIndexMap::Entry& entry : map.Entries()) {
        const long use = UseOf(entry.m_attributes);
        const auto key = db.m_keys.find(std::to_string(use));
        if (key == db.m_keys.end())
            continue;  // the database has no key for it: 16 when asked
        const size_t dot = entry.m_index.rfind('.');
        WriteIndex(w, key->second, dot == std::string::npos ? "" : entry.m_index.substr(0, dot),
                   dot == std::string::npos ? entry.m_index : entry.m_index.substr(dot + 1), use);
    }
    xmlTextWriterEndElement(w);
}

void WriteSchemas(xmlTextWriter* w) {
    xmlTextWriterStartElement(w, BAD_CAST "schemaInfo");
    const struct {
        const char* m_name;
        const char* m_uri;
        const char* m_title;
    } schemas[] = {
        {"marcxml", "info:srw/schema/1/marcxml-v1.1", "MARCXML (MARC 21 slim)"},
        {"dc", "info:srw/schema/1/dc-v1.1", "Dublin Core"},
    };
    for (const auto& s : schemas) {
        xmlTextWriterStartElement(w, BAD_CAST "schema");
        xmlTextWriterWriteAttribute(w, BAD_CAST "identifier", BAD_CAST s.m_uri);
        xmlTextWriterWriteAttribute(w, BAD_CAST "name", BAD_CAST s.m_name);
        xmlTextWriterWriteAttribute(w, BAD_CAST "retrieve", BAD_CAST "true");
        Element(w, "title", s.m_title);
        xmlTextWriterEndElement(w);
    }
    xmlTextWriterEndElement(w);
}

void WriteConfig(xmlTextWriter* w) {
    xmlTextWriterStartElement(w, BAD_CAST "configInfo");
    xmlTextWriterStartElement(w, BAD_CAST "default");
    xmlTextWriterWriteAttribute(w, BAD_CAST "type", BAD_CAST "numberOfRecords");
    xmlTextWriterWriteString(w, BAD_CAST std::to_string(kSruDefaultRecords).c_str());
    xmlTextWriterEndElement(w);
    xmlTextWriterStartElement(w, BAD_CAST "setting");
    xmlTextWriterWriteAttribute(w, BAD_CAST "type", BAD_CAST "maximumRecords");
    xmlTextWriterWriteString(w, BAD_CAST std::to_string(kSruMaximumRecords).c_str());
    xmlTextWriterEndElement(w);
    xmlTextWriterEndElement(w);
}

}  // namespace

std::string ZeeRexRecord(const CDatabaseNode& db, const std::string& name, const std::string& host,
                         const std::string& version) {
    xmlBuffer* buffer = xmlBufferCreate();
    xmlTextWriter* w = xmlNewTextWriterMemory(buffer, 0);
    xmlTextWriterStartElement(w, BAD_CAST "explain");
    xmlTextWriterWriteAttribute(w, BAD_CAST "xmlns", BAD_CAST "http://explain.z3950.org/dtd/2.0/");
    xmlTextWriterStartElement(w, BAD_CAST "serverInfo");
    xmlTextWriterWriteAttribute(w, BAD_CAST "protocol", BAD_CAST "SRU");
    xmlTextWriterWriteAttribute(w, BAD_CAST "version", BAD_CAST version.c_str());
    const size_t colon = host.rfind(':');
    Element(w, "host", colon == std::string::npos ? host : host.substr(0, colon));
    Element(w, "port", colon == std::string::npos ? "80" : host.substr(colon + 1));
    Element(w, "database", name);
    xmlTextWriterEndElement(w);
    xmlTextWriterStartElement(w, BAD_CAST "databaseInfo");
    Element(w, "title", db.m_dbName);
    xmlTextWriterEndElement(w);
    WriteIndexes(w, db);
    WriteSchemas(w);
    WriteConfig(w);
    xmlTextWriterEndElement(w);
    xmlFreeTextWriter(w);
    std::string xml(reinterpret_cast<const char*>(xmlBufferContent(buffer)), xmlBufferLength(buffer));
    xmlBufferFree(buffer);
    return xml;
}

void SruExplain(CSruEnvironment& env, ODR o, const Z_SRW_explainRequest& request, const std::string& version,
                Z_SRW_explainResponse& response) {
    const CDatabaseNode* db = SruDatabase(env, request.database);
    if (db == nullptr) {
        SruAddDiagnostic(o, &response.diagnostics, &response.num_diagnostics,
                         {kSruDatabaseMissing, request.database ? request.database : ""});
        return;
    }
    const char* packing = request.recordPacking;
    if (packing != nullptr && strcmp(packing, "xml") != 0 && strcmp(packing, "string") != 0) {
        SruAddDiagnostic(o, &response.diagnostics, &response.num_diagnostics, {kSruUnsupportedPacking, packing});
        return;
    }
    const std::string xml = ZeeRexRecord(*db, SruDatabaseName(env, request.database), env.m_host, version);
    Z_SRW_record& record = response.record;
    record.recordSchema = odr_strdup(o, "http://explain.z3950.org/dtd/2.0/");
    record.recordPacking = packing != nullptr && strcmp(packing, "string") == 0 ? Z_SRW_recordPacking_string
                                                                                 : Z_SRW_recordPacking_XML;
    record.recordData_len = static_cast<int>(xml.size());
    record.recordData_buf = odr_strdup(o, xml.c_str());
    record.recordPosition = nullptr;
}
