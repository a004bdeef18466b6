// Portable implementation of platform/inifile.h on top of platform/file.h.
#include "platform/inifile.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/file.h"
#include "platform/mutex.h"

namespace {
// Serialises read-modify-write cycles of this process; it guards the files, not a variable.
CMutex g_writeMutex;

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)  // ASCII folding only: names are 8-bit ANSI text
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

struct IniText {
    std::vector<std::string> lines;  // without line ends
    std::string eol = "\n";          // the file's own line end, reused for what we add
};

// Loads the file; a missing file is an empty one. False when it exists but cannot be used.
bool Load(const std::string& file, IniText& text) {
    std::string data;
    if (PlatReadFile(file, data, PLAT_INI_MAX_BYTES) != 0) return errno == ENOENT;
    size_t pos = 0;
    while (pos < data.size()) {
        size_t nl = data.find('\n', pos);
        size_t end = nl == std::string::npos ? data.size() : nl;
        size_t stop = end;
        if (stop > pos && data[stop - 1] == '\r') {
            --stop;
            if (text.lines.empty()) text.eol = "\r\n";
        }
        text.lines.push_back(data.substr(pos, stop - pos));
        pos = nl == std::string::npos ? data.size() : nl + 1;
    }
    return true;
}

// True when the line is a section header; its trimmed name goes to `name`.
bool SectionOf(const std::string& line, std::string& name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

// True when the line is "key=value" (not a comment); trimmed parts go out.
bool KeyOf(const std::string& line, std::string& key, std::string& value) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '[') return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return true;
}

std::string Unquote(const std::string& v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

// Locates [begin, end) of the section's lines after its header; begin is the header's index.
bool FindSection(const IniText& text, const std::string& section, size_t& begin, size_t& end) {
    std::string name;
    for (size_t i = 0; i < text.lines.size(); ++i) {
        if (!SectionOf(text.lines[i], name) || !SameName(name, section)) continue;
        begin = i;
        end = i + 1;
        while (end < text.lines.size() && !SectionOf(text.lines[end], name)) ++end;
        return true;
    }
    return false;
}

bool FindValue(const std::string& section, const std::string& key, const std::string& file,
               std::string& value) {
    IniText text;
    if (!Load(file, text)) return false;
    size_t begin = 0, end = 0;
    if (!FindSection(text, section, begin, end)) return false;
    std::string k, v;
    for (size_t i = begin + 1; i < end; ++i) {
        if (KeyOf(text.lines[i], k, v) && SameName(k, key)) {
            value = Unquote(v);
            return true;
        }
    }
    return false;
}

bool HasAny(const std::string& s, const char* chars) { return s.find_first_of(chars) != std::string::npos; }
}  // namespace

std::string PlatGetProfileString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue, const std::string& file) {
    std::string value;
    return FindValue(section, key, file, value) ? value : defaultValue;
}

int PlatGetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                      const std::string& file) {
    std::string value;
    if (!FindValue(section, key, file, value)) return defaultValue;
    const char* p = value.c_str();
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    long long result = 0;
    for (; *p; ++p) {
        int digit;
        if (*p >= '0' && *p <= '9') digit = *p - '0';
        else if (base == 16 && *p >= 'a' && *p <= 'f') digit = *p - 'a' + 10;
        else if (base == 16 && *p >= 'A' && *p <= 'F') digit = *p - 'A' + 10;
        else break;
        result = result * base + digit;
        if (result > static_cast<long long>(INT_MAX) + 1) result = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) result = -result;
    if (result > INT_MAX) result = INT_MAX;
    return static_cast<int>(result);
}

bool PlatWriteProfileString(const std::string& section, const char* key, const char* value,
                            const std::string& file) {
    if (section.empty() || HasAny(section, "\r\n]")) return false;
    std::string keyText = key ? key : "";
    std::string valueText = value ? value : "";
    if (key && (Trim(keyText).empty() || HasAny(keyText, "\r\n=") || keyText[0] == ';' || keyText[0] == '['))
        return false;
    if (HasAny(valueText, "\r\n")) return false;

    CMutexLock guard(g_writeMutex);
    IniText text;
    if (!Load(file, text)) return false;
    size_t begin = 0, end = 0;
    bool found = FindSection(text, section, begin, end);
    auto& lines = text.lines;
    if (key == nullptr) {
        if (!found) return true;
        lines.erase(lines.begin() + static_cast<long>(begin), lines.begin() + static_cast<long>(end));
    } else if (!found) {
        if (value == nullptr) return true;
        if (!lines.empty() && !Trim(lines.back()).empty()) lines.push_back(std::string());
        lines.push_back("[" + section + "]");
        lines.push_back(Trim(keyText) + "=" + valueText);
    } else {
        std::string k, v;
        size_t at = end;
        for (size_t i = begin + 1; i < end; ++i)
            if (KeyOf(lines[i], k, v) && SameName(k, keyText)) {
                at = i;
                break;
            }
        if (value == nullptr) {
            if (at != end) lines.erase(lines.begin() + static_cast<long>(at));
        } else if (at != end) {
            lines[at] = Trim(keyText) + "=" + valueText;
        } else {
            size_t insert = end;  // after the section's last non-blank line
            while (insert > begin + 1 && Trim(lines[insert - 1]).empty()) --insert;
            lines.insert(lines.begin() + static_cast<long>(insert), Trim(keyText) + "=" + valueText);
        }
    }
    std::string out;
    for (const auto& line : lines) out += line + text.eol;
    if (out.size() > PLAT_INI_MAX_BYTES) return false;
    return PlatWriteFileAtomic(file, out.data(), out.size()) == 0;
}
