// CQL -> type-1 query tree: the index map and the mapping of libyaz's CQL parse tree.
#include "server/sru/cqlquery.h"

#include <yaz/cql.h>

#include <strings.h>

#include <cctype>
#include <sstream>

#include "berkit/codepage.h"

namespace {

constexpr long kRelationEqual = 3;
constexpr long kTruncationRight = 1;

const char kDefaultMap[] =
    "# CQL index -> bib-1 attributes, used where a database has no cfgs/cql.cfg\n"
    "index.cql.serverChoice = 1=1016\n"
    "index.cql.anywhere = 1=1016\n"
    "index.any = 1=1016\n"
    "index.dc.title = 1=4\n"
    "index.bath.title = 1=4\n"
    "index.title = 1=4\n"
    "index.dc.creator = 1=1003\n"
    "index.bath.author = 1=1003\n"
    "index.bath.name = 1=1003\n"
    "index.author = 1=1003\n"
    "index.dc.subject = 1=21\n"
    "index.bath.subject = 1=21\n"
    "index.subject = 1=21\n"
    "index.bath.isbn = 1=7\n"
    "index.isbn = 1=7\n"
    "index.bath.issn = 1=8\n"
    "index.issn = 1=8\n"
    "index.dc.date = 1=30\n"
    "index.date = 1=30\n"
    "index.rec.id = 1=12\n";

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return std::string();
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

bool ParseAttributes(const std::string& text, std::vector<CZAttribute>& out) {
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        const size_t eq = word.find('=');
        if (eq == 0 || eq == std::string::npos || eq + 1 == word.size())
            return false;
        char* end = nullptr;
        const long type = std::strtol(word.c_str(), &end, 10);
        if (end != word.c_str() + eq || type < 1 || type > 6)
            return false;
        const long value = std::strtol(word.c_str() + eq + 1, &end, 10);
        if (*end != '\0' || value < 1 || value > 100000)
            return false;
        out.push_back({type, value});
    }
    return !out.empty();
}

// One word or phrase as the back-end reads it: escapes resolved, a trailing "*" as truncation.
CSruDiagnostic Unmask(const std::string& text, std::string& literal, bool& truncated) {
    literal.clear();
    truncated = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            literal += text[++i];
            continue;
        }
        if (c == '*' && i + 1 == text.size() && !literal.empty()) {
            truncated = true;
            continue;
        }
        if (c == '*' || c == '?')
            return {kSruMaskingUnsupported, text};
        if (c == '^')
            return {kSruAnchoringUnsupported, text};
        literal += c;
    }
    // A literal "?" or "*" at the end would read as the back-end's own truncation.
    while (!literal.empty() && (literal.back() == '?' || literal.back() == '*'))
        literal.pop_back();
    if (Trim(literal).empty())
        return {kSruEmptyTerm, text};
    return {};
}

std::unique_ptr<CZQueryNode> Operator(int op, std::unique_ptr<CZQueryNode> left, std::unique_ptr<CZQueryNode> right) {
    auto node = std::make_unique<CZQueryNode>();
    node->m_kind = CZQueryKind::kOperator;
    node->m_operator = op;
    node->m_left = std::move(left);
    node->m_right = std::move(right);
    return node;
}

std::unique_ptr<CZQueryNode> Operand(const std::vector<CZAttribute>& attributes, const std::string& text,
                                     CSruDiagnostic& error, long relation = kRelationEqual) {
    std::string literal;
    bool truncated = false;
    if ((error = Unmask(text, literal, truncated)))
        return nullptr;
    auto node = std::make_unique<CZQueryNode>();
    node->m_kind = CZQueryKind::kTerm;
    CZQueryTerm& term = node->m_operand;
    term.m_attributes = attributes;
    term.m_attributes.push_back({kBib1Relation, relation});
    if (truncated)
        term.m_attributes.push_back({kBib1Truncation, kTruncationRight});
    for (const CZAttribute& a : term.m_attributes)
        if (a.m_type != kBib1Use || term.m_bib1[kBib1Use] == -1)  // use: the first; others: the last
            term.m_bib1[static_cast<size_t>(a.m_type)] = a.m_value;
    term.m_term = QueryTermToAnsi(literal, CQueryCharset::kUtf8);
    return node;
}

