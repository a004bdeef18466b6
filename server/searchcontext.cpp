// CChannelAccess: preparing the back-end channel for an engine call.
#include "server/searchcontext.h"

#include "berkit/extended_exception.h"

bool CChannelAccess::Prepare(CDiagnostic& error) const {
    if (m_interface == nullptr || m_pager == nullptr) {
        error = CDiagnostic::System("connect db failed, CConnect::PrepareChannel()");
        return false;
    }
    m_pager->SetInterface(m_interface);
    m_pager->SetLoginFallback(m_allowAnonymous, kStrataAnonymousUser, "");
    // The channel stays open (and logged in) across requests as long as the account stays the
    // same; a changed account (an anonymous fall-back, a new Init) prepares it anew.
    try {
        m_pager->Prepare(m_user, m_password);
    } catch (extended_exception& e) {
        error = CDiagnostic::System(e.m_strMessage);
        return false;
    }
    return true;
}
