#pragma once
// CvtDirivToISO2709: builds an ISO 2709 exchange record from the back-end's internal MARC text
// (Diriv, see berkit/marcglobal.h); the exact inverse of Iso2Diriv for well-formed records.
// Stateless; any thread may call.

#include <string>

#include "berkit/bytearray.h"
#include "berkit/marcglobal.h"

// Converts `diriv` into `out` (replaced): leader with recomputed record length (0-4), base address
// (12-16) and entry-map digits "45" (20-21; 22-23 are kept as they are), one 12-octet directory entry per field in Diriv order, the
// directory terminator 0x1E, the fields in the same order, the record terminator 0x1D.
// utf8 != 0: text fields (as IsTextTag defines them for `format`) are converted from the ANSI code
// page to UTF-8 and the lengths follow the converted octets.
// Returns the size of `out`, or -1 with `out` emptied and `error` set when the Diriv text is not
// well formed or the record exceeds ISO 2709 limits (field of 9999 octets, record of 99999).
int CvtDirivToISO2709(const std::string& diriv, CByteArray& out, int utf8, std::string& error,
                      CMarcFormat format = CMarcFormat::kUnimarc);
