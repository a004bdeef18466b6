#pragma once
// IP addresses and CIDR ranges of both families as one value, for the IP filter: an IPv4 address
// is held as its IPv4-mapped IPv6 form (::ffff:a.b.c.d), so "10.0.0.0/8" and "::ffff:10.0.0.0/104"
// are the same range and an IPv4 client matches either.
// Thread safety: any thread (values only).

#include <array>
#include <cstdint>
#include <string>

struct PlatIPRange {
    std::array<uint8_t, 16> bytes{};
    int prefix = 128;  // leading bits that must match
};

// Parses "a.b.c.d", "a.b.c.d/N" (N 0..32), an IPv6 address or "IPv6/N" (N 0..128). False for
// anything else (names, masks, stray text).
bool PlatParseIPRange(const std::string& text, PlatIPRange& out);

// True when `address`'s first range.prefix bits equal the range's.
bool PlatIPRangeContains(const PlatIPRange& range, const PlatIPRange& address);

// Splits a listening address "[ADDR:]PORT" (ADDR may be "[v6]"; the brackets are dropped).
// `address` keeps the value it had when the text names none. False when PORT is not a number from 0 to
// `maxPort`.
bool PlatSplitListenSpec(const std::string& text, long maxPort, std::string& address, long& port);
