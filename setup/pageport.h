#pragma once
// CPagePort: the listening-port page (dialog 107). Checks that the port is a number and asks
// before taking a port that another program listens on.
// Thread safety: none; the setup program's one thread.

#include "setup/deploykit/sheetsetup.h"

enum { IDC_PORT = 1000 };

class CSheetMain;

class CPagePort : public CWizardPage {
public:
    explicit CPagePort(CSheetMain& sheet);
    void OnSetActive() override;
    bool OnWizardNext() override;

private:
    CSheetMain& m_main;
};
