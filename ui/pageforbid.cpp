// CPageForbid: page "禁用" (dialog 138).
#include "ui/pageforbid.h"

#include "server/tunnelarray.h"

namespace {

enum : int { kForbidDatabase = 1028, kForbidService = 1029 };

const VKDialogTemplate kTemplate = {
    138,
    "禁用",
    {
        {kForbidDatabase, VKControlKind::kCheck, "禁止访问数据库"},
        {0, VKControlKind::kStatic, "选用此项后，访问数据库的请求将被拒绝"},
        {kForbidService, VKControlKind::kCheck, "禁止 Z39.50 服务"},
        {0, VKControlKind::kStatic, "选用此项后，将不启动 Z39.50 服务"},
    },
};

}  // namespace

const VKDialogTemplate& CPageForbid::GetTemplate() const { return kTemplate; }

bool CPageForbid::OnInitDialog() {
    const auto s = GetMedi()->m_settings.Snapshot();
    m_dlg->SetCheck(kForbidDatabase, s->m_forbidDatabase);
    m_dlg->SetCheck(kForbidService, s->m_forbidService);
    return true;
}

bool CPageForbid::OnApply() {
    const bool forbidDatabase = m_dlg->IsChecked(kForbidDatabase);
    const bool forbidService = m_dlg->IsChecked(kForbidService);
    GetMedi()->m_settings.Update([&](CServerSettings& s) {
        s.m_forbidDatabase = forbidDatabase;
        s.m_forbidService = forbidService;
    });
    return true;
}
