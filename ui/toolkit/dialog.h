#pragma once
// IDialog and IPropertySheet: a property page's controls found by id, and the tabbed sheet that
// holds the pages. A page is described by a template (its controls, their kinds and labels) from
// which the front-end makes the window; the page then fills and reads the controls by id and is
// told of every click or edit through CConfigPage::OnControl.
// Template labels are UTF-8 as they stand in the source; every text that passes through IDialog
// (control values, message boxes) is in the ANSI code page, as the rest of the system's texts are.
// Thread safety: host user-interface thread only.

#include <string>
#include <vector>

// Kinds of control a page template may hold.
enum class VKControlKind {
    kStatic,    // a label with no id of its own (id 0)
    kGroup,     // a group box: a heading over the controls that follow
    kEdit,      // a one-line text field
    kNumber,    // a text field read as a number (dialog-data exchange refuses non-numbers)
    kPassword,  // a text field that hides what is typed
    kCheck,     // a check box
    kRadio,     // a radio button; the buttons of one radio group share `group`
    kCombo,     // a drop-down list; items in `items`
    kList,      // a report list with one column, several items selectable
    kButton,    // a push button
};

struct VKControlDef {
    int id;                           // 0 for labels and group boxes
    VKControlKind kind;
    const char* label;                // UTF-8; the text shown beside or on the control
    const char* group = "";           // radio group name (kRadio only)
    std::vector<const char*> items{}; // combo box items (kCombo only)
};

struct VKDialogTemplate {
    int dialogId;                     // the dialog resource number
    const char* caption;              // the tab text
    std::vector<VKControlDef> controls;  // in the order they are laid out
};

// Notification codes passed to CConfigPage::OnControl.
enum VKNotify : int {
    VKN_CLICKED = 0,      // a button, check box or radio button was clicked
    VKN_CHANGE = 0x300,   // an edit field's text changed
    VKN_SELCHANGE = 1,    // a combo box or list selection changed
};

class IDialog {
public:
    virtual ~IDialog() = default;

    virtual std::string GetText(int id) = 0;
    virtual void SetText(int id, const std::string& text) = 0;
    virtual bool IsChecked(int id) = 0;
    virtual void SetCheck(int id, bool checked) = 0;
    virtual void Enable(int id, bool enabled) = 0;
    virtual bool IsEnabled(int id) = 0;
    // Combo box: selected index, or -1.
    virtual int GetCurSel(int id) = 0;
    virtual void SetCurSel(int id, int index) = 0;

    // Report list: its one column, its items (index 0 at the top) and the selected rows.
    virtual void ListSetColumn(int id, const std::string& title, int width, bool centred) = 0;
    virtual void ListInsertItem(int id, int index, const std::string& text) = 0;
    virtual void ListDeleteItem(int id, int index) = 0;
    virtual int ListGetCount(int id) = 0;
    virtual std::string ListGetText(int id, int index) = 0;
    // Selected rows in ascending order.
    virtual std::vector<int> ListGetSelected(int id) = 0;

    // Marks the page changed (enables the sheet's Apply) or unchanged.
    virtual void SetModified(bool modified) = 0;
    // A modal message box (VKMB_* style); returns a VKID_* value.
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned style) = 0;
};

class IPropertySheet {
public:
    virtual ~IPropertySheet() = default;
    // Makes page `index` the shown page, creating its window when it was never shown.
    virtual void SetActivePage(int index) = 0;
};
