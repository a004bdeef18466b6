#pragma once
// Windows-profile-style ini files ("[section]" headers, "key=value" lines, ";" comments), the
// format of the instance file vk9000.ini. Section and key names compare without regard to case;
// CR LF and LF line ends are both read; a value in matching quotes loses the quotes. Files above
// PLAT_INI_MAX_BYTES are refused as if absent (reads give the default, writes fail).
// Thread safety: any thread; writes within this process are serialised, and a file is replaced
// atomically so readers never see half a write.

#include <cstddef>
#include <string>

constexpr size_t PLAT_INI_MAX_BYTES = 1024 * 1024;

// The value of section/key, or `defaultValue` when the file, section or key is missing.
std::string PlatGetProfileString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue, const std::string& file);

// The value as a decimal integer (optional sign, "0x" for hexadecimal; digits end at the first
// non-digit and an out-of-range value is clamped). A missing key gives `defaultValue`; a value
// that starts with no digit gives 0, as Windows does.
int PlatGetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                      const std::string& file);

// Sets section/key to value, creating the file, section or key as needed and keeping every other
// line as it was. A null `value` deletes the key; a null `key` deletes the whole section.
// False when the file cannot be read (too large) or written. Names must not contain line breaks,
// '=' (in keys) or ']' (in sections): such calls return false.
bool PlatWriteProfileString(const std::string& section, const char* key, const char* value,
                            const std::string& file);
