#pragma once
// marcglobal: conversion of one ISO 2709 exchange record (MARC) into the back-end's internal MARC
// text, Diriv. Stateless; any thread may call. The reverse direction is CvtDirivToISO2709.
//
// Diriv text format (8-bit string, no zero octets except where a field itself is cut, see below):
//
//   <leader: 24 characters>  { <tag: 3 characters> <field octets> }*  0x1D
//
// - Leader: the 24 leader octets of the ISO 2709 record, copied unchanged; the record length
//   (characters 0-4) and the base address of data (characters 12-16) keep their ISO 2709 values
//   and are not recomputed for the Diriv text.
// - Then, for every directory entry in directory order (which need not be the order of the data):
//   the 3 tag characters immediately followed by the field's octets exactly as the directory
//   delimits them: for data fields the 2 indicator characters, the subfields each introduced by
//   0x1F and a subfield code, and the field terminator 0x1E that ends the stored field; for
//   control fields (00X) the data followed by 0x1E. There is no separator between fields other
//   than the 0x1E each field carries, so the next field's tag follows the 0x1E directly.
// - Finally one record terminator 0x1D. The directory itself is not part of the Diriv text.
//
// Example: leader + "245" + "10" 0x1F "aTitle" 0x1E + "001" + "id1" 0x1E + 0x1D.
//
// Character set: leader, tags and the control/coded-data fields (tags whose first character is
// below '2': the 0XX and 1XX blocks) are always copied unchanged. Text fields (2XX-9XX and any
// other tag) are converted from UTF-8 to the ANSI code page when the record is UTF-8, and copied
// unchanged otherwise. Each piece (leader, directory, field) is taken as text up to its first zero
// octet, so a zero octet inside it cuts that piece short.

#include <string>

#include "bytearray.h"

// Which MARC the record is. It decides which fields hold text in a character set: in UNIMARC
// every field from 200 on (0XX and 1XX are control and coded data); in MARC 21 every field from
// 010 on (only 00X are control fields; 1XX are the main entries, names).
enum class CMarcFormat { kUnimarc, kMarc21 };
bool IsTextTag(const std::string& tag, CMarcFormat format);

// Converts one ISO 2709 record into Diriv text.
// - diriv: replaced by the converted record; on failure it holds what was appended so far.
// - error: receives a message in the ANSI code page on failure; left alone on success.
// - charsetGiven true: text fields are converted from UTF-8 when utf8 is true, copied otherwise.
//   charsetGiven false: utf8 is ignored; a field 100 whose subfield a carries "50" at data
//   positions 26-27 or 28-29 (UNIMARC: Unicode) switches UTF-8 conversion on for all following
//   fields. For MARC 21 (`format`) the leader says it instead: leader/09 "a" is UTF-8.
// Returns the length of diriv (at least 28) on success, -1 on failure. Reads nothing outside
// `record`; directory entries with non-digit numbers are rejected.
int Iso2Diriv(const CByteArray& record, std::string& diriv, std::string& error, bool charsetGiven,
              bool utf8, CMarcFormat format = CMarcFormat::kUnimarc);
