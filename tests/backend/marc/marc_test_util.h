#pragma once
// Helpers of the vkmarc tests: demo record files split into ISO 2709 records, Diriv builders.

#include <string>
#include <vector>

#include "berkit/bytearray.h"

// The records of an ISO 2709 file, split by their leader lengths (the file must be well formed).
std::vector<CByteArray> ReadIsoRecords(const std::string& path);
// data/demo/<relative> in the source tree.
std::string DemoPath(const std::string& relative);
// Runs data/demo/gendemo.py KIND into a temporary file with COUNT records; returns its records.
std::vector<CByteArray> GenerateDemoRecords(const std::string& kind, int count);
// Leader (24 characters) + the given tag/data pieces + 0x1D.
std::string MakeDiriv(const std::vector<std::pair<std::string, std::string>>& fields,
                      const std::string& leader = "00000nam a2200000 a 4500");
// An ISO 2709 MARC 21 record of 001 "0000007" and a 245 10 $a holding `title` (octets as given),
// leader 09 from `leader09`.
std::string TitleRecord(const std::string& title, char leader09 = ' ');
