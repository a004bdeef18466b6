// CCatalogueView: catalogue look-ups that hold the entries they hand out.
#include "server/catalogueview.h"

#include <algorithm>

#include "server/dbarray.h"

const CDatabaseNode* CCatalogueView::Find(const std::string& name) {
    if (m_catalogue == nullptr || m_forbidden)
        return nullptr;
    std::shared_ptr<const CDatabaseNode> node;
    if (!m_catalogue->IsLegalDBName(name.c_str(), node))
        return nullptr;
    if (std::find(m_held.begin(), m_held.end(), node) == m_held.end())
        m_held.push_back(node);
    return node.get();
}

std::string CCatalogueView::FirstUnknown(const std::vector<std::string>& names) {
    for (const std::string& name : names)
        if (name.empty() || Find(name) == nullptr)
            return name;
    return std::string();
}
