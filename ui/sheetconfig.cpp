// CSheetConfig: page order, page switching and Apply (see sheetconfig.h).
#include "ui/sheetconfig.h"

#include "berkit/codepage.h"

namespace {

// The caption resource of the sheet; any other number gives an empty caption.
constexpr unsigned kCaptionResource = 101;
const char* const kCaptionText = "服务器配置";

}  // namespace

CSheetConfig::CSheetConfig(unsigned captionId, IWindow* parent, unsigned selectPage)
    : CSheetConfig(std::string(captionId == kCaptionResource ? kCaptionText : ""), parent,
                   selectPage) {}

CSheetConfig::CSheetConfig(const std::string& caption, IWindow* parent, unsigned selectPage)
    : m_caption(caption), m_parent(parent), m_selectPage(selectPage) {
    AddPages();
}

void CSheetConfig::AddPages() {
    m_pages = {&m_pageDatabase, &m_pageCommon, &m_pageAuthent, &m_pageForbid, &m_pageIPFilter};
}

std::string CSheetConfig::GetCaption() const { return OperatorText(m_caption.c_str()); }

CConfigPage* CSheetConfig::GetPage(int index) const {
    if (index < 0 || index >= GetPageCount())
        return nullptr;
    return m_pages[static_cast<size_t>(index)];
}

void CSheetConfig::SetActivePage(int index) {
    if (m_frontEnd && GetPage(index))
        m_frontEnd->SetActivePage(index);
}

bool CSheetConfig::Apply() {
    for (CConfigPage* page : m_pages)
        if (page->IsCreated() && !page->OnApply())
            return false;
    for (CConfigPage* page : m_pages)
        if (page->IsCreated())
            page->GetDialog()->SetModified(false);
    return true;
}