// all / any: one operand per word, joined by `op`.
std::unique_ptr<CZQueryNode> Words(const std::vector<CZAttribute>& attributes, const std::string& text, int op,
                                   CSruDiagnostic& error) {
    std::istringstream words(text);
    std::string word;
    std::unique_ptr<CZQueryNode> tree;
    int count = 0;
    while (words >> word) {
        if (++count > kCqlMaxDepth) {
            error = {kSruTooManyBooleans, "more than " + std::to_string(kCqlMaxDepth) + " words"};
            return nullptr;
        }
        std::unique_ptr<CZQueryNode> operand = Operand(attributes, word, error);
        if (!operand)
            return nullptr;
        tree = tree ? Operator(op, std::move(tree), std::move(operand)) : std::move(operand);
    }
    if (!tree)
        error = {kSruEmptyTerm, text};
    return tree;
}

std::unique_ptr<CZQueryNode> OneTerm(const cql_node& st, const CCqlIndexMap& map, CSruDiagnostic& error);

// A clause with juxtaposed terms (libyaz reads "a b c" as one clause of three terms): every term
// under the clause's index and relation, and-ed.
std::unique_ptr<CZQueryNode> Clause(const cql_node& st, const CCqlIndexMap& map, CSruDiagnostic& error) {
    std::unique_ptr<CZQueryNode> tree = OneTerm(st, map, error);
    int count = 0;
    for (const cql_node* extra = st.u.st.extra_terms; tree && extra != nullptr; extra = extra->u.st.extra_terms) {
        if (++count > kCqlMaxDepth) {
            error = {kSruTooManyBooleans, "more than " + std::to_string(kCqlMaxDepth) + " terms"};
            return nullptr;
        }
        cql_node term = st;
        term.u.st.term = extra->which == CQL_NODE_ST ? extra->u.st.term : nullptr;
        std::unique_ptr<CZQueryNode> right = OneTerm(term, map, error);
        if (!right)
            return nullptr;
        tree = Operator(kZOpAnd, std::move(tree), std::move(right));
    }
    return tree;
}

// cql.resultSetId="ID": a reference to a result set the server keeps.
std::unique_ptr<CZQueryNode> ResultSetReference(const cql_node& st, const std::string& relation, CSruDiagnostic& error) {
    if (relation != "=" && relation != "==" && relation != "exact") {
        error = {kSruUnsupportedRelation, relation};
        return nullptr;
    }
    const std::string id = Trim(st.u.st.term ? st.u.st.term : "");
    if (id.empty()) {
        error = {kSruEmptyTerm, ""};
        return nullptr;
    }
    auto node = std::make_unique<CZQueryNode>();
    node->m_kind = CZQueryKind::kResultSet;
    node->m_text = id;
    return node;
}

std::unique_ptr<CZQueryNode> OneTerm(const cql_node& st, const CCqlIndexMap& map, CSruDiagnostic& error) {
    const std::string index = st.u.st.index ? st.u.st.index : "cql.serverChoice";
    if (strcasecmp(index.c_str(), kCqlResultSetIndex) == 0 && st.u.st.modifiers == nullptr)
        return ResultSetReference(st, Lower(st.u.st.relation ? st.u.st.relation : "="), error);
    const std::vector<CZAttribute>* attributes = map.Find(index);
    if (attributes == nullptr) {
        error = {kSruUnsupportedIndex, index};
        return nullptr;
    }
    const std::string relation = Lower(st.u.st.relation ? st.u.st.relation : "=");
    if (st.u.st.modifiers != nullptr) {
        error = {kSruUnsupportedRelationModifier, relation};
        return nullptr;
    }
    const std::string term = st.u.st.term ? st.u.st.term : "";
    if (relation == "all")
        return Words(*attributes, term, kZOpAnd, error);
    if (relation == "any")
        return Words(*attributes, term, kZOpOr, error);
    if (relation == "=" || relation == "==" || relation == "exact" || relation == "adj" || relation == "scr")
        return Operand(*attributes, Trim(term), error);
    // Order relations become bib-1 relation attributes (index-term order on a key that is not
    // numeric); "<>", which no key answers, is refused (19).
    static const struct {
        const char* m_cql;
        long m_relation;
    } kOrder[] = {{"<", 1}, {"<=", 2}, {">=", 4}, {">", 5}, {"<>", 6}};
    for (const auto& order : kOrder) {
        if (relation == order.m_cql)
            return Operand(*attributes, Trim(term), error, order.m_relation);
    }
    error = {kSruUnsupportedRelation, relation};
    return nullptr;
}

