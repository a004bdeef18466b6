// SetupVelkan: installs one instance of the Z39.50 server.
//   SetupVelkan                          the full-screen terminal wizard
//   SetupVelkan --answers FILE           a scripted install (see answers.h)
//   SetupVelkan --instance-folder NAME   prints the folder registered for instance NAME
// Exit codes: 0 installed (or folder printed); 1 cancelled; 2 bad arguments, no terminal, a
// failed check or an unregistered instance; 3 ended because running programs were not closed.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "setup/answers.h"
#include "setup/coralib/coralib.h"
#include "setup/sheetmain.h"
#include "setup/tui/terminal.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: SetupVelkan [--answers FILE | --instance-folder NAME]\n"
                 "  (no option)            run the setup wizard in this terminal\n"
                 "  --answers FILE         install from the [setup] section of FILE\n"
                 "  --instance-folder NAME print the folder of the registered instance NAME\n");
    return kSetupFailed;
}

int PrintInstanceFolder(const std::string& name) {
    CRegistryInstance registry;
    std::string program, data;
    if (registry.Load(kServerRegistryKey) != 0 || registry.FindItem(name, program, data) != 1) {
        std::fprintf(stderr, "SetupVelkan: instance %s is not registered in %s\n", name.c_str(),
                     CRegistryInstance::FileOfKey(kServerRegistryKey).c_str());
        return kSetupFailed;
    }
    std::printf("%s\n", data.c_str());
    return kSetupOk;
}

int RunWizard(CSheetMain& sheet) {
    {
        CTerminalHost terminal;
        if (!terminal.Ready()) {
            std::fprintf(stderr, "SetupVelkan: not a terminal; use --answers FILE for a scripted install\n");
            return kSetupFailed;
        }
        SetDialogHost(&terminal);
        terminal.RunWizard(sheet);
        SetDialogHost(nullptr);
    }
    switch (sheet.State()) {
        case CSheetSetup::EState::Finished:
            return kSetupOk;
        case CSheetSetup::EState::Ended:
            std::fprintf(stderr, "SetupVelkan: %s\n", sheet.EndReason().c_str());
            return kSetupEnded;
        default:
            std::fprintf(stderr, "SetupVelkan: 安装已取消。\n");
            return kSetupCancelled;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string answers, instance;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--answers") == 0 && i + 1 < argc)
            answers = std::filesystem::absolute(argv[++i]).string();
        else if (std::strcmp(argv[i], "--instance-folder") == 0 && i + 1 < argc)
            instance = argv[++i];
        else
            return Usage();
    }
    if (!instance.empty())
        return PrintInstanceFolder(instance);

    // Relative paths in the installer's work are the program's own folder's.
    std::string moduleDir;
    if (GetModuleDir(moduleDir) && chdir(moduleDir.c_str()) != 0)
        std::fprintf(stderr, "SetupVelkan: cannot change to %s\n", moduleDir.c_str());
    CSheetMain sheet;
    const int rc = answers.empty() ? RunWizard(sheet) : RunAnswers(sheet, answers);
    if (rc == kSetupOk)
        std::printf("SetupVelkan: instance %s installed in %s (port %u, %s)\n", sheet.m_instanceName.c_str(),
                    sheet.m_instanceFolder.c_str(), sheet.m_port, sheet.m_interface.c_str());
    return rc;
}
