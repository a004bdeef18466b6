// Record syntaxes beyond ISO 2709: MARCXML and SUTRS through backend/marc/marcxml.

#include "server/recordsyntax.h"

#include <string_view>

#include "backend/marc/marcxml.h"
#include "server/dbarray.h"

bool ServesRecordSyntax(const CDatabaseNode& db, const std::string& oid) {
    return oid == db.m_syntaxOID || oid == kOidMarcXml || oid == kOidSutrs;
}

bool RecordSyntaxWantsUtf8(const std::string& oid, bool utf8) { return oid == kOidMarcXml || utf8; }

bool ConvertRecordSyntax(const CDatabaseNode& db, const std::string& oid, CByteArray& octets, std::string& error) {
    if (oid.empty() || oid == db.m_syntaxOID)
        return true;
    const std::string_view iso(reinterpret_cast<const char*>(octets.data()), octets.size());
    std::string text;
    bool done = false;
    if (oid == kOidMarcXml)
        done = Iso2709ToMarcXml(iso, true, std::string(), text, error);
    else if (oid == kOidSutrs)  // the lines keep the charset of the ISO 2709 record
        done = Iso2709ToLines(iso, std::string(), std::string(), text, error);
    else
        error = "record syntax " + oid + " is not served";
    if (!done)
        return false;
    octets.assign(text.begin(), text.end());
    return true;
}
