// CPagePort (see pageport.h).
#include "setup/pageport.h"

#include <cstdio>

#include "setup/deploykit/deploykit.h"
#include "setup/deploykit/installpages.h"
#include "setup/sheetmain.h"

CPagePort::CPagePort(CSheetMain& sheet)
    : CWizardPage("安装 Orvane-1 Z39.50服务器 -- 设置端口号"), m_main(sheet) {
    Add(EControl::Label, 0, "Z39.50服务器 TCP 监听端口号:");
    Add(EControl::Edit, IDC_PORT, "");
    Add(EControl::Group, 0, "说明");
    Add(EControl::Text, 0,
        "- Z39.50服务器(Z39.50 Server)通过Z39.50协议为任何支持Z39.50的前端程序提供查询服务功能，"
        "缺省监听端口号为210。\n"
        "- 如果打算在同一台机器上安装和启动两个以上的Z39.50服务器，就需要为它们配置不同的端口号。");
    if (!SetupRunsAsRoot())
        Add(EControl::Text, 0,
            "- 1024 以下的端口(包括 210)只有 root 才能监听。本程序不是以 root 身份运行, 所以建议使用 " +
                std::to_string(DefaultListenerPort(false)) + "。");
}

void CPagePort::OnSetActive() {
    m_sheet->SetWizardButtons(PSWIZB_NEXT);
    SetItemText(IDC_PORT, std::to_string(m_main.m_port));
}

bool CPagePort::OnWizardNext() {
    const std::string text = GetItemText(IDC_PORT);
    unsigned long port = 0;
    const bool digits = !text.empty() && text.size() <= 5 &&
                        text.find_first_not_of("0123456789") == std::string::npos;
    if (digits)
        port = std::stoul(text);
    if (!digits || port < 1 || port > 65534) {
        ShowMessage("请输入 1 到 65534 之间的端口号。", VKMB_OK | VKMB_ICONWARNING);
        m_focusRequest = IDC_PORT;
        return false;
    }
    std::string error;
    if (DetectPortListenning(static_cast<unsigned>(port), error) == 1) {
        char question[2048];
        std::snprintf(question, sizeof question,
                      "%s %lu 已经被某个服务程序占用。\n\n是否坚持让 Lumo Z39.50服务器(vk9000(u).exe) "
                      "使用该端口?\n\n注：该端口可能已经被 其他 Z39.50服务器程序占用，或者被另外一个实例的 "
                      "Lumo Z39.50服务器占用。需要查明原因，对相关程序的监听端口号设置加以调整。"
                      "如果有多个程序试图使用同一个监听端口号，只能是最先启动的一个程序能够监听成功。",
                      kPortTakenHead, port);
        if (ShowMessage(question, VKMB_YESNO | VKMB_ICONQUESTION | VKMB_DEFBUTTON2) != VKID_YES) {
            m_focusRequest = IDC_PORT;
            return false;
        }
    }
    m_main.m_port = static_cast<unsigned>(port);
    return true;
}
