// CPageStrataInterface (see pagestratainterface.h).
#include "setup/pagestratainterface.h"

#include <strings.h>

#include "setup/coralib/coralib.h"
#include "setup/hostcfg/hostcfg.h"
#include "setup/sheetmain.h"

namespace {

constexpr int kModeGroup = 1;

bool IsNetworkInterface(const std::string& library) {
    return strcasecmp(library.c_str(), "netchan32.dll") == 0 ||
           strcasecmp(library.c_str(), "netchan32u.dll") == 0;
}

}  // namespace

CPageStrataInterface::CPageStrataInterface(CSheetMain& sheet)
    : CWizardPage("安装 Orvane-1 Z39.50服务器 -- Strata接口"), m_main(sheet) {
    Add(EControl::Group, 0, " Strata接口类型 ");
    Add(EControl::Radio, IDC_MODE_LOCAL, "本地模式[localcore32.dll] (&L)", kModeGroup);
    Add(EControl::Text, 0, "- Z39.50服务器访问本机的 Lumo数据库内核。\n- 要求本机已经安装了Lumo server。");
    Add(EControl::Radio, IDC_MODE_NETWORK, "网络模式[netchan32.dll] (&N)", kModeGroup);
    Add(EControl::Text, 0,
        "- Z39.50服务器访问网络上的 Lumo server 或者 Kaltro server。\n- 不要求本机安装Lumo server。");
    Add(EControl::Button, IDC_CONFIGURE, "配置网络模式接口(&C) ...");
    Add(EControl::Label, IDC_ADDRESS_LABEL, "Z39.50服务器要连接的 Lumo server或Kaltro server地址(&A):");
    Add(EControl::Edit, IDC_ADDRESS, "");
}

void CPageStrataInterface::OnCreate() {
    if (m_main.m_interface.empty()) {
        CheckRadio(IDC_MODE_NETWORK);
        m_main.m_dbInstance = "Lumo";
    } else if (IsNetworkInterface(m_main.m_interface)) {
        CheckRadio(IDC_MODE_NETWORK);
        SetItemText(IDC_ADDRESS, m_main.m_serverAddress);
    } else {
        CheckRadio(IDC_MODE_LOCAL);
    }
    UpdateControls();
}

void CPageStrataInterface::OnSetActive() {
    if (m_main.m_interfacesRegistered)
        return;
    m_main.m_interfacesRegistered = true;
    RegisterStrataInterface("netchan32.dll", 1, "网络模式", m_main.m_programFolder);
    RegisterStrataInterface("localcore32.dll", 0, "单机模式", m_main.m_programFolder);
    AppendNETCHAN32Hosts(0, {"localhost"});
}

void CPageStrataInterface::OnCommand(int id) {
    if (id == IDC_MODE_LOCAL || id == IDC_MODE_NETWORK) {
        UpdateControls();
    } else if (id == IDC_CONFIGURE) {
        std::string error;
        if (CfgStrataIntrefaceDLL(m_main.m_programFolder, "netchan32.dll", "Lumo", error) == -1)
            ShowMessage(error, VKMB_OK | VKMB_ICONWARNING);
    }
}

void CPageStrataInterface::UpdateControls() {
    const bool network = NetworkMode();
    EnableItem(IDC_ADDRESS_LABEL, network);
    EnableItem(IDC_ADDRESS, network);
    EnableItem(IDC_CONFIGURE, network);
}

bool CPageStrataInterface::OnWizardNext() {
    const bool network = NetworkMode();
    const std::string address = GetItemText(IDC_ADDRESS);
    if (network && address.empty()) {
        ShowMessage("尚未指定'Z39.50服务器要连接的 Lumo server或Kaltro server地址'...", VKMB_OK | VKMB_ICONWARNING);
        m_focusRequest = IDC_ADDRESS;
        return false;
    }
    m_main.m_serverAddress = address;
    const std::string ini = m_main.IniFile();
    bool written = WriteIniProfileString("Strata", "interface", network ? "netchan32.dll" : "localcore32.dll", ini);
    if (m_main.m_dbInstance.empty())
        m_main.m_dbInstance = "Lumo";
    written = written && WriteIniProfileString("Strata", "DB Instance", m_main.m_dbInstance, ini);
    if (m_main.m_version.empty())
        m_main.m_version = "1";
    written = written && WriteIniProfileString("Strata", "Version", m_main.m_version, ini);
    if (network) {
        written = written && WriteIniProfileString("common", "DBIPAddress", address, ini);
        if (strcasecmp(address.c_str(), "localhost") != 0)
            AppendNETCHAN32Hosts(0, {address});
    }
    if (!written) {
        ShowMessage("无法写入 " + ini + "。", VKMB_OK | VKMB_ICONWARNING);
        return false;
    }
    m_main.m_interface = network ? "netchan32.dll" : "localcore32.dll";
    return true;
}
