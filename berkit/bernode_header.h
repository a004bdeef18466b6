#pragma once
// Internal to berkit: the identifier and length fields of a BER element (X.690 8.1.2, 8.1.3),
// shared by the decoder and the completeness test.
// Thread safety: pure functions; any thread.

// Deepest nesting of elements the decoder and the completeness test accept.
constexpr int kBerMaxDepth = 64;

// Reads the tag number of the identifier octets at `data` (at most `available` octets). Returns the
// identifier octets used, or 0 with `tag` set to 0xFFFFFFFF when the field is truncated or the
// number does not fit in 32 bits.
int BerGetTag(const unsigned char* data, long available, unsigned int& tag);
// Reads the length field at `data`. Returns the length octets used, or 0 with `length` set to -1
// when the field is truncated, has more than 8 length octets, or its value is 2^31 or more.
// The indefinite form gives -1 with 1 octet used.
int BerGetLength(const unsigned char* data, long available, long& length);
