// CTunnel Init service: authentication, anonymous access, UTF-8 negotiation, the initResponse.

#include <strings.h>

#include <string>

#include "backend/strata/strata_routines.h"
#include "berkit/bernode_apdu.h"
#include "berkit/bernode_decoders.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"

bool CTunnel::ProcessInit(CBERNode* apdu) {
    CZInitRequest request;
    request.m_groupId = m_groupId;
    request.m_userId = GetUserId();
    request.m_password = m_password;
    request.m_authForm = m_authType;
    DecodeInitRequest(apdu, request);
    m_groupId = request.m_groupId;
    SetUserId(request.m_userId);
    m_password = request.m_password;
    m_authType = request.m_authForm;
    m_charsetProposed = request.m_charsetProposed;
    if (request.m_charsetProposed) {
        m_utf8 = request.m_utf8;
        m_recordsInCharset = request.m_recordsInCharset;
        m_charsetWrapped = request.m_charsetWrapped;
    }
    ServeInit();

    CZInitResponse init;
    init.m_result = m_initialized;
    init.m_negotiated = m_charsetProposed && m_utf8;
    init.m_sort = Bib1Diagnostics();
    init.m_recordsInCharset = m_recordsInCharset;
    init.m_charsetWrapped = m_charsetWrapped;
    BuildInitResponse(m_response, request.m_referenceId, init);
    return true;
}

void CTunnel::ServeInit() {
    const CServerSettings& settings = Settings();
    m_initialized = true;
    if (m_authType == 0) {
        m_authenticated = false;
        if (m_owner && settings.m_allowAnonymous)
            UseAnonymousAccount();
        else
            m_initialized = false;
        return;
    }
    // A form the configuration switched off is handled like refused credentials.
    // [Access] RequireTlsForPasswords: passwords are not taken over a plain connection.
    const bool formAccepted = (m_authType == AUTH_FORM_OPEN ? settings.m_acceptOpen : settings.m_acceptIdPass) &&
                              (m_tls || !settings.m_requireTlsForPasswords);
    m_authenticated = true;
    if (!formAccepted || !IsLegalUser()) {
        m_authenticated = false;
        if (!m_owner || settings.m_badLoginAction != 0)
            m_initialized = false;
        else
            UseAnonymousAccount();
    }
}

void CTunnel::UseAnonymousAccount() {
    SetUserId(Settings().m_anonymousUser);
    m_password = Settings().m_anonymousPassword;
}

bool CTunnel::IsLegalUser() {
    if (!m_owner)
        return false;
    // The check logs the channel in with the client's credentials; should they be refused, the
    // session's account changes and the pager prepares the channel anew for the next call.
    m_pager.SetInterface(&m_owner->m_interface);
    m_pager.Prepare(GetUserId(), m_password);
    std::string path;
    if (strcasecmp(Settings().m_interfaceLibrary.c_str(), "netchan32.dll") == 0)
        path = Settings().m_serverAddress;
    return LoginDatabase(m_connect, path, false, "public", "") == 0;
}
