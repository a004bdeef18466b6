#pragma once
// MARC -> Dublin Core (the SRU "dc" schema, info:srw/schema/1/dc-v1.1): one ISO 2709 record (text
// fields UTF-8) to a <srw_dc:dc> element of simple Dublin Core, written with libxml2 so that every
// value is escaped. The crosswalk, field by field, is the table in MarcToDublinCore's source and
// in the README (MARC 21 and UNIMARC). Stateless; any thread.

#include <string>

#include "berkit/bytearray.h"
#include "berkit/marcglobal.h"

// False with `error` set when the record cannot be read.
bool MarcToDublinCore(const CByteArray& iso, CMarcFormat format, std::string& xml, std::string& error);
