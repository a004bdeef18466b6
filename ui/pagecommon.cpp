// CPageCommon: page "常规" (dialog 131).
#include "ui/pagecommon.h"

#include "server/tunnelarray.h"
#include "ui/sheetconfig.h"
#include "ui/toolkit/messagebox.h"

namespace {

enum : int {
    kPort = 1000,
    kTimeoutEnabled = 1010,
    kTimeoutSeconds = 1011,
    kHideWindow = 1012,
    kMaxSearchHits = 1027,
    kMaxResultSetSize = 1028,
};

const VKDialogTemplate kTemplate = {
    131,
    "常规",
    {
        {kPort, VKControlKind::kNumber, "端口号："},
        {kTimeoutEnabled, VKControlKind::kCheck, "启用超时设置"},
        {kTimeoutSeconds, VKControlKind::kNumber, "秒"},
        {0, VKControlKind::kStatic, "每次检索结果不超过"},
        {kMaxSearchHits, VKControlKind::kNumber, "条记录"},
        {0, VKControlKind::kStatic, "每个结果集不超过"},
        {kMaxResultSetSize, VKControlKind::kNumber, "条记录"},
        {kHideWindow, VKControlKind::kCheck, "程序启动时隐藏窗口"},
    },
};

}  // namespace

const VKDialogTemplate& CPageCommon::GetTemplate() const { return kTemplate; }

bool CPageCommon::OnInitDialog() {
    const auto s = GetMedi()->m_settings.Snapshot();
    m_dlg->SetText(kPort, std::to_string(s->m_port));
    m_dlg->SetCheck(kTimeoutEnabled, s->m_timeoutEnabled);
    m_dlg->SetText(kTimeoutSeconds, std::to_string(s->m_timeoutSeconds));
    m_dlg->SetText(kMaxSearchHits, std::to_string(s->m_maxSearchHits));
    m_dlg->SetText(kMaxResultSetSize, std::to_string(s->m_maxResultSetSize));
    m_dlg->SetCheck(kHideWindow, s->m_hideWindow);
    m_dlg->Enable(kTimeoutSeconds, s->m_timeoutEnabled);
    return true;
}

void CPageCommon::OnControl(int id, int code) {
    CConfigPage::OnControl(id, code);
    if (id == kTimeoutEnabled)
        m_dlg->Enable(kTimeoutSeconds, m_dlg->IsChecked(kTimeoutEnabled));
    else if (id == kPort && code == VKN_CHANGE)
        SetNeedRestart();
}

bool CPageCommon::OnApply() {
    unsigned port = 0;
    int timeout = 0, maxHits = 0, maxSetSize = 0;
    if (!GetUnsigned(kPort, port) || !GetInt(kTimeoutSeconds, timeout) ||
        !GetInt(kMaxSearchHits, maxHits) || !GetInt(kMaxResultSetSize, maxSetSize))
        return false;
    if (port == 0 || port >= 65535) {
        Message("端口号的范围应大于 0 并且小于 65535 !", VKMB_OK | VKMB_ICONWARNING);
        m_sheet->SetActivePage(kPageCommon);
        return false;
    }
    const bool timeoutEnabled = m_dlg->IsChecked(kTimeoutEnabled);
    const bool hideWindow = m_dlg->IsChecked(kHideWindow);
    GetMedi()->m_settings.Update([&](CServerSettings& s) {
        s.m_port = port;
        s.m_timeoutEnabled = timeoutEnabled;
        s.m_timeoutSeconds = timeout;
        s.m_maxSearchHits = maxHits;
        s.m_maxResultSetSize = maxSetSize;
        s.m_hideWindow = hideWindow;
    });
    return true;
}
