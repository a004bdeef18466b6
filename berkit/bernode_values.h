#pragma once
// Primitive value codecs of BER: INTEGER, BOOLEAN, BIT STRING, OBJECT IDENTIFIER and character
// strings, from the content octets of a primitive CBERNode to program values.
// Thread safety: pure functions over the arrays given; any thread.

#include <string>

#include "bytearray.h"

// Sign-extended big-endian two's complement of 1 to 4 octets. False with value 0 for any other size.
bool DecodeInteger(const CByteArray& content, long& value);
// value = content not empty and its first octet not 0. Always returns 0.
int DecodeBoolean(const CByteArray& content, bool& value);
// Text of "y"/"n" flags, bit 0 first. A content shorter than 2 octets (no data octet) gives "",
// an unused-bits count above 7 is taken as 7. Always returns true.
bool DecodeBitString(const CByteArray& content, std::string& text);
// Dotted decimal text ("1.2.840.10003.3.1"). Never reads outside `content`: a truncated last
// sub-identifier is dropped, at most 30 sub-identifiers are converted, and an arc that does not fit
// in 32 bits stops the conversion before it (the complete arcs before it are kept). Always true.
bool DecodeOID(const CByteArray& content, std::string& text);
// The content up to its first zero octet; with utf8 the content is first converted from UTF-8 to
// the ANSI code page (empty text when that yields nothing). Always returns true.
bool DecodeGeneralString(const CByteArray& content, std::string& text, bool utf8);
// DecodeGeneralString without UTF-8 conversion.
bool DecodeOctetString(const CByteArray& content, std::string& text);
// Reverses a 2, 4 or 8 octet array in place and returns 0; any other size: unchanged, -1.
int ChangeIntegerOrder(CByteArray& bytes);
