// CUseTree, CRightTree, CKeysTree: the configuration code trees of one database.

#include "backend/marc/cfgtrees.h"

#include <strings.h>

#include <iterator>

namespace {

std::unique_ptr<_CCTCmdDefArray> OneCommand(const char* word) {
    auto defs = std::make_unique<_CCTCmdDefArray>();
    defs->Add(word, 1);
    return defs;
}

bool IsAlnum(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool IsTag(const std::string& tag) {
    return tag.size() == 3 && IsAlnum(tag[0]) && IsAlnum(tag[1]) && IsAlnum(tag[2]);
}

bool AreSubfieldCodes(const std::string& codes) {
    for (unsigned char c : codes)
        if (!IsAlnum(c)) return false;
    return true;
}

// The value of a required attribute of a top-level cell, or CError at the cell.
std::string Required(const _CCTCell& cell, const char* name) {
    const std::string* value = cell.FindAttribute(name);
    if (value == nullptr)
        throw CError(std::string("'") + cell.m_command + "' needs the attribute '" + name + "'", cell.m_line,
                     cell.m_column);
    return *value;
}

void NoChildren(const _CCTCell& cell) {
    if (cell.GetChildCount() != 0)
        throw CError("'" + cell.m_command + "' takes no nested commands", cell.m_line, cell.m_column);
}

}  // namespace

CUseTree::CUseTree() { SetCmdDefArray(OneCommand("use")); }

int CUseTree::BuildTree(const std::string& text) {
    CCodeTree::BuildTree(text);
    std::vector<CUseEntry> entries;
    for (const auto& cell : m_root.m_children) {
        NoChildren(*cell);
        CUseEntry entry;
        entry.m_name = Required(*cell, "name");
        cell->GetAttribute("oid", entry.m_oid);
        entries.push_back(std::move(entry));
    }
    m_entries = std::move(entries);
    return 0;
}

CRightTree::CRightTree() { SetCmdDefArray(OneCommand("field")); }

int CRightTree::BuildTree(const std::string& text) {
    CCodeTree::BuildTree(text);
    std::vector<CBriefField> fields;
    for (const auto& cell : m_root.m_children) {
        NoChildren(*cell);
        CBriefField field;
        field.m_tag = Required(*cell, "tag");
        if (!IsTag(field.m_tag))
            throw CError("tag \"" + field.m_tag + "\" is not 3 letters or digits", cell->m_line, cell->m_column);
        cell->GetAttribute("subfields", field.m_subfields);
        if (!AreSubfieldCodes(field.m_subfields))
            throw CError("subfields \"" + field.m_subfields + "\" are not letters or digits", cell->m_line,
                         cell->m_column);
        fields.push_back(std::move(field));
    }
    m_fields = std::move(fields);
    return 0;
}

const CBriefField* CRightTree::FindField(const std::string& tag) const {
    for (const auto& field : m_fields)
        if (field.m_tag == tag) return &field;
    return nullptr;
}

namespace {

const char* const kKeyTypeNames[] = {"text", "numeric", "isbn", "issn", "lccn"};

// 1-2 digits at `text`[pos]; -1 otherwise.
int Position(const std::string& text, size_t& pos) {
    int value = -1;
    for (size_t n = 0; n < 2 && pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++n, ++pos)
        value = (value < 0 ? 0 : value * 10) + (text[pos] - '0');
    return value;
}

}  // namespace

bool ParseKeyField(const std::string& item, CKeyField& field) {
    const size_t slash = item.find('/');
    const std::string head = item.substr(0, slash);
    field = CKeyField{head.substr(0, 3), head.size() > 3 ? head.substr(3) : std::string()};
    if (!IsTag(field.m_tag) || !AreSubfieldCodes(field.m_subfields)) return false;
    if (slash == std::string::npos) return true;
    const std::string positions = item.substr(slash);
    size_t pos = 1;
    field.m_from = Position(positions, pos);
    field.m_to = field.m_from;
    if (pos < positions.size() && positions[pos] == '-') {
        ++pos;
        field.m_to = Position(positions, pos);
    }
    return field.m_from >= 0 && field.m_to >= field.m_from && pos == positions.size();
}

bool ParseKeyType(const std::string& name, CKeyType& type) {
    for (size_t i = 0; i < std::size(kKeyTypeNames); ++i) {
        if (name == kKeyTypeNames[i]) {
            type = CKeyType(i);
            return true;
        }
    }
    return false;
}

const char* KeyTypeName(CKeyType type) { return kKeyTypeNames[size_t(type)]; }

CKeysTree::CKeysTree() { SetCmdDefArray(OneCommand("key")); }

int CKeysTree::BuildTree(const std::string& text) {
    CCodeTree::BuildTree(text);
    std::vector<CKeyEntry> keys;
    for (const auto& cell : m_root.m_children) {
        NoChildren(*cell);
        CKeyEntry key;
        key.m_name = Required(*cell, "name");
        if (key.m_name.empty() || key.m_name.find('/') != std::string::npos)
            throw CError("key name \"" + key.m_name + "\" is empty or holds '/'", cell->m_line, cell->m_column);
        std::string list = Required(*cell, "fields");
        size_t pos = 0;
        while (pos < list.size()) {
            if (list[pos] == ' ' || list[pos] == '\t' || list[pos] == ',') {
                ++pos;
                continue;
            }
            size_t end = list.find_first_of(" \t,", pos);
            if (end == std::string::npos) end = list.size();
            std::string item = list.substr(pos, end - pos);
            CKeyField field;
            if (!ParseKeyField(item, field))
                throw CError("field \"" + item + "\" is not a tag followed by subfield codes", cell->m_line,
                             cell->m_column);
            key.m_fields.push_back(std::move(field));
            pos = end;
        }
        if (key.m_fields.empty())
            throw CError("key \"" + key.m_name + "\" indexes no field", cell->m_line, cell->m_column);
        std::string fold = "none";
        cell->GetAttribute("fold", fold);
        if (fold != "none" && fold != "diacritics")
            throw CError("fold \"" + fold + "\" is neither \"none\" nor \"diacritics\"", cell->m_line,
                         cell->m_column);
        key.m_foldDiacritics = fold == "diacritics";
        std::string type = "text";
        cell->GetAttribute("type", type);
        if (!ParseKeyType(type, key.m_type))
            throw CError("type \"" + type + "\" is not text, numeric, isbn, issn or lccn", cell->m_line, cell->m_column);
        keys.push_back(std::move(key));
    }
    m_keys = std::move(keys);
    return 0;
}

const CKeyEntry* CKeysTree::FindKey(const std::string& name) const {
    for (const auto& key : m_keys)
        if (strcasecmp(key.m_name.c_str(), name.c_str()) == 0) return &key;
    return nullptr;
}
