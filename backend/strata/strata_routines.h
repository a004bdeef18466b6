#pragma once
// The system's three small routines around the back-end channel: preparing a channel with
// credentials, logging it in (with an optional anonymous retry), and joining file blocks into
// text. Any thread, on a channel it owns.

#include <cstddef>
#include <string>

#include "backend/strata/strata_channel.h"
#include "berkit/bytearray.h"

// SetInterface, store user and password in the channel, PrepareChannel(nullptr). Returns 0; a
// failure throws extended_exception (code 0) "connect db failed, CConnect::PrepareChannel()".
int PrepareDatabaseChannel(CConnect& connect, const std::string& user, const std::string& password,
                           CInterface* iface);

// API_ChDir with the channel's user and password into a 4096-octet buffer; when that is refused
// and `anonymousRetry` is set, puts fallbackUser/fallbackPassword into the channel and tries once
// more. 0 when logged in; -1 otherwise (the channel's last error says why). The fallback
// credentials stay in the channel until it is prepared again.
int LoginDatabase(CConnect& connect, const std::string& path, bool anonymousRetry,
                  const std::string& fallbackUser, const std::string& fallbackPassword);

// Appends `block` to `text`, each zero-ended piece as one line ending in CR LF (an empty piece an
// empty line); octets after the last zero are not appended.
void AppendPackageText(std::string& text, const unsigned char* block, size_t length);
void AppendPackageText(std::string& text, const CByteArray& block);
