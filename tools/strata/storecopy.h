#pragma once
// strata copy: copies a whole store (databases with their cfgs files, records and index, and the
// accounts with their password hashes) into a new store, then verifies the copy by comparing
// both stores' exports. One thread.

#include <iosfwd>
#include <string>

// `from` must exist; `to` is created (and must not hold a store yet). Progress lines go to `out`.
// 0 when copied and verified; -1 with `error` (a verification failure names the first difference).
int CopyStore(const std::string& from, const std::string& to, std::ostream& out, std::string& error);

// Compares two stores: database list with record counts, cfgs files, accounts (name, rights,
// hash) and every record's ISO 2709 export. 0 when equal; -1 with the first difference in `error`.
int CompareStores(const std::string& a, const std::string& b, std::string& error);
