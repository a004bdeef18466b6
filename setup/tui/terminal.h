#pragma once
// The terminal front-end of the setup program: draws the wizard's pages, modal forms, message
// boxes and the waiting notice with ncursesw, and turns keys into edits, clicks and navigation.
//   Tab / Shift-Tab, arrows   move between controls and the wizard's buttons
//   Ctrl-U                    empties the focused field
//   Space                     selects a radio button, toggles a check box, presses a button
//   Enter                     presses the focused button, else the default (Next or Finish)
//   PgDn / PgUp               Next / Back;  Esc  Cancel;  Alt+letter  the control's accelerator
// Thread safety: none; one terminal, one thread.

#include <functional>
#include <string>

#include "setup/deploykit/sheetsetup.h"
#include "setup/toolkit/form.h"

class CTerminalHost : public CDialogHost {
public:
    CTerminalHost();   // takes over the terminal (check Ready)
    ~CTerminalHost() override;  // gives it back
    CTerminalHost(const CTerminalHost&) = delete;
    CTerminalHost& operator=(const CTerminalHost&) = delete;

    // False when the terminal could not be set up (not a terminal, unknown TERM).
    bool Ready() const { return m_ready; }

    // Runs the wizard until it finishes, is cancelled or is ended by a hook.
    void RunWizard(CSheetSetup& sheet);

    int MessageBox(const std::string& text, unsigned type) override;
    void ShowWaiting(const std::string& text) override;
    void HideWaiting() override;
    int RunForm(CDialogForm& form) override;
    void Refresh() override;

private:
    bool m_ready = false;
    std::string m_waiting;
    std::function<void()> m_redraw;  // repaints what is under a message box or notice
};
