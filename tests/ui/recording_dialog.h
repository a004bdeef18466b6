#pragma once
// Recording doubles of the property-page interfaces (ui/toolkit/dialog.h): a dialog that keeps each
// control's state and every message box shown, and a sheet front-end that makes one such dialog
// per page the first time the page is shown. Tests act as the operator through Click/Type/Select.
// Thread safety: none; one test thread.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "berkit/codepage.h"
#include "ui/sheetconfig.h"
#include "ui/toolkit/dialog.h"

class CRecordingDialog : public IDialog {
public:
    struct Control {
        std::string text;
        bool checked = false;
        bool enabled = true;
        int curSel = -1;
        std::vector<std::string> items;
        std::vector<bool> selected;
        std::string columnTitle;
        int columnWidth = 0;
        bool centred = false;
    };
    std::string GetText(int id) override { return m_c[id].text; }
    void SetText(int id, const std::string& t) override { m_c[id].text = t; }
    bool IsChecked(int id) override { return m_c[id].checked; }
    void SetCheck(int id, bool on) override { m_c[id].checked = on; }
    void Enable(int id, bool on) override { m_c[id].enabled = on; }
    bool IsEnabled(int id) override { return m_c[id].enabled; }
    int GetCurSel(int id) override { return m_c[id].curSel; }
    void SetCurSel(int id, int i) override { m_c[id].curSel = i; }
    void ListSetColumn(int id, const std::string& t, int w, bool centred) override {
        m_c[id].columnTitle = t;
        m_c[id].columnWidth = w;
        m_c[id].centred = centred;
    }
    void ListInsertItem(int id, int index, const std::string& t) override {
        m_c[id].items.insert(m_c[id].items.begin() + index, t);
        m_c[id].selected.insert(m_c[id].selected.begin() + index, false);
    }
    void ListDeleteItem(int id, int index) override {
        m_c[id].items.erase(m_c[id].items.begin() + index);
        m_c[id].selected.erase(m_c[id].selected.begin() + index);
    }
    int ListGetCount(int id) override { return static_cast<int>(m_c[id].items.size()); }
    std::string ListGetText(int id, int index) override { return m_c[id].items[static_cast<size_t>(index)]; }
    std::vector<int> ListGetSelected(int id) override {
        std::vector<int> rows;
        for (size_t i = 0; i < m_c[id].selected.size(); ++i)
            if (m_c[id].selected[i])
                rows.push_back(static_cast<int>(i));
        return rows;
    }
    void SetModified(bool on) override { m_modified = on; }
    int MessageBox(const std::string& text, const std::string&, unsigned) override {
        m_messages.push_back(AnsiToUtf8(text));
        return 1;
    }

    std::map<int, Control> m_c;
    bool m_modified = false;
    std::vector<std::string> m_messages;  // UTF-8, in the order shown
};

// Shows a CSheetConfig headless: SetActivePage makes and fills a page's dialog on first show.
class CRecordingSheet : public IPropertySheet {
public:
    explicit CRecordingSheet(CTunnelArray* manager) : m_sheet(101, nullptr, 0) {
        m_sheet.m_pMedi = manager;
        m_sheet.SetFrontEnd(this);
    }
    void SetActivePage(int index) override {
        m_active = index;
        CConfigPage* page = m_sheet.GetPage(index);
        if (!page->IsCreated()) {
            m_dialogs[index] = std::make_unique<CRecordingDialog>();
            page->Create(&m_sheet, m_dialogs[index].get());
        }
    }
    // The operator's actions on the shown page (as the front-end reports them).
    CRecordingDialog& Show(int index) {
        SetActivePage(index);
        return *m_dialogs[index];
    }
    void Click(int id) {
        CRecordingDialog& d = *m_dialogs[m_active];
        d.m_c[id].checked = !d.m_c[id].checked;
        m_sheet.GetPage(m_active)->OnControl(id, VKN_CLICKED);
    }
    void ClickRadio(int id, int other) {
        CRecordingDialog& d = *m_dialogs[m_active];
        d.m_c[id].checked = true;
        d.m_c[other].checked = false;
        m_sheet.GetPage(m_active)->OnControl(id, VKN_CLICKED);
    }
    void Type(int id, const std::string& text) {
        m_dialogs[m_active]->m_c[id].text = text;
        m_sheet.GetPage(m_active)->OnControl(id, VKN_CHANGE);
    }
    void Select(int id, int index) {
        m_dialogs[m_active]->m_c[id].curSel = index;
        m_sheet.GetPage(m_active)->OnControl(id, VKN_SELCHANGE);
    }

    CSheetConfig m_sheet;
    std::unique_ptr<CRecordingDialog> m_dialogs[kPageCount];
    int m_active = -1;
};
