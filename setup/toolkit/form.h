#pragma once
// The screen model of the setup program: a form (a wizard page or a modal dialog) is a list of
// controls with ids, texts, values, check marks and enabled flags. Page logic reads and changes
// its controls through dialog-style calls; a front-end (the terminal adapter, the answers file,
// a test's script) draws the controls and feeds the operator's edits and clicks back in.
// Thread safety: none; the setup program runs on one thread.

#include <string>
#include <vector>

#include "ui/toolkit/messagebox.h"

enum class EControl { Label, Text, Group, Edit, Radio, Check, Button, Progress };

struct CControl {
    int id = 0;              // 0 for decoration that logic never touches
    EControl kind = EControl::Label;
    std::string text;        // caption; "&X" marks the accelerator key X
    std::string value;       // edit fields: the text typed
    bool checked = false;    // radio buttons and check boxes
    bool enabled = true;
    bool visible = true;
    int group = 0;           // radio buttons of one group exclude each other
    int percent = 0;         // progress bars: 0..100
};

// Message box styles (VKMB_*) and answers (VKID_*) are the operator front-end's; a wizard adds
// the choice of the second button as the default.
constexpr unsigned VKMB_DEFBUTTON2 = 0x100;

class CForm {
public:
    explicit CForm(std::string title) : m_title(std::move(title)) {}
    virtual ~CForm() = default;

    const std::string& Title() const { return m_title; }
    std::vector<CControl>& Controls() { return m_controls; }
    const std::vector<CControl>& Controls() const { return m_controls; }

    CControl& Add(EControl kind, int id, std::string text, int group = 0);
    CControl* Item(int id);  // nullptr when the form has no control `id`
    const CControl* Item(int id) const;

    // Edit fields give their value, other controls their caption; "" for an unknown id.
    std::string GetItemText(int id) const;
    void SetItemText(int id, const std::string& text);
    bool IsChecked(int id) const;
    // Checks `id` and clears the other radio buttons of its group.
    void CheckRadio(int id);
    void EnableItem(int id, bool enable);
    void ShowItem(int id, bool show);
    void SetPercent(int id, int percent);

    // The control the front-end should focus next (0: its own choice); set by page logic, for
    // example to keep the operator on a field that failed a check.
    int m_focusRequest = 0;

    // A button was pressed, or a radio button or check box was clicked (its state already changed).
    virtual void OnCommand(int /*id*/) {}

private:
    std::string m_title;
    std::vector<CControl> m_controls;
};

// A modal dialog form: the front-end shows it with OK and Cancel until OnOK accepts or the
// operator cancels.
class CDialogForm : public CForm {
public:
    using CForm::CForm;
    virtual bool OnOK() { return true; }  // false keeps the form open
};

// What page logic asks of the front-end beyond its own controls.
class CDialogHost {
public:
    virtual ~CDialogHost() = default;
    // Shows `text` with the buttons of `type` (VKMB_OK, VKMB_YESNO; VKMB_DEFBUTTON2 makes the second
    // button the default) and returns VKID_OK, VKID_YES or VKID_NO.
    virtual int MessageBox(const std::string& text, unsigned type) = 0;
    // A one-line "please wait" notice, shown until HideWaiting.
    virtual void ShowWaiting(const std::string& text) = 0;
    virtual void HideWaiting() = 0;
    // Runs `form` modally: VKID_OK or VKID_CANCEL, or -1 when this front-end cannot show forms.
    virtual int RunForm(CDialogForm& form) = 0;
    // Gives the front-end a chance to redraw during long work (progress bars).
    virtual void Refresh() {}
};

// The process's front-end; not owned. Without one, message boxes answer their default button.
void SetDialogHost(CDialogHost* host);
CDialogHost* GetDialogHost();
int ShowMessage(const std::string& text, unsigned type = VKMB_OK);

// The caption without its "&" marker, and the accelerator character it marks (0 when none).
std::string StripAccelerator(const std::string& text);
char AcceleratorOf(const std::string& text);
