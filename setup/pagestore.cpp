// CPageStore (see pagestore.h).
#include "setup/pagestore.h"

#include <strings.h>

#include "platform/datafile.h"
#include "platform/file.h"
#include "platform/process.h"
#include "setup/coralib/coralib.h"
#include "setup/deploykit/installpages.h"
#include "setup/sheetmain.h"

namespace {

constexpr int kStoreGroup = 2;
constexpr const char* kStoreAccount = "public";  // made with every store, read only

std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

CPageStore::CPageStore(CSheetMain& sheet) : CWizardPage("安装 Orvane-1 Z39.50服务器 -- 数据库存储"), m_main(sheet) {
    Add(EControl::Text, IDC_PAGE_STATUS, "");
    Add(EControl::Radio, IDC_STORE_DEMO, "创建存储, 含演示数据库 books 和 unimarc (&D)", kStoreGroup);
    Add(EControl::Radio, IDC_STORE_EMPTY, "创建存储, 含一个空数据库 (&E)", kStoreGroup);
    Add(EControl::Label, 0, "空数据库名(&B):");
    Add(EControl::Edit, IDC_STORE_DATABASE, "").value = "books";
    Add(EControl::Radio, IDC_STORE_NONE, "暂不创建 (&S)", kStoreGroup);
    Add(EControl::Check, IDC_STORE_ANONYMOUS, "允许匿名访问, 以帐户 public 检索 (&A)").checked = true;
}

std::string CPageStore::StorePath() const {
    return m_main.m_instanceFolder + "/backend/" + m_main.m_dbInstance + ".strata";
}

void CPageStore::OnSetActive() {
    m_sheet->SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT);
    const std::string self = PlatJoinPath(m_main.m_sourceFolder, "SetupVelkan");
    m_demoScript = PlatFindDataFile(self, kDemoStoreScript);
    m_cfgs = Parent(PlatFindDataFile(self, "data/demo/books/cfgs/use.cfg"));
    const std::string ini = m_main.IniFile();
    Item(IDC_STORE_ANONYMOUS)->checked = GetIniProfileString("Access", "AllowAnonymous", "1", ini) != "0";
    const bool local = strcasecmp(m_main.m_interface.c_str(), "localcore32.dll") == 0;
    m_keep = !local || PlatFileExists(StorePath());
    std::string status;
    if (!local)
        status = "网络模式: Z39.50服务器使用网络上的 Lumo server 的数据库, 本机不需要存储。";
    else if (m_keep)
        status = "存储 " + StorePath() + " 已经存在, 保持不变。";
    else
        status = "本地模式的 Z39.50服务器从存储 " + StorePath() + " 读取数据库; 它还不存在。";
    SetItemText(IDC_PAGE_STATUS, status);
    if (!m_keep && !IsChecked(IDC_STORE_DEMO) && !IsChecked(IDC_STORE_EMPTY) && !IsChecked(IDC_STORE_NONE))
        CheckRadio(!m_demoScript.empty() ? IDC_STORE_DEMO : !m_cfgs.empty() ? IDC_STORE_EMPTY : IDC_STORE_NONE);
    UpdateControls();
}

void CPageStore::OnCommand(int id) {
    if (id == IDC_STORE_DEMO || id == IDC_STORE_EMPTY || id == IDC_STORE_NONE)
        UpdateControls();
}

void CPageStore::UpdateControls() {
    EnableItem(IDC_STORE_DEMO, !m_keep && !m_demoScript.empty());
    EnableItem(IDC_STORE_EMPTY, !m_keep && !m_cfgs.empty());
    EnableItem(IDC_STORE_NONE, !m_keep);
    EnableItem(IDC_STORE_DATABASE, !m_keep && IsChecked(IDC_STORE_EMPTY));
}

CPageStore::EChoice CPageStore::Choice() const {
    if (m_keep)
        return EChoice::Keep;
    if (IsChecked(IDC_STORE_DEMO) && !m_demoScript.empty())
        return EChoice::Demo;
    if (IsChecked(IDC_STORE_EMPTY) && !m_cfgs.empty())
        return EChoice::Empty;
    return EChoice::None;
}

bool CPageStore::OnWizardNext() {
    const EChoice choice = Choice();
    const std::string database = GetItemText(IDC_STORE_DATABASE);
    if (choice == EChoice::Empty && !IsValidInstanceName(database)) {
        ShowMessage("数据库名 '" + database + "' 不合法: 请用 1 到 64 个字母、数字、'.'、'_' 或 '-'。",
                    VKMB_OK | VKMB_ICONWARNING);
        m_focusRequest = IDC_STORE_DATABASE;
        return false;
    }
    std::string error;
    if ((choice == EChoice::Demo || choice == EChoice::Empty) && !MakeStore(choice, error)) {
        ShowMessage("未能创建存储 " + StorePath() + ": " + error, VKMB_OK | VKMB_ICONWARNING);
        return false;
    }
    const bool store = choice != EChoice::None && PlatFileExists(StorePath());
    if (!WriteAccounts(store)) {
        ShowMessage("无法写入 " + m_main.IniFile() + "。", VKMB_OK | VKMB_ICONWARNING);
        return false;
    }
    m_summary = choice == EChoice::Demo    ? "存储: " + StorePath() + " (演示数据库)"
                : choice == EChoice::Empty ? "存储: " + StorePath() + " (空数据库 " + database + ")"
                : choice == EChoice::None  ? "存储: 暂不创建 (vk9000 启动时会给出创建命令)"
                : store                    ? "存储: " + StorePath()
                                           : "";
    return true;
}

// Runs the store tool copied to the program folder, or the demo script with it; their output
// goes to backend/setup-store.log, named in the message when a step fails.
bool CPageStore::MakeStore(EChoice choice, std::string& error) {
    const std::string folder = Parent(StorePath());
    if (PlatMakeDirectories(folder) != 0) {
        error = "cannot create " + folder;
        return false;
    }
    const std::string strata = PlatJoinPath(m_main.m_programFolder, "strata");
    const std::string log = PlatJoinPath(folder, "setup-store.log");
    const int waiting = OpenDlgWaiting("正在创建存储 " + StorePath() + " ...");
    int rc = 0;
    if (choice == EChoice::Demo) {
        rc = PlatRunProgram({"bash", m_demoScript, folder, strata}, {"VELKAN_INSTANCE=" + m_main.m_dbInstance},
                            log, error);
    } else {
        rc = PlatRunProgram({strata, "create", StorePath()}, {}, log, error);
        if (rc == 0)
            rc = PlatRunProgram({strata, "db", "add", StorePath(), GetItemText(IDC_STORE_DATABASE), "--cfgs", m_cfgs},
                                {}, log, error);
    }
    CloseDlgWaiting(waiting);
    if (rc > 0)
        error = "见 " + log;
    if (rc != 0 && choice == EChoice::Empty)
        PlatDeleteFile(StorePath());  // a half-made store would pass for a made one
    return rc == 0;
}

bool CPageStore::WriteAccounts(bool store) {
    const std::string ini = m_main.IniFile();
    bool written = true;
    if (store && GetIniProfileString("Backend", "DBUser", "", ini).empty())
        written = WriteIniProfileString("Backend", "DBUser", kStoreAccount, ini);
    const bool anonymous = IsChecked(IDC_STORE_ANONYMOUS);
    // The anonymous account is "public" unless the ini names another.
    return written && WriteIniProfileString("Access", "AllowAnonymous", anonymous ? "1" : "0", ini);
}
