// CBERNode: construction, ownership of children and navigation among siblings.
#include "bernode.h"

#include <algorithm>

CBERNode::CBERNode()
    : m_uTag(0), m_byClass(0), m_bConstructed(1), m_nLength(0), m_pParent(nullptr)
{
}

CBERNode::~CBERNode()
{
    ClearArray();
}

void CBERNode::ClearArray()
{
    for (CBERNode* child : m_arrChildren)
        delete child;
    m_arrChildren.clear();
}

int CBERNode::AddSubtree(CBERNode* node)
{
    m_arrChildren.push_back(node);
    node->m_pParent = this;
    return 0;
}

CBERNode* CBERNode::GetLeftSibling()
{
    if (m_pParent == nullptr)
        return nullptr;
    auto& siblings = m_pParent->m_arrChildren;
    auto at = std::find(siblings.begin(), siblings.end(), this);
    if (at == siblings.end() || at == siblings.begin())
        return nullptr;
    return *(at - 1);
}

CBERNode* CBERNode::GetRightSibling()
{
    if (m_pParent == nullptr)
        return nullptr;
    auto& siblings = m_pParent->m_arrChildren;
    auto at = std::find(siblings.begin(), siblings.end(), this);
    if (at == siblings.end() || at + 1 == siblings.end())
        return nullptr;
    return *(at + 1);
}

int CBERNode::BuildPartTree(const char* data, int length, int& used)
{
    used = length;
    return DecodeBER(this, reinterpret_cast<unsigned char*>(const_cast<char*>(data)), length);
}
