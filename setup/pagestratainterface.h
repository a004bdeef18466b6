#pragma once
// CPageStrataInterface: the back-end interface page (dialog 129): local or network mode, the
// back-end server's address, the network interface's configuration. Writes the [Strata] entries
// and, in network mode, the address into vk9000.ini each time Next is pressed on it.
// Thread safety: none; the setup program's one thread.

#include "setup/deploykit/sheetsetup.h"

enum {
    IDC_MODE_LOCAL = 1001,
    IDC_MODE_NETWORK = 1002,
    IDC_CONFIGURE = 1003,
    IDC_ADDRESS_LABEL = 1004,
    IDC_ADDRESS = 1005,
};

class CSheetMain;

class CPageStrataInterface : public CWizardPage {
public:
    explicit CPageStrataInterface(CSheetMain& sheet);
    void OnCreate() override;
    void OnSetActive() override;
    void OnCommand(int id) override;
    bool OnWizardNext() override;

    bool NetworkMode() const { return IsChecked(IDC_MODE_NETWORK); }

private:
    void UpdateControls();
    CSheetMain& m_main;
};
