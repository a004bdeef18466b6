// Scripted installs from an answers file (see answers.h).
#include "setup/answers.h"

#include <cstdio>
#include <map>

#include "platform/file.h"
#include "platform/inifile.h"
#include "setup/deploykit/installpages.h"
#include "setup/sheetmain.h"

namespace {

constexpr const char* kSection = "setup";

std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "SetupVelkan: %s\n", OneLine(message).c_str());
    return kSetupFailed;
}

// Answers the pages' questions from the file and keeps the last notice for the failure line.
class CAnswersHost : public CDialogHost {
public:
    bool m_closeRunning = false;
    bool m_portInUse = false;
    std::string m_lastMessage;

    int MessageBox(const std::string& text, unsigned type) override {
        if (text.rfind(kCloseProgramsHead, 0) == 0)
            return m_closeRunning ? VKID_YES : VKID_NO;
        if (text.rfind(kPortTakenHead, 0) == 0) {
            if (!m_portInUse)
                m_lastMessage = text.substr(0, text.find('\n')) + " (PortInUse=yes keeps it)";
            return m_portInUse ? VKID_YES : VKID_NO;
        }
        m_lastMessage = text;
        if (type & VKMB_YESNO)
            return (type & VKMB_DEFBUTTON2) ? VKID_NO : VKID_YES;
        return VKID_OK;
    }
    void ShowWaiting(const std::string& text) override {
        std::printf("SetupVelkan: %s\n", text.c_str());
        std::fflush(stdout);
    }
    void HideWaiting() override {}
    int RunForm(CDialogForm&) override { return -1; }
};

// yes/no keys: false with `error` for any other value.
bool ReadSwitch(const std::string& file, const char* key, bool& value, std::string& error) {
    const std::string text = PlatGetProfileString(kSection, key, value ? "yes" : "no", file);
    if (text == "yes" || text == "no") {
        value = text == "yes";
        return true;
    }
    error = std::string(file) + ": " + key + " must be yes or no, not '" + text + "'";
    return false;
}

}  // namespace

int RunAnswers(CSheetMain& sheet, const std::string& file) {
    std::string content;
    if (PlatReadFile(file, content, PLAT_INI_MAX_BYTES) != 0)
        return Fail("cannot read the answers file " + file);
    CAnswersHost host;
    std::string error;
    bool enableService = false, anonymous = true;
    if (!ReadSwitch(file, "CloseRunning", host.m_closeRunning, error) ||
        !ReadSwitch(file, "PortInUse", host.m_portInUse, error) ||
        !ReadSwitch(file, "EnableService", enableService, error) ||
        !ReadSwitch(file, "Anonymous", anonymous, error))
        return Fail(error);
    const std::string mode = PlatGetProfileString(kSection, "Mode", "", file);
    if (!mode.empty() && mode != "local" && mode != "network")
        return Fail(file + ": Mode must be local or network, not '" + mode + "'");
    const std::map<std::string, int> stores = {
        {"demo", IDC_STORE_DEMO}, {"empty", IDC_STORE_EMPTY}, {"none", IDC_STORE_NONE}};
    const std::string store = PlatGetProfileString(kSection, "Store", "none", file);
    if (stores.count(store) == 0)
        return Fail(file + ": Store must be demo, empty or none, not '" + store + "'");

    // Edit fields filled from the file, by control id.
    const std::map<int, const char*> fields = {
        {IDC_INSTANCE_NAME, "InstanceName"}, {IDC_INSTANCE_FOLDER, "InstanceFolder"},
        {IDC_PROGRAM_FOLDER, "ProgramFolder"}, {IDC_PORT, "Port"}, {IDC_ADDRESS, "ServerAddress"},
        {IDC_STORE_DATABASE, "Database"}};
    const std::string unset = "\x01";

    CDialogHost* previous = GetDialogHost();
    SetDialogHost(&host);
    sheet.Start();
    int result = kSetupOk;
    while (sheet.State() == CSheetSetup::EState::Running) {
        CWizardPage& page = sheet.Current();
        while (page.OnWork()) {
        }
        if (sheet.State() != CSheetSetup::EState::Running)
            break;
        for (const auto& [id, key] : fields) {
            const std::string value = PlatGetProfileString(kSection, key, unset, file);
            if (CControl* c = page.Item(id); c && c->kind == EControl::Edit && value != unset)
                c->value = value;
        }
        if (!mode.empty() && page.Item(IDC_MODE_LOCAL)) {
            const int radio = mode == "local" ? IDC_MODE_LOCAL : IDC_MODE_NETWORK;
            page.CheckRadio(radio);
            page.OnCommand(radio);
        }
        if (CControl* check = page.Item(IDC_ENABLE_SERVICE))
            check->checked = enableService;
        if (CControl* check = page.Item(IDC_STORE_ANONYMOUS)) {
            check->checked = anonymous;
            page.CheckRadio(stores.at(store));
        }
        host.m_lastMessage.clear();
        const bool finishing = (sheet.Buttons() & PSWIZB_FINISH) != 0;
        if (finishing ? sheet.Finish() : sheet.Next())
            continue;
        if (sheet.State() != CSheetSetup::EState::Running)
            break;
        result = Fail(page.Title() + ": " +
                      (host.m_lastMessage.empty() ? std::string("cannot continue") : host.m_lastMessage));
        break;
    }
    if (sheet.State() == CSheetSetup::EState::Ended) {
        std::fprintf(stderr, "SetupVelkan: running programs were not closed (CloseRunning=no): %s\n",
                     OneLine(sheet.EndReason()).c_str());
        result = kSetupEnded;
    }
    SetDialogHost(previous);
    return result;
}
