#pragma once
// Character-set conversion between multi-byte code pages (the ANSI code page, UTF-8, GBK) and wide
// text (UTF-16LE in a byte array), plus the system's operator texts and error texts.
// Code pages: 0 = the ANSI code page (GB18030 unless the host sets another, see platform/codepage.h),
// 65001 = UTF-8, 936 = GBK. Invalid input is converted as far as it is valid; invalid sequences
// become U+FFFD in wide text and "?" in multi-byte text (no failure).
// Thread safety: any thread.

#include <string>

#include "bytearray.h"

// Multi-byte `text` in codePage to wide. Returns the number of wide characters; 0 (wide empty) when
// the text is empty or the code page is unknown.
int ToWChar(CByteArray& wide, CByteArray& text, unsigned codePage);
// Wide to multi-byte in codePage; an odd trailing octet is ignored. Returns the octets written, 0 on
// failure or empty input (text empty).
int ToMByte(CByteArray& text, CByteArray& wide, unsigned codePage);
// ANSI code page to UTF-8. Returns the UTF-8 octets; 0 leaves utf8 unchanged.
int ANSI_UTF8(CByteArray& utf8, CByteArray& ansi);
// UTF-8 to the ANSI code page. Returns the ANSI octets; 0 leaves ansi unchanged.
int UTF8_ANSI(CByteArray& ansi, CByteArray& utf8);
// text = "系统错误信息：" + the strerror text of `code`, in the ANSI code page.
void ReportSystemErrorMessage(unsigned long code, std::string& text);
// Converts an operator text kept in the source as UTF-8 to the ANSI code page (cached per text and
// code page). Returns the input unchanged when it cannot be converted.
std::string OperatorText(const char* utf8);

// How the search terms of a client that did not negotiate UTF-8 are read: as the ANSI code page
// (ansi), as UTF-8 (utf-8), or as UTF-8 when they are valid UTF-8 holding a non-ASCII octet and as
// the ANSI code page otherwise (auto).
enum class CQueryCharset { kAnsi, kUtf8, kAuto };
// "ansi", "utf-8" (or "utf8") and "auto", without regard to case. False for anything else.
bool ParseQueryCharset(const std::string& name, CQueryCharset& charset);
// Whether every octet of `text` is below 0x80.
bool IsAscii(const std::string& text);
// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool IsValidUtf8(const std::string& text);
// A term as sent by a client that did not negotiate UTF-8, in the ANSI code page.
std::string QueryTermToAnsi(const std::string& term, CQueryCharset charset);

// String forms of ANSI_UTF8 / UTF8_ANSI; an empty or unconvertible input gives "".
std::string AnsiToUtf8(const std::string& ansi);
std::string Utf8ToAnsi(const std::string& utf8);
