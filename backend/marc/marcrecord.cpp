// CMARC / CMARCItem: Diriv record model and the brief-record reduction.

#include "backend/marc/marcrecord.h"

#include "backend/marc/cfgtrees.h"

namespace {

bool IsTagChar(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

CMARCItem CMARCItem::MakeControlField(const std::string& tag, const std::string& value) {
    return CMARCItem(tag, value + kMarcFieldEnd);
}

CMARCItem CMARCItem::MakeDataField(const std::string& tag, char ind1, char ind2,
                                   const std::vector<std::pair<char, std::string>>& subfields) {
    std::string data{ind1, ind2};
    for (const auto& sub : subfields) {
        data += kMarcSubfieldMark;
        data += sub.first;
        data += sub.second;
    }
    data += kMarcFieldEnd;
    return CMARCItem(tag, std::move(data));
}

bool CMARCItem::IsControlField() const {
    return m_tag.size() == 3 && m_tag[0] == '0' && m_tag[1] == '0' && m_tag[2] >= '0' && m_tag[2] <= '9';
}

std::string CMARCItem::GetValue() const {
    if (!m_data.empty() && m_data.back() == kMarcFieldEnd) return m_data.substr(0, m_data.size() - 1);
    return m_data;
}

std::string CMARCItem::GetIndicators() const {
    if (IsControlField() || m_data.size() < 2 || m_data[0] == kMarcSubfieldMark || m_data[1] == kMarcSubfieldMark)
        return std::string();
    return m_data.substr(0, 2);
}

std::vector<std::pair<char, std::string>> CMARCItem::GetSubfields() const {
    std::vector<std::pair<char, std::string>> result;
    if (IsControlField()) return result;
    std::string value = GetValue();
    size_t pos = value.find(kMarcSubfieldMark);
    while (pos != std::string::npos && pos + 1 < value.size()) {
        size_t next = value.find(kMarcSubfieldMark, pos + 1);
        size_t end = next == std::string::npos ? value.size() : next;
        result.emplace_back(value[pos + 1], value.substr(pos + 2, end - pos - 2));
        pos = next;
    }
    return result;
}

bool CMARCItem::GetSubfield(char code, std::string& value) const {
    for (auto& sub : GetSubfields()) {
        if (sub.first == code) {
            value = std::move(sub.second);
            return true;
        }
    }
    return false;
}

int CMARCItem::Read(const CMARC& source, const CRightTree& definition, CMARC& brief, std::string& error) {
    if (source.m_leader.size() != kMarcLeaderSize) {
        error = "brief record: source record has no leader";
        return -1;
    }
    brief.m_leader = source.m_leader;
    brief.m_fields.clear();
    brief.m_definition = nullptr;
    for (const CMARCItem& item : source.m_fields) {
        const CBriefField* def = definition.FindField(item.m_tag);
        if (def == nullptr) continue;
        if (def->m_subfields.empty() || item.IsControlField()) {
            brief.m_fields.push_back(item);
            continue;
        }
        std::vector<std::pair<char, std::string>> kept;
        for (auto& sub : item.GetSubfields())
            if (def->m_subfields.find(sub.first) != std::string::npos) kept.push_back(std::move(sub));
        if (kept.empty()) continue;
        std::string ind = item.GetIndicators();
        if (ind.size() != 2) ind = "  ";
        brief.m_fields.push_back(MakeDataField(item.m_tag, ind[0], ind[1], kept));
    }
    return static_cast<int>(brief.m_fields.size());
}

int CMARC::Parse(const std::string& diriv, std::string& error) {
    m_leader.clear();
    m_fields.clear();
    if (diriv.size() < kMarcLeaderSize + 1) {
        error = "internal MARC text of " + std::to_string(diriv.size()) + " octets is shorter than a leader";
        return -1;
    }
    for (size_t i = 0; i < kMarcLeaderSize; ++i) {
        char c = diriv[i];
        if (c == 0 || c == kMarcRecordEnd || c == kMarcFieldEnd || c == kMarcSubfieldMark) {
            error = "leader holds a control octet at position " + std::to_string(i);
            return -1;
        }
    }
    std::vector<CMARCItem> fields;
    size_t pos = kMarcLeaderSize;
    while (pos < diriv.size() && diriv[pos] != kMarcRecordEnd) {
        if (pos + 3 > diriv.size() || !IsTagChar(diriv[pos]) || !IsTagChar(diriv[pos + 1]) ||
            !IsTagChar(diriv[pos + 2])) {
            error = "bad field tag at offset " + std::to_string(pos);
            return -1;
        }
        std::string tag = diriv.substr(pos, 3);
        size_t dataStart = pos + 3;
        size_t end = dataStart;
        while (end < diriv.size() && diriv[end] != kMarcFieldEnd) {
            if (diriv[end] == kMarcRecordEnd || diriv[end] == 0) {
                error = "field " + tag + " at offset " + std::to_string(pos) + " is not ended by 0x1E";
                return -1;
            }
            ++end;
        }
        if (end >= diriv.size()) {
            error = "field " + tag + " at offset " + std::to_string(pos) + " is not ended by 0x1E";
            return -1;
        }
        fields.emplace_back(std::move(tag), diriv.substr(dataStart, end + 1 - dataStart));
        pos = end + 1;
    }
    if (pos >= diriv.size()) {
        error = "internal MARC text is not ended by 0x1D";
        return -1;
    }
    if (pos + 1 != diriv.size()) {
        error = "text follows the record end at offset " + std::to_string(pos);
        return -1;
    }
    if (fields.empty()) {
        error = "record has no field";
        return -1;
    }
    m_leader = diriv.substr(0, kMarcLeaderSize);
    m_fields = std::move(fields);
    return static_cast<int>(m_fields.size());
}

int CMARC::Create(const std::string& diriv, const CRightTree* definition, std::string& error) {
    if (definition == nullptr) {
        error = "brief record: no definition";
        return -1;
    }
    if (Parse(diriv, error) < 0) return -1;
    m_definition = definition;
    return 0;
}

int CMARC::Reduce(CMARC& brief, std::string& error) const {
    if (m_definition == nullptr) {
        error = "brief record: no definition";
        return -1;
    }
    return CMARCItem::Read(*this, *m_definition, brief, error);
}

int CMARC::BuildMARC(std::string& diriv) const {
    diriv = m_leader;
    for (const CMARCItem& item : m_fields) {
        diriv += item.m_tag;
        diriv += item.m_data;
    }
    diriv += kMarcRecordEnd;
    return static_cast<int>(diriv.size());
}

const CMARCItem* CMARC::FindField(const std::string& tag) const {
    for (const CMARCItem& item : m_fields)
        if (item.m_tag == tag) return &item;
    return nullptr;
}

CMARCItem* CMARC::FindField(const std::string& tag) {
    for (CMARCItem& item : m_fields)
        if (item.m_tag == tag) return &item;
    return nullptr;
}

int CMARC::RemoveFields(const std::string& tag) {
    size_t before = m_fields.size();
    std::erase_if(m_fields, [&](const CMARCItem& item) { return item.m_tag == tag; });
    return static_cast<int>(before - m_fields.size());
}

void CMARC::InsertField(CMARCItem item) {
    auto it = m_fields.begin();
    while (it != m_fields.end() && it->m_tag <= item.m_tag) ++it;
    m_fields.insert(it, std::move(item));
}
