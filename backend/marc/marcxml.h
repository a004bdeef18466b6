#pragma once
// marcxml: ISO 2709 records in other forms, through libyaz's MARC reader and its character-set
// tables (MARC-8 included): MARC 21 slim MARCXML, the line text of SUTRS, and ISO 2709 recoded
// from one character set to another. Every function is stateless (a libyaz handle per call);
// any thread may call.

#include <string>
#include <string_view>

// ISO 2709 octets (as the record service produces them for Present) -> MARC 21 slim MARCXML
// (<record xmlns="http://www.loc.gov/MARC21/slim">...), UTF-8, without an XML declaration (callers
// embed the record). `utf8` tells whether the ISO 2709 data is UTF-8 already; otherwise it is
// converted from `charset` (an iconv or libyaz name: the ANSI code page, or "MARC-8"). The leader
// of the XML says 09 "a" (Unicode). The result is checked to be well-formed XML, so no store text
// reaches it unescaped; control octets of the data are left out. False with `error` set (and
// `xml` emptied) when the record cannot be read or converted.
bool Iso2709ToMarcXml(std::string_view iso, bool utf8, const std::string& charset, std::string& xml,
                      std::string& error);

// ISO 2709 -> readable lines: the leader, then one line per field ("001 data",
// "245 10 $a Title $c Author"), each ending in "\n". `from` and `to` are character-set names;
// equal names (or both empty) copy the data unchanged. False with `error` set (and `text`
// emptied) when the record cannot be read or a character cannot be converted.
bool Iso2709ToLines(std::string_view iso, const std::string& from, const std::string& to, std::string& text,
                    std::string& error);

// ISO 2709 in `from` -> ISO 2709 in `to` (lengths and base address recomputed). With `to` UTF-8
// leader 09 becomes "a", with `to` MARC-8 it becomes blank. False with `error` set (and `out`
// emptied) when the record cannot be read or a character cannot be converted.
bool Iso2709Recode(std::string_view iso, const std::string& from, const std::string& to, std::string& out,
                   std::string& error);

// True for the names libyaz gives MARC-8 ("MARC-8", "marc8", any case; "MARC-8s" and the like too).
bool IsMarc8Charset(const std::string& name);
