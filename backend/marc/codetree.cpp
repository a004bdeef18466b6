// CCodeTree: line-oriented parser of the code-tree configuration syntax (see codetree.h).

#include "backend/marc/codetree.h"

#include <strings.h>

namespace {

bool IsWordStart(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool IsWordChar(unsigned char c) {
    return IsWordStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool IsBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Parser state over one text; cells are created through the tree's NewObject hook.
class CCodeTreeParser {
public:
    CCodeTreeParser(CCodeTree& tree, _CCTCell& root) : m_tree(tree) { m_stack.push_back({&root, 0, 0}); }

    void Parse(const std::string& text) {
        size_t start = 0;
        int line = 1;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            ParseLine(text, start, end, line);
            if (end == text.size()) break;
            start = end + 1;
            ++line;
        }
        if (m_stack.size() > 1) {
            const Level& open = m_stack.back();
            throw CError("'{' has no matching '}'", open.line, open.column);
        }
    }

private:
    struct Level {
        _CCTCell* parent;
        int line;    // where its '{' was written
        int column;
    };

    [[noreturn]] void Fail(const std::string& message, int line, size_t pos, size_t lineStart) {
        throw CError(message, line, static_cast<int>(pos - lineStart) + 1);
    }

    // Skips blanks; true when only blanks or a comment remain before `end`.
    static bool RestIsEmpty(const std::string& s, size_t& pos, size_t end) {
        while (pos < end && IsBlank(static_cast<unsigned char>(s[pos]))) ++pos;
        return pos >= end || s[pos] == '#';
    }

    void ExpectEndOfLine(const std::string& s, size_t pos, size_t end, int line, size_t lineStart) {
        if (!RestIsEmpty(s, pos, end)) Fail("unexpected text after brace", line, pos, lineStart);
    }

    void Open(int line, size_t pos, size_t lineStart) {
        if (m_last == nullptr) Fail("'{' does not follow a command", line, pos, lineStart);
        if (static_cast<int>(m_stack.size()) > kMaxCodeTreeDepth)
            Fail("nesting deeper than " + std::to_string(kMaxCodeTreeDepth) + " levels", line, pos, lineStart);
        m_stack.push_back({m_last, line, static_cast<int>(pos - lineStart) + 1});
        m_last = nullptr;
    }

    void ParseLine(const std::string& s, size_t lineStart, size_t end, int line) {
        size_t pos = lineStart;
        if (RestIsEmpty(s, pos, end)) return;
        char c = s[pos];
        if (c == '{') {
            Open(line, pos, lineStart);
            ExpectEndOfLine(s, pos + 1, end, line, lineStart);
            return;
        }
        if (c == '}') {
            if (m_stack.size() == 1) Fail("'}' without a matching '{'", line, pos, lineStart);
            m_stack.pop_back();
            m_last = nullptr;
            ExpectEndOfLine(s, pos + 1, end, line, lineStart);
            return;
        }
        if (!IsWordStart(static_cast<unsigned char>(c))) Fail("expected a command word", line, pos, lineStart);

        _CCTCell command;
        command.m_line = line;
        command.m_column = static_cast<int>(pos - lineStart) + 1;
        size_t wordStart = pos;
        while (pos < end && IsWordChar(static_cast<unsigned char>(s[pos]))) ++pos;
        command.m_command = s.substr(wordStart, pos - wordStart);
        if (const _CCTCmdDefArray* defs = m_tree.GetCmdDefArray()) {
            command.m_code = defs->Find(command.m_command);
            if (command.m_code < 0) Fail("unknown command '" + command.m_command + "'", line, wordStart, lineStart);
        }
        size_t bracePos = std::string::npos;
        while (true) {
            size_t before = pos;
            if (RestIsEmpty(s, pos, end)) break;
            if (pos == before) Fail("expected a blank", line, pos, lineStart);
            if (s[pos] == '{') {
                ExpectEndOfLine(s, pos + 1, end, line, lineStart);
                bracePos = pos;
                break;
            }
            ParseAttribute(s, pos, end, line, lineStart, command);
        }
        AddCell(command);
        if (bracePos != std::string::npos) Open(line, bracePos, lineStart);
    }

    void ParseAttribute(const std::string& s, size_t& pos, size_t end, int line, size_t lineStart,
                        _CCTCell& command) {
        if (!IsWordStart(static_cast<unsigned char>(s[pos]))) Fail("expected an attribute name", line, pos, lineStart);
        size_t nameStart = pos;
        while (pos < end && IsWordChar(static_cast<unsigned char>(s[pos]))) ++pos;
        std::string name = s.substr(nameStart, pos - nameStart);
        while (pos < end && IsBlank(static_cast<unsigned char>(s[pos]))) ++pos;
        if (pos >= end || s[pos] != '=') Fail("expected '=' after attribute '" + name + "'", line, pos, lineStart);
        ++pos;
        while (pos < end && IsBlank(static_cast<unsigned char>(s[pos]))) ++pos;
        if (pos >= end || s[pos] != '"') Fail("expected '\"' to start the value of '" + name + "'", line, pos, lineStart);
        size_t quote = pos++;
        size_t valueStart = pos;
        while (pos < end && s[pos] != '"') {
            unsigned char v = static_cast<unsigned char>(s[pos]);
            if (v < 0x20 && v != '\t') {
                if (v == '\r' && pos + 1 == end) break;
                Fail("control character in the value of '" + name + "'", line, pos, lineStart);
            }
            ++pos;
        }
        if (pos >= end || s[pos] != '"') Fail("unterminated value of '" + name + "'", line, quote, lineStart);
        if (command.FindAttribute(name) != nullptr) Fail("duplicate attribute '" + name + "'", line, nameStart, lineStart);
        command.m_attributes.emplace_back(std::move(name), s.substr(valueStart, pos - valueStart));
        ++pos;
    }

    void AddCell(_CCTCell& command) {
        std::unique_ptr<_CCTCell> cell = m_tree.NewObject(command);
        if (!cell) cell = std::make_unique<_CCTCell>();
        cell->m_command = std::move(command.m_command);
        cell->m_code = command.m_code;
        cell->m_attributes = std::move(command.m_attributes);
        cell->m_line = command.m_line;
        cell->m_column = command.m_column;
        _CCTCell* parent = m_stack.back().parent;
        cell->m_parent = parent;
        m_last = cell.get();
        parent->m_children.push_back(std::move(cell));
    }

    CCodeTree& m_tree;
    std::vector<Level> m_stack;
    _CCTCell* m_last = nullptr;  // the command a following '{' would open
};

}  // namespace

CError::CError(const std::string& message, int line, int column)
    : std::runtime_error(message + " (line " + std::to_string(line) + ", column " + std::to_string(column) + ")"),
      m_message(message),
      m_line(line),
      m_column(column) {}

void _CCTCmdDefArray::Add(const std::string& word, int code) { m_defs.emplace_back(word, code); }

int _CCTCmdDefArray::Find(const std::string& word) const {
    for (const auto& def : m_defs)
        if (def.first == word) return def.second;
    return -1;
}

_CCTCell::~_CCTCell() = default;

const std::string* _CCTCell::FindAttribute(const std::string& name) const {
    for (const auto& attr : m_attributes)
        if (strcasecmp(attr.first.c_str(), name.c_str()) == 0) return &attr.second;
    return nullptr;
}

bool _CCTCell::GetAttribute(const std::string& name, std::string& value) const {
    const std::string* found = FindAttribute(name);
    if (found == nullptr) return false;
    value = *found;
    return true;
}

void _CCTCell::CopyFrom(const _CCTCell&) {}

std::unique_ptr<_CCTCell> _CCTCell::NewCell() const { return std::make_unique<_CCTCell>(); }

CCodeTree::CCodeTree() = default;
CCodeTree::~CCodeTree() = default;

int CCodeTree::BuildTree(const std::string& text) {
    if (text.size() > kMaxCodeTreeText)
        throw CError("configuration text longer than " + std::to_string(kMaxCodeTreeText) + " octets", 1, 1);
    _CCTCell fresh;
    CCodeTreeParser parser(*this, fresh);
    parser.Parse(text);
    m_root.m_children = std::move(fresh.m_children);
    for (auto& child : m_root.m_children) child->m_parent = &m_root;
    return 0;
}

int CCodeTree::WarmUp(_CCTCell* cell) {
    if (cell == nullptr) return 0;
    int result = cell->WarmUp();
    if (result < 0) return result;
    for (auto& child : cell->m_children) {
        result = WarmUp(child.get());
        if (result < 0) return result;
    }
    return 0;
}

int CCodeTree::WarmUp() {
    int result = BeginWarmUp();
    if (result < 0) return result;
    result = WarmUp(&m_root);
    if (result < 0) return result;
    return EndWarmUp();
}

std::unique_ptr<_CCTCell> CCodeTree::NewObject(const _CCTCell&) { return nullptr; }
