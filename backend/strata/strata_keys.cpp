#include "backend/strata/strata_keys.h"

#include <algorithm>
#include <strings.h>

#include "backend/strata/strata_identifiers.h"
#include "berkit/codepage.h"

bool CheckStrataRecord(const std::string& diriv, CMARC& record, int64_t& number, std::string& error) {
    if (diriv.empty()) {
        error = "empty record";
        return false;
    }
    if (diriv.size() > kStrataMaxRecordSize) {
        error = "record of " + std::to_string(diriv.size()) + " octets is larger than " +
                std::to_string(kStrataMaxRecordSize);
        return false;
    }
    std::string parseError;
    if (record.Parse(diriv, parseError) < 0) {
        error = "malformed record: " + parseError;
        return false;
    }
    const CMARCItem* f001 = record.FindField("001");
    if (f001 == nullptr) {
        error = "record has no field 001";
        return false;
    }
    std::string value = f001->GetValue();
    while (!value.empty() && value.back() == ' ') value.pop_back();
    size_t start = value.find_first_not_of(' ');
    value = start == std::string::npos ? "" : value.substr(start);
    if (value.empty() || value.size() > 7 ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        error = "field 001 [" + value + "] is not a record number of 1 to 7 digits";
        return false;
    }
    number = std::stoll(value);
    if (number < 1) {
        error = "field 001 holds record number 0";
        return false;
    }
    return true;
}

namespace {

// A value, or the character positions of it that `field` names.
std::string Positions(const std::string& value, const CKeyField& field) {
    if (field.m_from < 0) return value;
    if (size_t(field.m_from) >= value.size()) return std::string();
    return value.substr(size_t(field.m_from), size_t(field.m_to - field.m_from + 1));
}

void SortUnique(std::vector<std::string>& tokens) {
    std::sort(tokens.begin(), tokens.end());
    tokens.erase(std::unique(tokens.begin(), tokens.end()), tokens.end());
}

}  // namespace

void KeyValueUnits(const CMARC& record, const CKeyEntry& key, std::vector<std::vector<TextUnit>>& values,
                   bool byField) {
    values.clear();
    const TextFolding folding = KeyFolding(key);
    std::vector<TextUnit> units;
    std::vector<std::string> forms;
    // Appends the units of `ansi` to the open value, which `close` ends.
    std::vector<TextUnit> open;
    auto add = [&](const std::string& ansi) {
        if (ansi.empty()) return;
        if (key.m_type == CKeyType::kIsbn || key.m_type == CKeyType::kIssn || key.m_type == CKeyType::kLccn) {
            forms.clear();
            StrataIdentifierForms(key.m_type, AnsiToUtf8(ansi), forms);
            for (std::string& f : forms) values.push_back({TextUnit{std::move(f), false}});
            return;
        }
        SplitUnits(AnsiToUtf8(ansi), units, folding);
        open.insert(open.end(), std::make_move_iterator(units.begin()), std::make_move_iterator(units.end()));
    };
    auto close = [&]() {
        if (!open.empty()) values.push_back(std::move(open));
        open.clear();
    };
    for (const CMARCItem& item : record.m_fields) {
        for (const CKeyField& field : key.m_fields) {
            if (item.m_tag != field.m_tag) continue;
            if (item.IsControlField()) {
                add(Positions(item.GetValue(), field));
                close();
                continue;
            }
            for (const auto& sub : item.GetSubfields()) {
                if (!field.m_subfields.empty() && field.m_subfields.find(sub.first) == std::string::npos) continue;
                add(Positions(sub.second, field));
                if (!byField) close();
            }
            close();
        }
    }
}

void KeyTokens(const CMARC& record, const CKeyEntry& key, std::vector<std::string>& tokens) {
    tokens.clear();
    std::vector<std::vector<TextUnit>> values;
    KeyValueUnits(record, key, values);
    for (const auto& units : values) IndexTokens(units, tokens);
    SortUnique(tokens);
}

void KeyDerivedTokens(const CMARC& record, const CKeyEntry& key, std::vector<std::string>& tokens) {
    tokens.clear();
    if (key.m_type != CKeyType::kNumeric) return;
    std::vector<std::vector<TextUnit>> values;
    KeyValueUnits(record, key, values);
    std::vector<uint64_t> numbers;
    for (const auto& units : values)
        for (const TextUnit& unit : units) StrataNumbersIn(unit.m_text, numbers);
    for (const uint64_t n : numbers) tokens.push_back(StrataNumberToken(n));
    SortUnique(tokens);
}

bool CheckKeyNames(const CKeysTree& keys, std::string& error) {
    for (const CKeyEntry& key : keys.GetKeys()) {
        const std::string& n = key.m_name;
        if (n.empty() || n.size() > 64 || strcasecmp(n.c_str(), "cfgs") == 0 ||
            strcasecmp(n.c_str(), "ctlno") == 0 || n.find('/') != std::string::npos ||
            n.find('|') != std::string::npos) {
            error = "keys.cfg: key name [" + n + "] is reserved or not usable in a path";
            return false;
        }
    }
    return true;
}
