// Code-page conversions of berkit over the platform converters, and the operator texts.
#include "codepage.h"

#include <strings.h>

#include <algorithm>
#include <map>
#include <system_error>
#include <utility>

#include "platform/codepage.h"
#include "platform/mutex.h"

int ToWChar(CByteArray& wide, CByteArray& text, unsigned codePage)
{
    wide.clear();
    if (text.empty())
        return 0;
    if (!PlatMultiByteToWide(codePage, text.data(), text.size(), wide)) {
        wide.clear();
        return 0;
    }
    return static_cast<int>(wide.size() / 2);
}

int ToMByte(CByteArray& text, CByteArray& wide, unsigned codePage)
{
    text.clear();
    size_t units = wide.size() / 2;
    if (units == 0)
        return 0;
    if (!PlatWideToMultiByte(codePage, wide.data(), units, text)) {
        text.clear();
        return 0;
    }
    return static_cast<int>(text.size());
}

namespace {

// Converts `in` from one code page to another through wide text; leaves `out` unchanged and
// returns 0 when the input yields no wide characters.
int ThroughWide(CByteArray& out, CByteArray& in, unsigned fromPage, unsigned toPage)
{
    CByteArray wide;
    if (ToWChar(wide, in, fromPage) < 1)
        return 0;
    return ToMByte(out, wide, toPage);
}

}  // namespace

int ANSI_UTF8(CByteArray& utf8, CByteArray& ansi)
{
    return ThroughWide(utf8, ansi, 0, 65001);
}

int UTF8_ANSI(CByteArray& ansi, CByteArray& utf8)
{
    return ThroughWide(ansi, utf8, 65001, 0);
}

std::string AnsiToUtf8(const std::string& ansi)
{
    CByteArray in(ansi.begin(), ansi.end());
    CByteArray out;
    if (ANSI_UTF8(out, in) < 1)
        return std::string();
    return std::string(out.begin(), out.end());
}

std::string Utf8ToAnsi(const std::string& utf8)
{
    CByteArray in(utf8.begin(), utf8.end());
    CByteArray out;
    if (UTF8_ANSI(out, in) < 1)
        return std::string();
    return std::string(out.begin(), out.end());
}

std::string OperatorText(const char* utf8)
{
    if (utf8 == nullptr)
        return std::string();
    // Keyed by code page name and text, so a code page change at run time takes effect.
    static CMutex lock;
    static std::map<std::pair<std::string, std::string>, std::string> cache GUARDED_BY(lock);
    std::pair<std::string, std::string> key(PlatGetAnsiCodePage(), utf8);
    {
        CMutexLock guard(lock);
        auto found = cache.find(key);
        if (found != cache.end())
            return found->second;
    }
    std::string text = key.second.empty() ? std::string() : Utf8ToAnsi(key.second);
    if (text.empty())
        text = key.second;
    CMutexLock guard(lock);
    if (cache.size() < 4096)  // operator texts are a fixed set; the bound only guards misuse
        cache.emplace(key, text);
    return text;
}

void ReportSystemErrorMessage(unsigned long code, std::string& text)
{
    // std::error_code's message is strerror's text without strerror's shared buffer. The C
    // library's messages are ASCII, which every ANSI code page keeps as is. An unknown code gives
    // "Unknown error N".
    std::string message = std::generic_category().message(static_cast<int>(code & 0x7FFFFFFF));
    text = OperatorText("系统错误信息：") + message;
}

bool ParseQueryCharset(const std::string& name, CQueryCharset& charset) {
    if (strcasecmp(name.c_str(), "ansi") == 0) {
        charset = CQueryCharset::kAnsi;
    } else if (strcasecmp(name.c_str(), "utf-8") == 0 || strcasecmp(name.c_str(), "utf8") == 0) {
        charset = CQueryCharset::kUtf8;
    } else if (strcasecmp(name.c_str(), "auto") == 0) {
        charset = CQueryCharset::kAuto;
    } else {
        return false;
    }
    return true;
}

bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool IsValidUtf8(const std::string& text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned c = s[i];
        size_t len;
        unsigned cp;
        if (c < 0x80) { ++i; continue; }
        if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
        else return false;
        if (n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += len;
    }
    return true;
}

std::string QueryTermToAnsi(const std::string& term, CQueryCharset charset) {
    if (charset == CQueryCharset::kAnsi || term.empty()) return term;
    if (IsAscii(term)) return term;
    if (charset == CQueryCharset::kAuto && !IsValidUtf8(term)) return term;
    return Utf8ToAnsi(term);
}
