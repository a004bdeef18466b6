#pragma once
// ScanIndex: the term list of a Scan, read from the back-end's term index of the key a use
// attribute maps to (the key a search of that use reads), across the databases of the context:
// the terms below the start term and the terms from it on, each with the number of records that
// carry it (summed over the databases), which is the count a search of the term gives.
// Thread safety: none; a call uses its context's channel, which belongs to one thread.

#include <cstddef>
#include <string>
#include <vector>

#include "backend/strata/strata_scan.h"
#include "server/diagnostic.h"
#include "server/searchcontext.h"

struct CScanTerms {
    std::vector<StrataTermCount> m_before;  // up to `before` terms below the start, ascending
    std::vector<StrataTermCount> m_after;   // up to `after` terms from the start on, ascending
};

// `term` in the ANSI code page. 109 for a database the catalogue does not offer, 114 for a use
// no key maps, 2 when the back-end fails; "scan stopped" when the stop flag is seen.
CDiagnostic ScanIndex(const CSearchContext& context, int use, const std::string& term, size_t before, size_t after,
                      CScanTerms& out);
