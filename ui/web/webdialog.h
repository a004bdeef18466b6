#pragma once
// CWebDialog: the web adapter's window of one property page. It keeps every control's state (text,
// check, enabling, combo selection, list items and selection) as the page sets it, turns it into
// JSON for the browser together with the page's template, and turns the operator's clicks and edits
// reported by the browser back into control state plus the page's OnControl notification. Message
// boxes are queued for the browser, which shows them in turn; they answer OK at once.
// Ownership: the page template must outlive the dialog; `messages` (the sheet's queue) too.
// Thread safety: none; the console calls it under its user-interface lock.

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ui/toolkit/dialog.h"

// A message box waiting to be shown by the browser (UTF-8).
struct VKPendingMessage {
    std::string text;
    std::string caption;
    unsigned style = 0;
};

class CWebDialog : public IDialog {
public:
    CWebDialog(const VKDialogTemplate& tmpl, std::vector<VKPendingMessage>* messages);

    std::string GetText(int id) override;
    void SetText(int id, const std::string& text) override;
    bool IsChecked(int id) override;
    void SetCheck(int id, bool checked) override;
    void Enable(int id, bool enabled) override;
    bool IsEnabled(int id) override;
    int GetCurSel(int id) override;
    void SetCurSel(int id, int index) override;
    void ListSetColumn(int id, const std::string& title, int width, bool centred) override;
    void ListInsertItem(int id, int index, const std::string& text) override;
    void ListDeleteItem(int id, int index) override;
    int ListGetCount(int id) override;
    std::string ListGetText(int id, int index) override;
    std::vector<int> ListGetSelected(int id) override;
    void SetModified(bool modified) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned style) override;

    bool IsModified() const { return m_modified; }
    // The page's template and every control's state; texts in UTF-8.
    nlohmann::json ToJson() const;

    // One operator action from the browser: {"id", "event": "click"|"change"|"select", and
    // "value" (text), "checked" or "selected" (row indexes or the combo index)}. Updates the
    // control and gives the notification code for OnControl; false (with `error`) for an unknown
    // control, a disabled one, or an event that does not fit its kind.
    bool ApplyEvent(const nlohmann::json& event, int& id, int& code, std::string& error);

private:
    struct Control {
        const VKControlDef* def = nullptr;
        std::string text;      // ANSI code page
        bool checked = false;
        bool enabled = true;
        int curSel = -1;
        std::vector<std::string> items;  // list rows, ANSI code page
        std::vector<bool> selected;      // list rows selected
        std::string columnTitle;         // ANSI code page
        int columnWidth = 0;
        bool columnCentred = false;
    };
    Control* Find(int id);

    const VKDialogTemplate& m_template;
    std::vector<VKPendingMessage>* m_messages;
    std::map<int, Control> m_controls;
    bool m_modified = false;
};
