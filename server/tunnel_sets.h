#pragma once
// Result-set helpers of the session's search code (tunnel_rpn.cpp, tunnel_backend.cpp,
// tunnel_search.cpp). Session thread only; the set belongs to the caller.

class CZResultSet;

// Sorts `set` (Sort(0): order, no duplicates, data file rewritten) unless it already is in row
// order without duplicates, which hit lists of one database and merge outputs always are; then it
// is only indexed. Same results as Sort(0).
int SortResultSet(CZResultSet& set);
