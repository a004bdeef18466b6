#pragma once
// Code-page conversion for the platform-neutral build: iconv underneath the Windows-style code page
// numbers. 0 = the ANSI code page (GBK unless the host sets another), 65001 = UTF-8, 936 = GBK;
// wide text is UTF-16LE. Invalid input never fails a conversion: invalid sequences become U+FFFD in
// wide text and "?" in multi-byte text, as the Windows converters do with flags 0.
// Thread safety: any thread. iconv descriptors are cached per thread.

#include <string>
#include <vector>

// Sets the iconv name of code page 0 (e.g. "GBK", "UTF-8"). Returns false and keeps the current
// one when iconv does not know the name. Any thread; later conversions use the new code page.
bool PlatSetAnsiCodePage(const char* iconvName);
// The iconv name of code page 0.
std::string PlatGetAnsiCodePage();
// The iconv name for a Windows code page number, or "" when it has none.
std::string PlatCodePageName(unsigned codePage);

// Converts `length` octets of multi-byte text in codePage to UTF-16LE, appended to `wide`.
// Returns false (nothing appended) for an unknown code page.
bool PlatMultiByteToWide(unsigned codePage, const unsigned char* text, size_t length,
                         std::vector<unsigned char>& wide);
// Converts `units` UTF-16LE code units to multi-byte text in codePage, appended to `text`.
// Returns false (nothing appended) for an unknown code page.
bool PlatWideToMultiByte(unsigned codePage, const unsigned char* wide, size_t units,
                         std::vector<unsigned char>& text);