std::unique_ptr<CZQueryNode> Map(const cql_node* node, const CCqlIndexMap& map, CSruDiagnostic& error, int depth) {
    if (node == nullptr) {
        error = {kSruQuerySyntax, ""};
        return nullptr;
    }
    if (depth > kCqlMaxDepth) {
        error = {kSruTooManyBooleans, "nesting deeper than " + std::to_string(kCqlMaxDepth)};
        return nullptr;
    }
    if (node->which == CQL_NODE_ST)
        return Clause(*node, map, error);
    if (node->which == CQL_NODE_SORT) {
        error = {kSruSortUnsupported, node->u.sort.index ? node->u.sort.index : ""};
        return nullptr;
    }
    const std::string op = Lower(node->u.boolean.value ? node->u.boolean.value : "");
    int code = kZOpUnknown;
    if (op == "and")
        code = kZOpAnd;
    else if (op == "or")
        code = kZOpOr;
    else if (op == "not")
        code = kZOpAndNot;
    if (op == "prox") {
        error = {kSruProximityUnsupported, op};
        return nullptr;
    }
    if (code == kZOpUnknown) {
        error = {kSruQuerySyntax, op};
        return nullptr;
    }
    if (node->u.boolean.modifiers != nullptr) {
        error = {kSruUnsupportedBooleanModifier, op};
        return nullptr;
    }
    std::unique_ptr<CZQueryNode> left = Map(node->u.boolean.left, map, error, depth + 1);
    if (!left)
        return nullptr;
    std::unique_ptr<CZQueryNode> right = Map(node->u.boolean.right, map, error, depth + 1);
    if (!right)
        return nullptr;
    return Operator(code, std::move(left), std::move(right));
}

int TreeDepth(const CZQueryNode* node) {
    if (node == nullptr || node->m_kind != CZQueryKind::kOperator)
        return 0;
    return 1 + std::max(TreeDepth(node->m_left.get()), TreeDepth(node->m_right.get()));
}

// Deepest parenthesis nesting outside quoted strings: bounds the parser's own stack.
int ParenthesisDepth(const std::string& cql) {
    int depth = 0;
    int deepest = 0;
    bool quoted = false;
    for (size_t i = 0; i < cql.size(); ++i) {
        const char c = cql[i];
        if (c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == '(') {
            deepest = std::max(deepest, ++depth);
        } else if (!quoted && c == ')') {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

bool CCqlIndexMap::Parse(const std::string& text, std::string& error) {
    std::vector<Entry> entries;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        const size_t eq = line.find('=');
        const std::string key = Trim(line.substr(0, eq == std::string::npos ? 0 : eq));
        Entry entry;
        if (eq == std::string::npos || Lower(key).rfind("index.", 0) != 0 || key.size() == 6 ||
            !ParseAttributes(line.substr(eq + 1), entry.m_attributes)) {
            error = "line " + std::to_string(number) + ": expected index.NAME = TYPE=VALUE ...";
            return false;
        }
        entry.m_index = key.substr(6);
        entries.push_back(std::move(entry));
    }
    m_entries = std::move(entries);
    return true;
}

const char* CCqlIndexMap::DefaultText() {
    return kDefaultMap;
}

const CCqlIndexMap& CCqlIndexMap::Default() {
    static const CCqlIndexMap map = [] {
        CCqlIndexMap m;
        std::string error;
        m.Parse(kDefaultMap, error);
        return m;
    }();
    return map;
}

const std::vector<CZAttribute>* CCqlIndexMap::Find(const std::string& index) const {
    for (const Entry& entry : m_entries)
        if (strcasecmp(entry.m_index.c_str(), index.c_str()) == 0)
            return &entry.m_attributes;
    return nullptr;
}

std::unique_ptr<CZQueryNode> CqlToQuery(const std::string& cql, const CCqlIndexMap& map, CSruDiagnostic& error) {
    error = {};
    if (cql.size() > kCqlMaxQueryBytes) {
        error = {kSruQueryTooLong, std::to_string(kCqlMaxQueryBytes)};
        return nullptr;
    }
    if (ParenthesisDepth(cql) > kCqlMaxDepth) {
        error = {kSruTooManyBooleans, "nesting deeper than " + std::to_string(kCqlMaxDepth)};
        return nullptr;
    }
    if (cql.find('\0') != std::string::npos || Trim(cql).empty()) {
        error = {kSruQuerySyntax, cql};
        return nullptr;
    }
    CQL_parser parser = cql_parser_create();
    std::unique_ptr<CZQueryNode> tree;
    if (cql_parser_string(parser, cql.c_str()) != 0)
        error = {kSruQuerySyntax, cql};
    else
        tree = Map(cql_parser_result(parser), map, error, 0);
    cql_parser_destroy(parser);
    // Word lists and juxtaposed terms add levels of their own: the whole tree stays within the limit.
    if (tree && TreeDepth(tree.get()) > kCqlMaxDepth)
        error = {kSruTooManyBooleans, "nesting deeper than " + std::to_string(kCqlMaxDepth)};
    return error ? nullptr : std::move(tree);
}
