#pragma once
// The text of a type-1 (RPN) query in PQF, the prefix notation of yaz-client's "find"
// ("@and @attr 1=4 computer @attr 1=1003 knuth"), for the access log. Attribute values that are
// not numbers, terms of other kinds and nodes nested past kRPNMaxDepth are shown as "?".
// Thread safety: any thread (reads the tree only).

#include <string>

class CBERNode;

// `rpn` is the top RPNStructure of a searchRequest (null gives ""). Terms in UTF-8 when `utf8`
// is set are converted to the ANSI code page like the search's own.
std::string QueryToPqf(CBERNode* rpn, bool utf8);
