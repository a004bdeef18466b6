// CQL (and PQF) text to the type-1 query tree: any text gives a tree or a diagnostic, never a
// crash, and a tree is never deeper than the nesting limit allows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server/sru/cqlquery.h"

namespace {

int Depth(const CZQueryNode* node) {
    if (node == nullptr || node->m_kind != CZQueryKind::kOperator)
        return 0;
    return 1 + std::max(Depth(node->m_left.get()), Depth(node->m_right.get()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CSruDiagnostic error;
    const auto tree = CqlToQuery(text, CCqlIndexMap::Default(), error);
    if ((tree == nullptr) == (error.m_code == 0))
        abort();
    if (tree && Depth(tree.get()) > kCqlMaxDepth)
        abort();
    if (size < 512)
        PqfToQuery(text, error);
    return 0;
}
