#pragma once
// CConfigPage: what the five pages of the configuration sheet share: the template they are made
// from, filling the controls when the page is first shown (OnInitDialog), reacting to the
// operator's clicks and edits (OnControl) and writing back on OK or Apply (OnApply).
// Ownership: the sheet owns its pages; the front-end owns the IDialog, which must outlive the page's
// use of it (the sheet is destroyed first).
// Thread safety: host user-interface thread only.

#include <initializer_list>
#include <string>

#include "ui/toolkit/dialog.h"

class CSheetConfig;
class CTunnelArray;

class CConfigPage {
public:
    virtual ~CConfigPage() = default;

    virtual const VKDialogTemplate& GetTemplate() const = 0;

    // The front-end made the page's window from its template: the page fills it. Called once.
    void Create(CSheetConfig* sheet, IDialog* dialog);
    bool IsCreated() const { return m_dlg != nullptr; }
    IDialog* GetDialog() const { return m_dlg; }

    // Fills the controls from the manager's settings.
    virtual bool OnInitDialog() = 0;
    // Writes the controls back; false refuses the apply (the sheet stays open).
    virtual bool OnApply() = 0;
    // The operator clicked or edited control `id` (code: VKN_*). This version marks the page
    // modified, as every control change does unless a page says otherwise.
    virtual void OnControl(int id, int code);

protected:
    // The manager the sheet edits, through the sheet.
    CTunnelArray* GetMedi() const;
    void SetNeedRestart();

    // Dialog-data exchange of a number field: false, after the standard prompt, when the text is
    // not a whole number in range (a negative one for an unsigned field); the sheet then shows
    // this page.
    bool GetNumber(int id, long long minimum, long long maximum, long long& value);
    bool GetInt(int id, int& value);
    bool GetUnsigned(int id, unsigned& value);
    // Makes this page the sheet's active one.
    void ShowThisPage();
    // Shows `utf8Text` in a message box with the sheet's caption.
    int Message(const char* utf8Text, unsigned style);
    // Enables or disables every control in `ids`.
    void EnableAll(std::initializer_list<int> ids, bool enabled);

    CSheetConfig* m_sheet = nullptr;
    IDialog* m_dlg = nullptr;
};
