// CPageAuthent: page "访问" (dialog 134).
#include "ui/pageauthent.h"

#include "server/tunnelarray.h"
#include "ui/toolkit/messagebox.h"

namespace {

enum : int {
    kAllowAnonymous = 1020,
    kAnonymousUser = 1021,
    kAnonymousPassword = 1022,
    kAcceptOpen = 1023,
    kAcceptIdPass = 1024,
    kBadLoginAnonymous = 1025,
    kBadLoginRefuse = 1026,
};

const VKDialogTemplate kTemplate = {
    134,
    "访问",
    {
        {kAllowAnonymous, VKControlKind::kCheck, "允许匿名访问，使用以下帐户设置"},
        {kAnonymousUser, VKControlKind::kEdit, "用户名："},
        {kAnonymousPassword, VKControlKind::kPassword, "密码："},
        {0, VKControlKind::kGroup, "合法用户权限认证方式"},
        {kAcceptOpen, VKControlKind::kCheck, "Open"},
        {kAcceptIdPass, VKControlKind::kCheck, "IdPass"},
        {0, VKControlKind::kGroup, "对于用户名/密码错误的用户"},
        {kBadLoginAnonymous, VKControlKind::kRadio, "使用匿名访问帐户", "badlogin"},
        {kBadLoginRefuse, VKControlKind::kRadio, "拒绝", "badlogin"},
    },
};

}  // namespace

const VKDialogTemplate& CPageAuthent::GetTemplate() const { return kTemplate; }

bool CPageAuthent::OnInitDialog() {
    const auto s = GetMedi()->m_settings.Snapshot();
    m_dlg->SetCheck(kAllowAnonymous, s->m_allowAnonymous);
    m_dlg->SetText(kAnonymousUser, s->m_anonymousUser);
    m_dlg->SetText(kAnonymousPassword, s->m_anonymousPassword);
    m_dlg->SetCheck(kAcceptOpen, s->m_acceptOpen);
    m_dlg->SetCheck(kAcceptIdPass, s->m_acceptIdPass);
    m_dlg->SetCheck(kBadLoginAnonymous, s->m_badLoginAction == 0);
    m_dlg->SetCheck(kBadLoginRefuse, s->m_badLoginAction != 0);
    EnableAll({kAnonymousUser, kAnonymousPassword}, s->m_allowAnonymous);
    return true;
}

void CPageAuthent::OnControl(int id, int code) {
    // The anonymous switch only changes which fields can be edited; it does not mark the page.
    if (id == kAllowAnonymous) {
        EnableAll({kAnonymousUser, kAnonymousPassword}, m_dlg->IsChecked(kAllowAnonymous));
        return;
    }
    CConfigPage::OnControl(id, code);
    if (id == kAcceptIdPass && code == VKN_CLICKED && !m_dlg->IsChecked(kAcceptIdPass))
        Message("采用 'idpass' 权限验证方式的合法用户将不能正常访问!", VKMB_OK | VKMB_ICONWARNING);
    else if (id == kAcceptOpen && code == VKN_CLICKED && !m_dlg->IsChecked(kAcceptOpen))
        Message("采用 'open' 权限验证方式的合法用户将不能正常访问!", VKMB_OK | VKMB_ICONWARNING);
}

bool CPageAuthent::OnApply() {
    const bool allowAnonymous = m_dlg->IsChecked(kAllowAnonymous);
    const std::string user = m_dlg->GetText(kAnonymousUser);
    const std::string password = m_dlg->GetText(kAnonymousPassword);
    const bool acceptOpen = m_dlg->IsChecked(kAcceptOpen);
    const bool acceptIdPass = m_dlg->IsChecked(kAcceptIdPass);
    const int badLogin = m_dlg->IsChecked(kBadLoginRefuse) ? 1 : 0;
    GetMedi()->m_settings.Update([&](CServerSettings& s) {
        s.m_allowAnonymous = allowAnonymous;
        s.m_anonymousUser = user;
        s.m_anonymousPassword = password;
        s.m_acceptOpen = acceptOpen;
        s.m_acceptIdPass = acceptIdPass;
        s.m_badLoginAction = badLogin;
    });
    return true;
}
