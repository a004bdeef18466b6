#pragma once
// CCodeTree: the parser of the code-tree configuration files (use.cfg, property.cfg, zbrief.cfg,
// keys.cfg) and the cell tree it builds. Thread safety: none; a tree belongs to the thread that
// built it and may be read concurrently only once building has finished.
//
// Text syntax (8-bit text in the ANSI code page; lines end in LF or CR LF):
//   # a comment runs to the end of the line
//   word name="value" other="value"      one command per line: a word and its attributes
//   word name="value" {                  "{" at the end of a command line (or alone on the next
//     child attr="x"                     line) opens the command's children; "}" alone on its line
//   }                                    closes them
// Words and attribute names are ASCII letters, digits, "_", "-" and "."; they start with a letter
// or "_". Values are double-quoted and run to the next double quote on the same line (no escapes;
// GBK never has a '"' inside a character). Limits: text of at most kMaxCodeTreeText octets,
// nesting at most kMaxCodeTreeDepth levels. Any violation throws CError with line and column.

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

constexpr size_t kMaxCodeTreeText = 4u * 1024u * 1024u;
constexpr int kMaxCodeTreeDepth = 32;

// A configuration parse error: message, 1-based line and column (in octets) of the offending place.
class CError : public std::runtime_error {
public:
    CError(const std::string& message, int line, int column);
    const std::string& GetMessage() const { return m_message; }
    int GetLine() const { return m_line; }
    int GetColumn() const { return m_column; }

    std::string m_message;
    int m_line;
    int m_column;
};

// The command words a tree accepts, each mapped to the code its cells carry.
class _CCTCmdDefArray {
public:
    void Add(const std::string& word, int code);
    // The code of `word` (exact, case-sensitive), or -1 when it is not defined.
    int Find(const std::string& word) const;
    size_t GetSize() const { return m_defs.size(); }

private:
    std::vector<std::pair<std::string, int>> m_defs;
};

// One command of the tree: word, code, attributes in text order, children, and where it was written.
class _CCTCell {
public:
    _CCTCell() = default;
    _CCTCell(const _CCTCell&) = delete;
    _CCTCell& operator=(const _CCTCell&) = delete;
    virtual ~_CCTCell();

    // Value of attribute `name` (case-insensitive name); null when the cell has none.
    const std::string* FindAttribute(const std::string& name) const;
    // Same, into `value`; false (value untouched) when missing.
    bool GetAttribute(const std::string& name, std::string& value) const;

    size_t GetChildCount() const { return m_children.size(); }
    _CCTCell* GetChild(size_t i) const { return i < m_children.size() ? m_children[i].get() : nullptr; }
    void FreeChildrenObjects() { m_children.clear(); }

    // Warm-up hook of a subclass cell; the base does nothing and returns 0.
    virtual int WarmUp() { return 0; }
    // Copies the subclass data of `other` (the base copies nothing of its own).
    virtual void CopyFrom(const _CCTCell& other);
    // A new empty cell of the same class, owned by the caller.
    virtual std::unique_ptr<_CCTCell> NewCell() const;

    std::string m_command;                                         // command word
    int m_code = 0;                                                // code from the command table
    std::vector<std::pair<std::string, std::string>> m_attributes; // name, value in text order
    std::vector<std::unique_ptr<_CCTCell>> m_children;             // owned
    _CCTCell* m_parent = nullptr;                                  // not owned; null for the root
    int m_line = 0;
    int m_column = 0;
};

class CCodeTree {
public:
    CCodeTree();
    CCodeTree(const CCodeTree&) = delete;
    CCodeTree& operator=(const CCodeTree&) = delete;
    virtual ~CCodeTree();

    // Parses `text` and replaces the root's children with the commands read. Throws CError on a
    // syntax error or a command word missing from the command table (when one is set); the tree is
    // left unchanged then. Returns 0.
    virtual int BuildTree(const std::string& text);

    // Warm-up over the cells after a build: BeginWarmUp, WarmUp(cell) for every cell depth-first,
    // EndWarmUp. Each returns 0; a negative result stops the walk and is returned.
    virtual int BeginWarmUp() { return 0; }
    virtual int WarmUp(_CCTCell* cell);
    virtual int WarmUp();
    virtual int EndWarmUp() { return 0; }

    // Creates the cell for a parsed command (`command` carries word, code, attributes and position,
    // which the parser moves into the new cell). Null makes the parser keep a plain _CCTCell.
    virtual std::unique_ptr<_CCTCell> NewObject(const _CCTCell& command);

    _CCTCell* GetRoot() { return &m_root; }
    const _CCTCell* GetRoot() const { return &m_root; }

    // The command table; without one every word is accepted with code 0. Owned by the tree.
    void SetCmdDefArray(std::unique_ptr<_CCTCmdDefArray> defs) { m_cmdDefs = std::move(defs); }
    const _CCTCmdDefArray* GetCmdDefArray() const { return m_cmdDefs.get(); }

protected:
    _CCTCell m_root;
    std::unique_ptr<_CCTCmdDefArray> m_cmdDefs;
};
