#pragma once
// CPropertyTree: parser of a database's property.cfg ("prop type=... value=..." commands), built
// on the code-tree parser; each "prop" command becomes a CPropertyCell carrying its type and value.
// Syntax: backend/marc/codetree.h. Thread safety: none; a tree belongs to the thread that built it.

#include <memory>
#include <string>

#include "backend/marc/codetree.h"

class CPropertyCell : public _CCTCell {
public:
    void CopyFrom(const _CCTCell& other) override;
    std::unique_ptr<_CCTCell> NewCell() const override;

    std::string m_type;   // the "type" attribute; empty when missing
    std::string m_value;  // the "value" attribute; empty when missing
};

class CPropertyTree : public CCodeTree {
public:
    // Command code of "prop".
    static constexpr int kCmdProp = 1;

    // Parses `text` (command table: "prop" only) and fills m_type / m_value of every "prop"
    // cell under the root. 0; -1 when the command table cannot be made. Throws CError on a
    // syntax error or an unknown command word.
    int BuildTree(const std::string& text) override;
    // Fills the "prop" children of `cell` from their attributes. 0.
    int WarmUp(_CCTCell* cell) override;
    using CCodeTree::WarmUp;
    // A CPropertyCell for "prop", null (a plain cell) for anything else.
    std::unique_ptr<_CCTCell> NewObject(const _CCTCell& command) override;
};
