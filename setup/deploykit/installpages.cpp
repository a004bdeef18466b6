// The installer sheet's own pages (see installpages.h).
#include "setup/deploykit/installpages.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/file.h"
#include "setup/coralib/coralib.h"

namespace {

const std::string kTitle = "安装 Orvane-1 Z39.50服务器 -- ";

bool IsAbsoluteFolder(const std::string& path) {
    return !path.empty() && path[0] == '/' && path.find_first_of("\r\n") == std::string::npos &&
           path.size() < 4096;
}

std::string Normalized(const std::string& path) {
    std::string p = std::filesystem::path(path).lexically_normal().string();
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

class CPageWelcome : public CWizardPage {
public:
    CPageWelcome() : CWizardPage(kTitle + "欢迎") {
        Add(EControl::Text, 0,
            "欢迎使用 Orvane-1 Z39.50服务器安装程序。\n\n"
            "本程序安装一个 Z39.50服务器实例: 复制程序文件, 设置监听端口号和 Strata接口, "
            "并把实例登记到实例注册表中。\n\n"
            "如果该实例已经安装过, 原有的设置将作为缺省值。");
    }
};

class CPageInstanceName : public CWizardPage {
public:
    CPageInstanceName() : CWizardPage(kTitle + "实例名") {
        Add(EControl::Label, 0, "实例名(&I):");
        Add(EControl::Edit, IDC_INSTANCE_NAME, "");
        Add(EControl::Text, 0,
            "- 实例名用于区分同一台机器上的多个 Z39.50服务器实例。\n"
            "- 由字母、数字、'.'、'_'、'-' 组成, 至多 64 个字符。");
    }
    void OnSetActive() override { SetItemText(IDC_INSTANCE_NAME, m_sheet->m_instanceName); }
    bool OnWizardNext() override {
        const std::string name = GetItemText(IDC_INSTANCE_NAME);
        if (!IsValidInstanceName(name)) {
            ShowMessage("实例名 '" + name + "' 不合法: 只能由字母、数字、'.'、'_'、'-' 组成, 1 到 64 个字符。",
                        VKMB_OK | VKMB_ICONWARNING);
            m_focusRequest = IDC_INSTANCE_NAME;
            return false;
        }
        const std::string existing = m_sheet->GetExistInstanceDir(name);
        if (!existing.empty())
            m_sheet->m_instanceFolder = existing;
        else if (name != m_sheet->m_instanceName || m_sheet->m_instanceFolder.empty())
            m_sheet->m_instanceFolder = DefaultInstanceFolder(name);
        m_sheet->m_instanceName = name;
        return true;
    }
};

// A page whose edit field `id` names a folder: an absolute path that is not an existing file.
class CPageFolder : public CWizardPage {
public:
    CPageFolder(const std::string& what, int id) : CWizardPage(kTitle + what), m_what(what), m_id(id) {}

protected:
    // Stores the field's folder, normalised, in `folder`; false with a message when it is not one.
    bool TakeFolder(std::string& folder) {
        const std::string text = GetItemText(m_id);
        if (!IsAbsoluteFolder(text) || (PlatFileExists(text) && !PlatIsDirectory(text))) {
            ShowMessage(m_what + " '" + text + "' 不合法: 需要一个绝对路径, 且不能是已有的文件。",
                        VKMB_OK | VKMB_ICONWARNING);
            m_focusRequest = m_id;
            return false;
        }
        folder = Normalized(text);
        return true;
    }

private:
    std::string m_what;
    int m_id;
};

class CPageInstanceFolder : public CPageFolder {
public:
    CPageInstanceFolder() : CPageFolder("实例目录", IDC_INSTANCE_FOLDER) {
        Add(EControl::Label, 0, "实例目录(&F):");
        Add(EControl::Edit, IDC_INSTANCE_FOLDER, "");
        Add(EControl::Text, IDC_PAGE_STATUS, "");
        Add(EControl::Text, 0, "- 实例目录存放 vk9000.ini、日志、IP 过滤表和本地数据库。");
        if (!SetupRunsAsRoot())
            Add(EControl::Text, 0,
                "- /var/lib 下的目录只有 root 才能创建。本程序不是以 root 身份运行, "
                "所以建议的实例目录在您的主目录下。");
    }
    void OnSetActive() override {
        SetItemText(IDC_INSTANCE_FOLDER, m_sheet->m_instanceFolder);
        const bool again = !m_sheet->GetExistInstanceDir(m_sheet->m_instanceName).empty();
        SetItemText(IDC_PAGE_STATUS, again ? "实例 " + m_sheet->m_instanceName +
                                                 " 已经安装过, 将在原目录上重新安装。"
                                           : "实例 " + m_sheet->m_instanceName + " 是新实例。");
    }
    bool OnWizardNext() override {
        if (!TakeFolder(m_sheet->m_instanceFolder))
            return false;
        m_sheet->ReadSettings();
        return true;
    }
};

class CPageProgramFolder : public CPageFolder {
public:
    CPageProgramFolder() : CPageFolder("程序目录", IDC_PROGRAM_FOLDER) {
        Add(EControl::Label, 0, "程序目录(&P):");
        Add(EControl::Edit, IDC_PROGRAM_FOLDER, "");
        Add(EControl::Text, 0,
            "- vk9000、strata 和 SetupVelkan 安装在此目录, 共享库安装在它旁边的 lib 目录。\n"
            "- 如果就是本安装程序所在的目录, 则不需要复制文件。");
    }
    void OnSetActive() override { SetItemText(IDC_PROGRAM_FOLDER, m_sheet->m_programFolder); }
    bool OnWizardNext() override {
        if (!TakeFolder(m_sheet->m_programFolder))
            return false;
        m_sheet->PrepareCheckSpace();
        return true;
    }
};

class CPageFreeSpace : public CWizardPage {
public:
    CPageFreeSpace() : CWizardPage(kTitle + "磁盘空间") { Add(EControl::Text, IDC_SUMMARY, ""); }
    void OnSetActive() override {
        SetItemText(IDC_SUMMARY,
                    "需要复制 " + std::to_string(m_sheet->m_copyList.size()) + " 个文件, 共 " +
                        SizeText(static_cast<int64_t>(m_sheet->m_needBytes)) + "。\n\n" +
                        "程序目录 " + m_sheet->m_programFolder + " 可用空间: " +
                        SizeText(m_sheet->DetectFreeSpace(m_sheet->m_programFolder)) + "\n" +
                        "实例目录 " + m_sheet->m_instanceFolder + " 可用空间: " +
                        SizeText(m_sheet->DetectFreeSpace(m_sheet->m_instanceFolder)));
    }
    bool OnWizardNext() override {
        std::string message;
        if (m_sheet->ExtDetectFreeSpace(message))
            return true;
        ShowMessage(message, VKMB_OK | VKMB_ICONWARNING);
        return false;
    }
};

class CPageReady : public CWizardPage {
public:
    CPageReady() : CWizardPage(kTitle + "准备安装") { Add(EControl::Text, IDC_SUMMARY, ""); }
    void OnSetActive() override {
        SetItemText(IDC_SUMMARY, "实例名:   " + m_sheet->m_instanceName + "\n实例目录: " +
                                     m_sheet->m_instanceFolder + "\n程序目录: " +
                                     m_sheet->m_programFolder +
                                     "\n\n按 \"下一步\" 开始复制文件。正在运行的 Lumo 程序需要先关闭。");
    }
    bool OnWizardNext() override {
        m_sheet->OnStartNext();
        return true;
    }
};

// Closes running programs (the sheet's hook), makes the folders and copies the files, one file
// per work step so that the front-end can show the progress.
class CPageCopy : public CWizardPage {
public:
    CPageCopy() : CWizardPage(kTitle + "复制文件") {
        Add(EControl::Progress, IDC_COPY_PROGRESS, "");
        Add(EControl::Text, IDC_PAGE_STATUS, "");
    }
    void OnSetActive() override {
        if (m_done) {
            m_sheet->SetWizardButtons(PSWIZB_NEXT);
            return;
        }
        if (m_sheet->CloseRunningPrograms() == 1) {
            m_sheet->End("安装程序已退出, 没有写入任何文件。");
            return;
        }
        m_next = 0;
        SetPercent(IDC_COPY_PROGRESS, 0);
        for (const std::string& folder : Folders()) {
            if (!EnsureDirExist(folder)) {
                Fail("无法创建目录 " + folder + "。");
                return;
            }
        }
        m_sheet->SetWizardButtons(0);
        SetItemText(IDC_PAGE_STATUS, "正在复制文件 ...");
    }
    bool OnWork() override {
        if (m_done || m_failed || m_sheet->Buttons() != 0)
            return false;
        const auto& list = m_sheet->m_copyList;
        if (m_next < list.size()) {
            std::string error;
            if (!m_sheet->ExtCopyFile(list[m_next].from, list[m_next].to, error)) {
                Fail(error);
                return false;
            }
            ++m_next;
            SetPercent(IDC_COPY_PROGRESS, static_cast<int>(m_next * 100 / list.size()));
            SetItemText(IDC_PAGE_STATUS, "已复制 " + list[m_next - 1].to);
            return true;
        }
        m_done = true;
        SetPercent(IDC_COPY_PROGRESS, 100);
        SetItemText(IDC_PAGE_STATUS, list.empty() ? "程序已在安装位置, 无需复制文件。"
                                                   : "文件复制完毕, 共 " + std::to_string(list.size()) + " 个文件。");
        m_sheet->SetWizardButtons(PSWIZB_NEXT);
        return false;
    }

private:
    std::vector<std::string> Folders() const {
        std::vector<std::string> folders = {m_sheet->m_instanceFolder};
        for (const auto& item : m_sheet->m_copyList)
            folders.push_back(std::filesystem::path(item.to).parent_path().string());
        return folders;
    }
    void Fail(const std::string& error) {
        m_failed = true;
        SetItemText(IDC_PAGE_STATUS, error);
        m_sheet->SetWizardButtons(PSWIZB_BACK);
        ShowMessage(error, VKMB_OK | VKMB_ICONWARNING);
    }
    bool OnWizardBack() override {
        m_failed = false;
        return true;
    }

    size_t m_next = 0;
    bool m_done = false;
    bool m_failed = false;
};

class CPageFinish : public CWizardPage {
public:
    CPageFinish() : CWizardPage(kTitle + "完成") {
        Add(EControl::Text, IDC_SUMMARY, "");
        Add(EControl::Check, IDC_ENABLE_SERVICE, "");
    }
    void OnSetActive() override {
        std::string text = "按 \"完成\" 保存设置并结束安装。\n\n实例名:   " + m_sheet->m_instanceName +
                           "\n实例目录: " + m_sheet->m_instanceFolder + "\n程序目录: " +
                           m_sheet->m_programFolder;
        for (const std::string& line : m_sheet->SummaryLines())
            text += "\n" + line;
        SetItemText(IDC_SUMMARY, text);
        SetItemText(IDC_ENABLE_SERVICE, "启用并启动服务 vk9000@" + m_sheet->m_instanceName + ".service(&S)");
        ShowItem(IDC_ENABLE_SERVICE, CSheetSetup::SystemdAvailable());
    }
    bool OnWizardFinish() override {
        const CControl* check = Item(IDC_ENABLE_SERVICE);
        m_sheet->m_enableService = check->visible && check->checked;
        return true;
    }
};

}  // namespace

std::vector<std::unique_ptr<CWizardPage>> MakeInstallerPages() {
    std::vector<std::unique_ptr<CWizardPage>> pages;
    pages.push_back(std::make_unique<CPageWelcome>());
    pages.push_back(std::make_unique<CPageInstanceName>());
    pages.push_back(std::make_unique<CPageInstanceFolder>());
    pages.push_back(std::make_unique<CPageProgramFolder>());
    pages.push_back(std::make_unique<CPageFreeSpace>());
    pages.push_back(std::make_unique<CPageReady>());
    pages.push_back(std::make_unique<CPageCopy>());
    pages.push_back(std::make_unique<CPageFinish>());
    return pages;
}

bool IsValidInstanceName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.' || name[0] == '-')
        return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
            return false;
    return true;
}

bool SetupRunsAsRoot() { return geteuid() == 0; }

unsigned DefaultListenerPort(bool root) { return root ? 210 : 2100; }

std::string SizeText(int64_t bytes) {
    if (bytes < 0)
        return "未知";
    constexpr double kMB = 1024.0 * 1024.0;
    char text[32];
    if (bytes < 1024 * 1024 * 1024LL)
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / kMB);
    else
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / (kMB * 1024.0));
    return text;
}

std::string DefaultInstanceFolder(const std::string& name, bool root) {
    if (root)
        return "/var/lib/velkan/" + name;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/')
        return std::string(xdg) + "/velkan/" + name;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share/velkan/" + name;
}
