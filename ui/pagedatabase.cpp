// CPageDatabase: page "数据库" (dialog 133).
#include "ui/pagedatabase.h"

#include <strings.h>

#include "server/tunnelarray.h"

namespace {

enum : int {
    kLocal = 1002,
    kRemote = 1003,
    kServerAddress = 1009,
    kUser = 1018,
    kPassword = 1019,
    kShowUnconfigured = 1030,
    kVersion = 1034,
    kInstance = 1035,
};

const char* const kLocalLibrary = "localcore32.dll";
const char* const kRemoteLibrary = "netchan32.dll";

const VKDialogTemplate kTemplate = {
    133,
    "数据库",
    {
        {0, VKControlKind::kGroup, "数据库登录"},
        {kUser, VKControlKind::kEdit, "用户名："},
        {kPassword, VKControlKind::kPassword, "口令字："},
        {0, VKControlKind::kGroup, "数据库模式"},
        {kLocal, VKControlKind::kRadio, "本地", "mode"},
        {kRemote, VKControlKind::kRadio, "远程", "mode"},
        {kServerAddress, VKControlKind::kEdit, "服务器地址："},
        {kInstance, VKControlKind::kEdit, "实例名:"},
        {kVersion, VKControlKind::kCombo, "数据库版本", "", {"Kaltro", "Lumo"}},
        {kShowUnconfigured, VKControlKind::kCheck, "显示未配置的数据库"},
    },
};

}  // namespace

const VKDialogTemplate& CPageDatabase::GetTemplate() const { return kTemplate; }

bool CPageDatabase::OnInitDialog() {
    const auto s = GetMedi()->m_settings.Snapshot();
    m_dlg->SetText(kUser, s->m_dbUser);
    m_dlg->SetText(kPassword, s->m_dbPassword);
    m_dlg->SetText(kServerAddress, s->m_serverAddress);
    m_dlg->SetText(kInstance, s->m_instanceName);
    m_dlg->SetCurSel(kVersion, s->m_backendVersion);
    m_dlg->SetCheck(kShowUnconfigured, s->m_showUnconfigured);
    const bool local = strcasecmp(s->m_interfaceLibrary.c_str(), kLocalLibrary) == 0;
    m_dlg->SetCheck(kLocal, local);
    m_dlg->SetCheck(kRemote, !local);
    m_dlg->Enable(kServerAddress, !local);
    return true;
}

void CPageDatabase::OnControl(int id, int code) {
    CConfigPage::OnControl(id, code);
    if (id == kLocal || id == kRemote) {
        m_dlg->Enable(kServerAddress, m_dlg->IsChecked(kRemote));
        SetNeedRestart();
    } else if ((id == kServerAddress || id == kUser || id == kPassword) && code == VKN_CHANGE) {
        SetNeedRestart();
    }
}

bool CPageDatabase::OnApply() {
    int version = m_dlg->GetCurSel(kVersion);
    if (version < 0 || version > 1)
        version = 0;
    const std::string user = m_dlg->GetText(kUser);
    const std::string password = m_dlg->GetText(kPassword);
    const std::string address = m_dlg->GetText(kServerAddress);
    const std::string instance = m_dlg->GetText(kInstance);
    const bool showUnconfigured = m_dlg->IsChecked(kShowUnconfigured);
    const bool local = m_dlg->IsChecked(kLocal);
    GetMedi()->m_settings.Update([&](CServerSettings& s) {
        s.m_dbUser = user;
        s.m_dbPassword = password;
        s.m_serverAddress = address;
        s.m_instanceName = instance;
        s.m_backendVersion = version;
        s.m_showUnconfigured = showUnconfigured;
        s.m_interfaceLibrary = local ? kLocalLibrary : kRemoteLibrary;
    });
    return true;
}
