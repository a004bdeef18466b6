#pragma once
// CSheetConfig: the tabbed configuration sheet in which the operator edits the server's run-time
// settings: five pages in the order 数据库, 常规, 访问, 禁用, IP 筛选, each created when it is first
// shown, written back on Apply. It also records whether a change needs the service or the
// back-end connection restarted; the host asks IsNeedRestart() afterwards.
// Ownership: the host owns the sheet (one per showing) and the manager (m_pMedi, not owned), and
// the front-end (SetFrontEnd, not owned); both must outlive the sheet's use of them.
// Thread safety: host user-interface thread only.

#include <string>
#include <vector>

#include "ui/pageauthent.h"
#include "ui/pagecommon.h"
#include "ui/pagedatabase.h"
#include "ui/pageforbid.h"
#include "ui/pageipfilter.h"

class CTunnelArray;
class IWindow;

// Page indexes, which are also the tab order.
enum VKSheetPage : int {
    kPageDatabase = 0,
    kPageCommon = 1,
    kPageAuthent = 2,
    kPageForbid = 3,
    kPageIPFilter = 4,
    kPageCount = 5,
};

class CSheetConfig {
public:
    // Caption from resource `captionId` ("服务器配置"), or given as text (UTF-8); the parent window
    // owns the sheet's window; `selectPage` is shown first.
    CSheetConfig(unsigned captionId, IWindow* parent, unsigned selectPage = 0);
    CSheetConfig(const std::string& caption, IWindow* parent, unsigned selectPage = 0);

    CTunnelArray* GetMedi() const { return m_pMedi; }
    void SetNeedRestart(int flag) { m_needRestart = flag; }
    int IsNeedRestart() const { return m_needRestart; }

    // The caption in the ANSI code page (message boxes use it).
    std::string GetCaption() const;
    unsigned GetStartPage() const { return m_selectPage; }
    CConfigPage* GetPage(int index) const;
    int GetPageCount() const { return static_cast<int>(m_pages.size()); }

    // The front-end that shows the pages; SetActivePage is handed on to it.
    void SetFrontEnd(IPropertySheet* frontEnd) { m_frontEnd = frontEnd; }
    void SetActivePage(int index);

    // OK or Apply: every page that has been created writes back, in tab order; the first refusal
    // stops (that page stays shown, pages after it are not applied) and returns false.
    bool Apply();

    CPageDatabase m_pageDatabase;
    CPageCommon m_pageCommon;
    CPageAuthent m_pageAuthent;
    CPageIPFilter m_pageIPFilter;
    CPageForbid m_pageForbid;
    int m_needRestart = 0;
    CTunnelArray* m_pMedi = nullptr;  // set by the host after construction

private:
    void AddPages();

    std::string m_caption;  // UTF-8
    IWindow* m_parent = nullptr;
    unsigned m_selectPage = 0;
    IPropertySheet* m_frontEnd = nullptr;
    std::vector<CConfigPage*> m_pages;  // in tab order; members of this object
};
