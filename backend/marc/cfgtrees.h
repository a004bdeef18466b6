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

// key name="title" fields="245ab 246a 001"
struct CKeyField {
    std::string m_tag;        // 3 characters
    std::string m_subfields;  // subfield codes indexed; empty: the whole field (control fields)
};

struct CKeyEntry {
    std::string m_name;               // key name as used in search paths
    std::vector<CKeyField> m_fields;  // in text order
    bool m_foldDiacritics = false;    // fold="diacritics": Müller is found as muller
};

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
