// CvtDirivToISO2709: internal MARC text to ISO 2709.

#include "backend/marc/cvtdiriv.h"

#include <cstdio>

#include "backend/marc/marcrecord.h"
#include "berkit/codepage.h"

namespace {

constexpr size_t kMaxFieldLength = 9999;
constexpr size_t kMaxRecordLength = 99999;

void PutNumber(std::string& text, size_t pos, size_t width, size_t value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*zu", static_cast<int>(width), value);
    text.replace(pos, width, digits, width);
}

int Fail(CByteArray& out, std::string& error, std::string message) {
    out.clear();
    error = std::move(message);
    return -1;
}

}  // namespace

int CvtDirivToISO2709(const std::string& diriv, CByteArray& out, int utf8, std::string& error, CMarcFormat format) {
    CMARC record;
    std::string parseError;
    if (record.Parse(diriv, parseError) < 0) return Fail(out, error, "CvtDirivToISO2709: " + parseError);

    std::string directory;
    std::string data;
    for (const CMARCItem& item : record.m_fields) {
        std::string field = item.m_data;
        if (utf8 != 0 && IsTextTag(item.m_tag, format)) {
            field = AnsiToUtf8(item.m_data);
            if (field.empty())
                return Fail(out, error, "CvtDirivToISO2709: field " + item.m_tag + " cannot be converted to UTF-8");
        }
        if (field.size() > kMaxFieldLength)
            return Fail(out, error, "CvtDirivToISO2709: field " + item.m_tag + " is longer than 9999 octets");
        if (data.size() > kMaxRecordLength)
            return Fail(out, error, "CvtDirivToISO2709: record is longer than 99999 octets");
        std::string entry = item.m_tag + "000000000";
        PutNumber(entry, 3, 4, field.size());
        PutNumber(entry, 7, 5, data.size());
        directory += entry;
        data += field;
    }
    size_t base = kMarcLeaderSize + directory.size() + 1;
    size_t total = base + data.size() + 1;
    if (total > kMaxRecordLength) return Fail(out, error, "CvtDirivToISO2709: record is longer than 99999 octets");

    std::string leader = record.m_leader;
    PutNumber(leader, 0, 5, total);
    PutNumber(leader, 12, 5, base);
    leader[20] = '4';  // length-of-field-length and starting-position digits of our directory
    leader[21] = '5';

    out.clear();
    out.reserve(total);
    out.insert(out.end(), leader.begin(), leader.end());
    out.insert(out.end(), directory.begin(), directory.end());
    out.push_back(static_cast<unsigned char>(kMarcFieldEnd));
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(static_cast<unsigned char>(kMarcRecordEnd));
    return static_cast<int>(out.size());
}
