#pragma once
// Record syntaxes beyond a database's own ISO 2709 form: MARCXML (MARC 21 slim, UTF-8) and SUTRS
// (the record's fields as readable lines), made from the ISO 2709 record the record service built.
// Stateless; any thread.

#include <string>

#include "berkit/bernode_apdu.h"
#include "berkit/bytearray.h"

class CDatabaseNode;

constexpr const char* kOidMarcXml = "1.2.840.10003.5.109.10";
constexpr const char* kOidSutrs = kZOidSutrs;

// Whether `db` delivers its records in syntax `oid`: its own syntax, MARCXML or SUTRS.
bool ServesRecordSyntax(const CDatabaseNode& db, const std::string& oid);

// Whether the ISO 2709 record is to be built in UTF-8 for syntax `oid` (MARCXML always is);
// `utf8` says whether the client asked for UTF-8 records.
bool RecordSyntaxWantsUtf8(const std::string& oid, bool utf8);

// Turns `octets`, the ISO 2709 record, into syntax `oid` in place (nothing to do for the
// database's own syntax). False with `error` set when the record cannot be converted.
bool ConvertRecordSyntax(const CDatabaseNode& db, const std::string& oid, CByteArray& octets, std::string& error);
