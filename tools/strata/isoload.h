#pragma once
// Preparation of ISO 2709 files for loading into a Strata store: splitting a file into records,
// converting each to Diriv in the ANSI code page and giving it its 7-digit record number in 001.
// Used by the strata tool only. Thread safety: none.

#include <cstdint>
#include <string>
#include <vector>

#include "berkit/bytearray.h"

enum class IsoEncoding { Gbk, Utf8, Marc8, Auto };
enum class IsoFormat { Usmarc, Unimarc };

// One record cut out of a file: where it starts, its bytes, or why it could not be cut.
struct IsoPiece {
    size_t m_ordinal = 0;  // 1-based position in the file
    size_t m_offset = 0;   // byte offset in the file
    CByteArray m_bytes;
    std::string m_error;   // non-empty: the piece is not a record
};

// Splits `file` into records by their leader lengths. A piece whose length field is not 5 digits,
// is below 24, runs past the end or does not end with 0x1D is reported with an error and skipped
// up to the next 0x1D (or the end).
std::vector<IsoPiece> SplitIsoFile(const CByteArray& file);

// The encoding to read each piece in: `encoding` itself, except that with Auto the MARC 21
// records GuessMarc8 (backend/marc/marc8guess.h) finds to be MARC-8 over the whole file get Marc8.
std::vector<IsoEncoding> ChooseEncodings(const std::vector<IsoPiece>& pieces, IsoEncoding encoding, IsoFormat format);

// Converts one record to Diriv in the ANSI code page. Auto: MARC 21 leader/09 "a", or UNIMARC
// 100 $a/26-27 "50", means UTF-8; otherwise field 100 is left to Iso2Diriv's own test (Auto on
// one record never takes it for MARC-8: that is ChooseEncodings' vote over the file). Marc8: the
// record is read with libyaz's MARC-8 tables; the stored record keeps its leader 09 (blank), its
// text in the ANSI code page.
// Returns 0, or -1 with `error`.
int ConvertIsoRecord(const CByteArray& record, IsoEncoding encoding, IsoFormat format, std::string& diriv,
                     std::string& error);

// True when 001 of `diriv` holds a record number (7 digits, 1-9999999); sets `number`.
bool GetRecordNumber(const std::string& diriv, int64_t& number);

// Gives the record `number` in 001; its old 001 (prefixed "(" + 003 + ")" when there is a 003)
// moves to a new 035 $a and its 003 is removed. Returns 0, or -1 with `error`.
int RenumberRecord(std::string& diriv, int64_t number, std::string& error);
