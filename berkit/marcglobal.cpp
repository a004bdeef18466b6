// ISO 2709 -> Diriv conversion (format described in marcglobal.h).
#include "marcglobal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bertrace.h"
#include "codepage.h"

namespace {

const int kLeaderSize = 24;
const int kEntrySize = 12;

// The octets [pos, pos + count) of `record` as text up to the first zero octet. The caller has
// checked the range against the record size.
std::string TextAt(const CByteArray& record, size_t pos, size_t count) {
    const char* p = reinterpret_cast<const char*>(record.data()) + pos;
    const void* zero = std::memchr(p, 0, count);
    return std::string(p, zero ? static_cast<const char*>(zero) - p : count);
}

// Reads `count` decimal digits of `text` at `pos`; false when the range is short or holds
// anything but digits.
bool ReadDigits(const std::string& text, size_t pos, size_t count, long& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Leader base address: a plain decimal conversion of characters 12-16 (leading blanks and a sign
// allowed, stops at the first non-digit), bounded to those five characters.
long LeaderBaseAddress(const CByteArray& record) {
    char buf[6];
    std::memcpy(buf, record.data() + 12, 5);
    buf[5] = 0;
    return std::strtol(buf, nullptr, 10);
}

std::string Format(const char* utf8Format, long value) {
    std::string fmt = OperatorText(utf8Format);
    char buf[256];
    std::snprintf(buf, sizeof(buf), fmt.c_str(), static_cast<int>(value));
    return buf;
}

bool IsControlOrCodedTag(const std::string& tag, CMarcFormat format) { return !IsTextTag(tag, format); }

// UNIMARC field 100 $a names the character sets at positions 26-27 (G0) and 28-29 (G1); "50"
// (ISO 10646) in either says the record's text is Unicode (UTF-8). Real UTF-8 records carry it
// in the G0 position, so looking only at 28-29 would take their text for the ANSI code page.
bool Field100SaysUtf8(const std::string& field) {
    size_t k = field.find("\x1f" "a");
    if (k == std::string::npos) return false;
    bool g0 = field.size() >= k + 30 && field.compare(k + 28, 2, "50") == 0;
    bool g1 = field.size() >= k + 32 && field.compare(k + 30, 2, "50") == 0;
    return g0 || g1;
}

// UTF-8 -> ANSI code page, up to the first zero character of the converted text.
std::string TextFieldFromUtf8(const std::string& field) {
    std::string ansi = Utf8ToAnsi(field);
    size_t zero = ansi.find('\0');
    if (zero != std::string::npos) ansi.resize(zero);
    return ansi;
}

}  // namespace

bool IsTextTag(const std::string& tag, CMarcFormat format) {
    if (tag.empty()) return false;
    if (format == CMarcFormat::kMarc21) return !(tag.size() >= 2 && tag[0] == '0' && tag[1] == '0');
    return tag[0] >= '2';
}

int Iso2Diriv(const CByteArray& record, std::string& diriv, std::string& error, bool charsetGiven,
              bool utf8, CMarcFormat format) {
    const long n = static_cast<long>(record.size());
    if (n < kLeaderSize) {
        error = Format("记录长度是 %d < 24", n);
        return -1;
    }
    diriv = TextAt(record, 0, kLeaderSize);

    const long base = LeaderBaseAddress(record);
    const long dirLength = base - 25;
    if (!(base < n && dirLength >= kEntrySize && dirLength % kEntrySize == 0)) {
        error = Format("数据基地址是 %d ,长度不正确", base);
        return -1;
    }
    std::string directory = TextAt(record, kLeaderSize, static_cast<size_t>(dirLength));
    if (static_cast<long>(directory.size()) != dirLength) {
        error = Format("数据基地址是 %d ,长度不正确", static_cast<long>(directory.size()));
        return -1;
    }

    bool utf8On = charsetGiven ? utf8 : false;
    if (!charsetGiven && format == CMarcFormat::kMarc21) utf8On = record[9] == 'a';
    size_t entry = 0;
    while (directory.size() - entry >= static_cast<size_t>(kEntrySize)) {
        std::string tag = directory.substr(entry, 3);
        diriv += tag;
        long length = 0;
        long start = 0;
        // Non-digit numbers cannot locate a field inside the record: reject them like a field
        // that reaches past the record end.
        if (!ReadDigits(directory, entry + 3, 4, length) || !ReadDigits(directory, entry + 7, 5, start) ||
            base + start + length >= n) {
            error = OperatorText("数据地址范围超出记录长度");
            return -1;
        }
        std::string field = TextAt(record, static_cast<size_t>(base + start), static_cast<size_t>(length));
        if (IsControlOrCodedTag(tag, format)) {
            diriv += field;
            if (!charsetGiven && format == CMarcFormat::kUnimarc && tag == "100" && Field100SaysUtf8(field))
                utf8On = true;
        } else if (utf8On) {
            field = TextFieldFromUtf8(field);
            diriv += field;
        } else {
            diriv += field;
        }
        BerTrace("ziduan name = %s\r\n\tsub ziduan = %s\r\n", tag.c_str(), field.c_str());
        entry += kEntrySize;
        BerTrace("dir remain len = %d\r\n", static_cast<int>(directory.size() - entry));
    }
    diriv += '\x1d';
    return static_cast<int>(diriv.size());
}
