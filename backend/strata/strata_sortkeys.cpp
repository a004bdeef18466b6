// Sort values of a record (strata_sortkeys.h).
#include "backend/strata/strata_sortkeys.h"

#include <cstring>

#include "backend/strata/strata_admin.h"
#include "backend/strata/strata_identifiers.h"
#include "backend/strata/strata_text.h"
#include "berkit/codepage.h"

namespace {

// MARC 21 fields whose indicator (1 or 2) counts the non-filing characters at the start.
struct NonFiling {
    const char* tag;
    int indicator;
};
const NonFiling kNonFiling[] = {{"245", 2}, {"240", 2}, {"242", 2}, {"243", 2}, {"830", 2},
                                {"130", 1}, {"630", 1}, {"730", 1}, {"740", 1}};

int NonFilingCount(const CMARCItem& item) {
    const std::string indicators = item.GetIndicators();
    for (const NonFiling& rule : kNonFiling) {
        if (item.m_tag != rule.tag || indicators.size() != 2) continue;
        const char c = indicators[size_t(rule.indicator - 1)];
        return c >= '0' && c <= '9' ? c - '0' : 0;
    }
    return 0;
}

// `text` without the part between each U+0098 and the next U+009C.
std::string WithoutNonSortPart(const std::string& text) {
    std::string out;
    for (size_t begin = 0;;) {
        const size_t start = text.find("\xC2\x98", begin);
        out.append(text, begin, start == std::string::npos ? std::string::npos : start - begin);
        if (start == std::string::npos) return out;
        const size_t end = text.find("\xC2\x9C", start + 2);
        if (end == std::string::npos) return out;
        begin = end + 2;
    }
}

// `text` without its first `count` characters (UTF-8).
std::string SkipCharacters(const std::string& text, int count) {
    size_t i = 0;
    for (; i < text.size() && count > 0; --count) {
        do ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80);
    }
    return text.substr(i);
}

// Cuts `value` to at most kStrataSortValueMax octets without splitting a character.
void Bound(std::string& value) {
    if (value.size() <= kStrataSortValueMax) return;
    size_t end = kStrataSortValueMax;
    while (end > 0 && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80) --end;
    value.resize(end);
}

// The UTF-8 text `field` selects in `item`: the control field's value (its positions), or the
// indexed subfields joined by a space; non-filing and non-sort parts removed.
std::string FieldText(const CMARCItem& item, const CKeyField& field) {
    std::string text;
    if (item.IsControlField()) {
        text = item.GetValue();
    } else {
        for (const auto& sub : item.GetSubfields()) {
            if (!field.m_subfields.empty() && field.m_subfields.find(sub.first) == std::string::npos) continue;
            text.append(text.empty() ? "" : " ").append(sub.second);
        }
    }
    if (field.m_from >= 0) {
        if (size_t(field.m_from) >= text.size()) return std::string();
        text = text.substr(size_t(field.m_from), size_t(field.m_to - field.m_from + 1));
    }
    if (!IsAscii(text)) {
        const std::string utf8 = AnsiToUtf8(text);
        if (!utf8.empty()) text = utf8;
    }
    return WithoutNonSortPart(SkipCharacters(text, NonFilingCount(item)));
}

// The value of a key of `type` from one field's text; "" when it yields none.
std::string ValueOf(const std::string& utf8, CKeyType type) {
    switch (type) {
    case CKeyType::kNumeric: return StrataTextSortValue(utf8, true);
    case CKeyType::kIsbn:
    case CKeyType::kIssn:
    case CKeyType::kLccn: {
        std::vector<std::string> forms;
        StrataIdentifierForms(type, utf8, forms);
        return forms.empty() ? std::string() : forms.front();
    }
    case CKeyType::kText: break;
    }
    return StrataTextSortValue(utf8, false);
}

}  // namespace

std::string StrataTextSortValue(const std::string& utf8, bool numeric) {
    if (numeric) {
        std::vector<uint64_t> numbers;
        StrataNumbersIn(utf8, numbers);
        return numbers.empty() ? std::string() : StrataNumberToken(numbers.front());
    }
    std::vector<TextUnit> units;
    SplitUnits(utf8, units, TextFolding{true});
    std::string value;
    for (const TextUnit& unit : units) value.append(value.empty() ? "" : " ").append(unit.m_text);
    if (value.empty()) return value;
    std::string original = utf8;
    for (char& c : original)
        if (c == '\0' || c == kStrataSortCaseMark) c = ' ';
    value.append(1, kStrataSortCaseMark).append(original);
    Bound(value);
    return value;
}

bool StrataRecordSortValue(const CMARC& record, const CKeyEntry& key, std::string& value) {
    value.clear();
    for (const CKeyField& field : key.m_fields) {
        for (const CMARCItem& item : record.m_fields) {
            if (item.m_tag != field.m_tag) continue;
            value = ValueOf(FieldText(item, field), key.m_type);
            if (!value.empty()) return true;
        }
    }
    return false;
}

void StrataSortLine(int64_t record, std::string_view value, std::string& line) {
    line.clear();
    if (record < 0 || record > kStrataMaxRecordNumber) {
        line = std::to_string(record);  // no record has such a number; the reading refuses it
    } else {
        line.resize(7);
        for (int i = 6; i >= 0; --i, record /= 10) line[size_t(i)] = char('0' + record % 10);
    }
    line += '\t';
    line += value;
}

bool StrataParseSortLine(std::string_view line, int64_t& record, std::string_view& value) {
    if (line.size() < 8 || line[7] != '\t') return false;
    record = 0;
    for (size_t i = 0; i < 7; ++i) {
        if (line[i] < '0' || line[i] > '9') return false;
        record = record * 10 + (line[i] - '0');
    }
    value = line.substr(8);
    return record > 0;
}
