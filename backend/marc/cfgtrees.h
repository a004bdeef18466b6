#pragma once
// The code trees of the per-database configuration files: CUseTree (use.cfg: use attribute to
// key name), CRightTree (zbrief.cfg: the brief-record definition) and CKeysTree (keys.cfg: the
// MARC fields and subfields each search key indexes). Syntax: codetree.h. Each BuildTree throws
// CError (with line and column) for syntax errors and for missing or malformed attributes.
// Thread safety: none while building; read-only use from several threads afterwards is safe.

#include <string>
#include <vector>

#include "backend/marc/codetree.h"

// use name="title" oid="4"
struct CUseEntry {
    std::string m_name;  // back-end key name
    std::string m_oid;   // use attribute number as decimal text; may be empty (not searchable)
};

class CUseTree : public CCodeTree {
public:
    CUseTree();
    // Parses and fills the entries in text order. "name" is required. Returns 0.
    int BuildTree(const std::string& text) override;
    const std::vector<CUseEntry>& GetEntries() const { return m_entries; }

private:
    std::vector<CUseEntry> m_entries;
};

// field tag="245" subfields="ab"
struct CBriefField {
    std::string m_tag;        // 3 characters
    std::string m_subfields;  // subfield codes to keep; empty keeps the whole field
};

class CRightTree : public CCodeTree {
public:
    CRightTree();
    // Parses and fills the field list. "tag" (3 letters or digits) is required. Returns 0.
    int BuildTree(const std::string& text) override;
    const std::vector<CBriefField>& GetFields() const { return m_fields; }
    // The definition for `tag`, or null when the brief record leaves that field out.
    const CBriefField* FindField(const std::string& tag) const;

private:
    std::vector<CBriefField> m_fields;
};

// key name="title" fields="245ab 246a 001"; key name="date" fields="008/07-10 260c" type="numeric"
struct CKeyField {
    std::string m_tag;        // 3 characters
    std::string m_subfields;  // subfield codes indexed; empty: the whole field (control fields)
    int m_from = -1;          // "008/07-10", "100a/09-12": character positions 7 to 10 of each value; -1 all
    int m_to = -1;
};

// What a key's values are: words, or numbers (words that relations compare too), or standard
// numbers matched in one normalised form (ISBN both as ISBN-10 and ISBN-13).
enum class CKeyType { kText, kNumeric, kIsbn, kIssn, kLccn };

struct CKeyEntry {
    std::string m_name;               // key name as used in search paths
    std::vector<CKeyField> m_fields;  // in text order
    bool m_foldDiacritics = false;    // fold="diacritics": Müller is found as muller
    CKeyType m_type = CKeyType::kText;  // type="text" (default), "numeric", "isbn", "issn", "lccn"
};

// One item of a key's field list: a tag, subfield codes, then optionally "/NN" or "/NN-NN"
// character positions of each value.
// False when the item is not one.
bool ParseKeyField(const std::string& item, CKeyField& field);
// The type named `name` ("text", "numeric", ...); false for an unknown name.
bool ParseKeyType(const std::string& name, CKeyType& type);
const char* KeyTypeName(CKeyType type);

class CKeysTree : public CCodeTree {
public:
    CKeysTree();
    // Parses and fills the keys. "name" and "fields" are required; each field item is a 3-character
    // tag followed by subfield codes (letters or digits). "fold" is optional: "diacritics" or
    // "none" (the default). Returns 0.
    int BuildTree(const std::string& text) override;
    const std::vector<CKeyEntry>& GetKeys() const { return m_keys; }
    // The key named `name` (case-insensitive), or null.
    const CKeyEntry* FindKey(const std::string& name) const;

private:
    std::vector<CKeyEntry> m_keys;
};
