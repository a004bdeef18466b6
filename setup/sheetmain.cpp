// CSheetMain: the hooks of the setup sheet (see sheetmain.h).
#include "setup/sheetmain.h"

#include "setup/coralib/coralib.h"
#include "setup/deploykit/deploykit.h"
#include "setup/deploykit/installpages.h"

const char* const kCloseProgramsHead = "安装程序探测到下列 Lumo 程序正在运行:\n";
const char* const kPortTakenHead = "安装程序发现端口";

namespace {

// The programs the close hook looks for, in the order it asks and closes them.
struct FamilyProgram {
    int (*close)(int detectOnly, const std::string& folder, int reserved);
    const char* line;
};
const FamilyProgram kFamily[] = {
    {CloseAp9000Exe, "* ap9000(u).exe -- Lumo 应用服务器\n"},
    {CloseVk9000Exe, "* vk9000(u).exe -- Lumo Z39.50务器\n"},
    {CloseCore9Exe, "* core9(u).exe   -- Lumo 数据库内核\n"},
};

// The leading decimal digits of `text` as a number, as atoi reads them (0 when there are none;
// values beyond the port range are kept out of range so that the port page rejects them).
unsigned DecimalValue(const std::string& text) {
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 999999)
            break;
    }
    return static_cast<unsigned>(value);
}

}  // namespace

CSheetMain::CSheetMain()
    : CSheetSetup("安装 Orvane-1 Z39.50服务器"), m_port(DefaultListenerPort()), m_pagePort(*this),
      m_pageInterface(*this), m_pageStore(*this) {
    AddPage(&m_pagePort);
    AddPage(&m_pageInterface);
    AddPage(&m_pageStore);
}

std::string CSheetMain::IniFile() const {
    return m_instanceFolder + "/vk9000.ini";
}

void CSheetMain::ReadSettings() {
    const std::string ini = IniFile();
    m_port = DecimalValue(GetIniProfileString("common", "ListenerPort", std::to_string(DefaultListenerPort()), ini));
    m_interface = GetIniProfileString("Strata", "Interface", "(none)", ini);
    if (m_interface == "(none)") {
        CRegistryInstance kernel;
        std::string program, data;
        if (kernel.Load(kKernelRegistryKey) == 0 && kernel.FindItem("Lumo", program, data) == 1) {
            m_interface = "localcore32.dll";
            m_dbInstance = "Lumo";
            m_version = "1";
            m_serverAddress = "localhost";
        } else {
            m_interface.clear();
            m_dbInstance.clear();
            m_version.clear();
            m_serverAddress.clear();
        }
        return;
    }
    m_dbInstance = GetIniProfileString("Strata", "DB Instance", "Lumo", ini);
    m_version = GetIniProfileString("Strata", "version", "1", ini);
    m_serverAddress = GetIniProfileString("common", "DBIPAddress", "localhost", ini);
}

int CSheetMain::CloseRunningPrograms() {
    std::string text = std::string(kCloseProgramsHead) + "---------------------------------------\n";
    bool any = false;
    for (const FamilyProgram& program : kFamily) {
        if (program.close(1, m_instanceFolder, 0) == 1) {
            text += program.line;
            any = true;
        }
    }
    if (!any)
        return 0;
    text += "-------------------------------------\n";
    text += "\n(注：上面仅列出了对安装有直接影响的 Lumo 程序，如果当前还有其他 Lumo 应用程序正在运行，"
            "最好先全部关闭，以免因数据库内核退出而导致无法保存最新修改过的数据。)\n";
    text += "\n为了不受干扰地写入新的 Lumo 配置文件信息，安装程序必须先关闭上述应用程序。\n\n"
            "关闭上述应用程序? (Y)关闭 (N)退出安装程序";
    if (ShowMessage(text, VKMB_YESNO | VKMB_ICONQUESTION) != VKID_YES)
        return 1;
    const int waiting = OpenDlgWaiting("正在关闭正在运行的 Lumo 服务器程序 ...");
    bool stillRunning = false;
    for (const FamilyProgram& program : kFamily)
        stillRunning = program.close(0, m_instanceFolder, 0) != 0 || stillRunning;
    CloseDlgWaiting(waiting);
    if (stillRunning) {
        // Writing the settings under a program that would not stop is what the question avoided.
        ShowMessage("未能关闭上述应用程序，安装程序退出。", VKMB_OK | VKMB_ICONWARNING);
        return 1;
    }
    return 0;
}

int CSheetMain::SaveSettings() {
    const std::string ini = IniFile();
    CRegistryInstance registry;
    const bool saved = EnsureDirExist(m_instanceFolder) &&
                       WriteIniProfileString("common", "ListenerPort", std::to_string(m_port), ini) &&
                       registry.Load(m_registryKey) == 0 &&
                       registry.SetItem(m_instanceName, m_programFolder + "/vk9000", m_instanceFolder) &&
                       registry.Save() == 0;
    if (saved)
        return 0;
    ShowMessage("无法保存设置: 请检查 " + ini + " 和实例注册表 " +
                    CRegistryInstance::FileOfKey(m_registryKey) + " 是否可写。",
                VKMB_OK | VKMB_ICONWARNING);
    return -1;
}

std::vector<std::string> CSheetMain::SummaryLines() const {
    std::vector<std::string> lines = {"监听端口: " + std::to_string(m_port),
                                      "Strata接口: " + (m_interface.empty() ? std::string("(未设置)") : m_interface)};
    if (m_interface.rfind("netchan32", 0) == 0)
        lines.push_back("服务器地址: " + m_serverAddress);
    if (!m_pageStore.m_summary.empty())
        lines.push_back(m_pageStore.m_summary);
    return lines;
}
