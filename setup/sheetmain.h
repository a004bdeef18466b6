#pragma once
// CSheetMain: the setup sheet of the Z39.50 server. Adds the port, interface and store pages to
// the installer's sheet and implements its three hooks: reading the instance's vk9000.ini, closing
// running programs of the product family, and saving the port and the instance registration.
// Thread safety: none; the setup program's one thread.

#include <string>
#include <vector>

#include "setup/deploykit/sheetsetup.h"
#include "setup/pageport.h"
#include "setup/pagestore.h"
#include "setup/pagestratainterface.h"

// The texts of the close hook's question and the port page's question; front-ends that answer
// questions without a person (the answers file) recognise them by these beginnings.
extern const char* const kCloseProgramsHead;
extern const char* const kPortTakenHead;

class CSheetMain : public CSheetSetup {
public:
    CSheetMain();

    // The sheet's settings (see the instance file vk9000.ini).
    unsigned m_port;  // DefaultListenerPort() until the instance file says otherwise
    std::string m_interface;      // "localcore32.dll", "netchan32.dll", "netchan32u.dll" or ""
    std::string m_serverAddress;  // back-end server in network mode
    std::string m_version;        // Strata protocol version
    std::string m_dbInstance;     // instance name of the database kernel
    // The interface libraries are registered once per run of the program.
    bool m_interfacesRegistered = false;

    std::string IniFile() const;  // instance folder + "/vk9000.ini"

    void ReadSettings() override;
    int CloseRunningPrograms() override;
    int SaveSettings() override;
    std::vector<std::string> SummaryLines() const override;

    CPagePort m_pagePort;
    CPageStrataInterface m_pageInterface;
    CPageStore m_pageStore;
};
