#include "backend/strata/strata_keys.h"

#include <algorithm>
#include <strings.h>

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

void KeyValueUnits(const CMARC& record, const CKeyEntry& key,
                   std::vector<std::vector<TextUnit>>& values) {
    values.clear();
    const TextFolding folding = KeyFolding(key);
    auto addValue = [&values, folding](const std::string& ansi) {
        if (ansi.empty()) return;
        std::vector<TextUnit> units;
        SplitUnits(AnsiToUtf8(ansi), units, folding);
        if (!units.empty()) values.push_back(std::move(units));
    };
    for (const CMARCItem& item : record.m_fields) {
        for (const CKeyField& field : key.m_fields) {
            if (item.m_tag != field.m_tag) continue;
            if (field.m_subfields.empty() || item.IsControlField()) {
                if (item.IsControlField()) {
                    addValue(item.GetValue());
                } else {
                    for (const auto& sub : item.GetSubfields()) addValue(sub.second);
                }
                continue;
            }
            for (const auto& sub : item.GetSubfields()) {
                if (field.m_subfields.find(sub.first) != std::string::npos) addValue(sub.second);
            }
        }
    }
}

void KeyTokens(const CMARC& record, const CKeyEntry& key, std::vector<std::string>& tokens) {
    tokens.clear();
    std::vector<std::vector<TextUnit>> values;
    KeyValueUnits(record, key, values);
    for (const auto& units : values) IndexTokens(units, tokens);
    std::sort(tokens.begin(), tokens.end());
    tokens.erase(std::unique(tokens.begin(), tokens.end()), tokens.end());
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
