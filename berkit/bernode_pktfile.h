#pragma once
// PDU packet files: each logged request or response PDU is written, as raw BER octets, to a file of
// its own named folder/prefix_YYYYmmdd_HHMMSS_kind_berXXXX.ber. Paths use "/".
// Thread safety: any thread; names stay distinct between concurrent calls.

// Writes `length` octets of `data` to a new file in `folder` (which must exist) named
// prefix + "_" + local time + "_" + kind + "_" + a unique stem + ".ber". Every failure (missing
// folder, open or write error) ends silently.
void LogBerPackage(const char* folder, const char* prefix, const char* kind, char* data, int length,
                   bool append);
// Writes `length` octets of `data` to `path`, creating it; without `append` an existing file is
// truncated, with `append` the octets follow its old content. Errors are dropped. Returns 0.
int DumpBytes(const char* path, char* data, int length, bool append);
