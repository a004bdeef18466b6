#pragma once
// The installer sheet's own pages: welcome, instance name, instance folder, program folder, free
// space, ready, copying the programs, and the last page with the summary. Their control ids are
// what front-ends (the answers file, tests) fill in.
// Thread safety: none; the setup program's one thread.

#include <memory>
#include <string>
#include <vector>

#include "setup/deploykit/sheetsetup.h"

enum {
    IDC_INSTANCE_NAME = 2001,    // edit: the instance name
    IDC_INSTANCE_FOLDER = 2002,  // edit: the instance folder
    IDC_PROGRAM_FOLDER = 2003,   // edit: the program folder
    IDC_ENABLE_SERVICE = 2004,   // check box on the last page
    IDC_COPY_PROGRESS = 2005,    // progress bar of the copy page
    IDC_PAGE_STATUS = 2006,      // status text of a page
    IDC_SUMMARY = 2007,          // summary text (free space, ready and last pages)
};

// The installer's pages in their order; the last one is the summary page.
std::vector<std::unique_ptr<CWizardPage>> MakeInstallerPages();

// Instance names: 1 to 64 letters, digits, '.', '_' or '-', not starting with '.' or '-'.
bool IsValidInstanceName(const std::string& name);
// True when the setup program runs as root (folders under /var/lib and ports below 1024 need it).
bool SetupRunsAsRoot();
// The proposed folder of instance `name`: /var/lib/velkan/NAME as root, else
// $XDG_DATA_HOME/velkan/NAME or ~/.local/share/velkan/NAME.
std::string DefaultInstanceFolder(const std::string& name, bool root = SetupRunsAsRoot());
// The proposed listening port: 210, the protocol's own, as root; else 2100, above 1024.
unsigned DefaultListenerPort(bool root = SetupRunsAsRoot());
// `bytes` for a person: "未知" when negative, else in MB below 1 GB and in GB above ("1.5 GB").
std::string SizeText(int64_t bytes);
