#pragma once
// CPageStore: the page after the interface page that makes the local store a local-mode instance
// serves from (instance folder/backend/<DB Instance>.strata): with the demo databases, with one
// empty database, or not now. It also sets the accounts the server uses there: the server reads
// its catalogue as the store's read-only account "public", and anonymous clients may work as it.
// Network mode and an existing store leave the store alone.
// Thread safety: none; the setup program's one thread.

#include <string>

#include "setup/deploykit/sheetsetup.h"

enum {
    IDC_STORE_DEMO = 1101,       // radio: the demo databases
    IDC_STORE_EMPTY = 1102,      // radio: one empty database
    IDC_STORE_NONE = 1103,       // radio: no store now
    IDC_STORE_DATABASE = 1104,   // edit: the empty database's name
    IDC_STORE_ANONYMOUS = 1105,  // check: anonymous clients search as "public"
};

class CSheetMain;

class CPageStore : public CWizardPage {
public:
    explicit CPageStore(CSheetMain& sheet);
    void OnSetActive() override;
    void OnCommand(int id) override;
    bool OnWizardNext() override;

    std::string StorePath() const;  // where a local store goes
    std::string m_summary;          // the last page's line about the store

private:
    enum class EChoice { Keep, Demo, Empty, None };
    EChoice Choice() const;
    bool MakeStore(EChoice choice, std::string& error);
    bool WriteAccounts(bool store);
    void UpdateControls();

    CSheetMain& m_main;
    std::string m_demoScript;  // make-demo-store.sh, "" when not found
    std::string m_cfgs;        // the MARC 21 cfgs an empty database starts with, "" when not found
    bool m_keep = true;        // network mode or an existing store: nothing to make
};
