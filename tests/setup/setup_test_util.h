#pragma once
// Test helpers for the setup program: a fixture with its own configuration folder and instance
// folder, a dialog host that records what the pages show and answers from a script, and a walk
// through the wizard's pages with the fields filled in.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/inifile.h"
#include "platform/socket.h"
#include "setup/coralib/coralib.h"
#include "setup/deploykit/installpages.h"
#include "setup/sheetmain.h"
#include "tests/platform/temp_folder.h"

namespace setuptest {

// A loopback port that was free a moment ago.
inline int FreePort() {
    int error = 0;
    const SOCKET_T s = PlatListen(0, "127.0.0.1", 1, error);
    const int port = PlatLocalPort(s);
    PlatCloseSocket(s);
    return port;
}

class CScriptedHost : public CDialogHost {
public:
    std::vector<std::string> m_messages;
    std::deque<int> m_answers;  // answers to Yes/No questions, in order
    std::vector<std::string> m_waiting;

    int MessageBox(const std::string& text, unsigned type) override {
        m_messages.push_back(text);
        if (!(type & VKMB_YESNO))
            return VKID_OK;
        if (m_answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << text;
            return VKID_NO;
        }
        const int answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    }
    void ShowWaiting(const std::string& text) override { m_waiting.push_back(text); }
    void HideWaiting() override { m_waiting.push_back("(hidden)"); }
    std::function<int(CDialogForm&)> m_form;  // plays the operator in a modal form
    int RunForm(CDialogForm& form) override { return m_form ? m_form(form) : VKID_CANCEL; }
};

class SetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ORVANE_CONFIG_DIR", m_temp.File("cfg").c_str(), 1);
        SetDialogHost(&m_host);
    }
    void TearDown() override {
        SetDialogHost(nullptr);
        unsetenv("ORVANE_CONFIG_DIR");
    }

    std::string Instance() const { return m_temp.File("inst"); }
    std::string Ini() const { return Instance() + "/vk9000.ini"; }
    std::string IniValue(const char* section, const char* key) const {
        return PlatGetProfileString(section, key, "(missing)", Ini());
    }

    // Fields of the installer pages, by control id; the program folder is the test's own
    // folder, so nothing is copied.
    std::map<int, std::string> InstallerFields(const std::string& name = "inst1") const {
        std::string self;
        GetModuleDir(self);
        return {{IDC_INSTANCE_NAME, name}, {IDC_INSTANCE_FOLDER, Instance()}, {IDC_PROGRAM_FOLDER, self}};
    }

    // Starts the sheet and presses Next (filling `fields` on every page) until `target` shows.
    // False when a page refuses or the setup ends first.
    static bool WalkTo(CSheetMain& sheet, const CWizardPage& target, const std::map<int, std::string>& fields) {
        sheet.Start();
        while (&sheet.Current() != &target) {
            while (sheet.Current().OnWork()) {
            }
            for (const auto& [id, value] : fields)
                if (CControl* c = sheet.Current().Item(id))
                    c->value = value;
            if (!sheet.Next())
                return false;
        }
        return true;
    }

    TempFolder m_temp;
    CScriptedHost m_host;
};

}  // namespace setuptest
