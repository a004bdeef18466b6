// CPropertyTree: property.cfg parsing (propertytree.h).
#include "server/propertytree.h"

#include <new>

void CPropertyCell::CopyFrom(const _CCTCell& other) {
    if (const auto* cell = dynamic_cast<const CPropertyCell*>(&other)) {
        m_type = cell->m_type;
        m_value = cell->m_value;
    }
}

std::unique_ptr<_CCTCell> CPropertyCell::NewCell() const { return std::make_unique<CPropertyCell>(); }

int CPropertyTree::BuildTree(const std::string& text) {
    if (!m_cmdDefs) {
        std::unique_ptr<_CCTCmdDefArray> defs(new (std::nothrow) _CCTCmdDefArray);
        if (!defs)
            return -1;
        defs->Add("prop", kCmdProp);
        m_cmdDefs = std::move(defs);
    }
    CCodeTree::BuildTree(text);
    return WarmUp(&m_root);
}

int CPropertyTree::WarmUp(_CCTCell* cell) {
    if (!cell)
        return 0;
    for (size_t i = 0; i < cell->GetChildCount(); ++i) {
        auto* prop = dynamic_cast<CPropertyCell*>(cell->GetChild(i));
        if (!prop || prop->m_code != kCmdProp)
            continue;
        prop->m_type.clear();
        prop->m_value.clear();
        prop->GetAttribute("type", prop->m_type);
        prop->GetAttribute("value", prop->m_value);
    }
    return 0;
}

std::unique_ptr<_CCTCell> CPropertyTree::NewObject(const _CCTCell& command) {
    if (command.m_code == kCmdProp)
        return std::make_unique<CPropertyCell>();
    return nullptr;
}
