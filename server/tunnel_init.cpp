// CTunnel Init service: authentication, anonymous access, UTF-8 negotiation, the initResponse.

#include <strings.h>

#include <string>

#include "backend/strata/strata_routines.h"
#include "berkit/bernode_decoders.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"

namespace {

constexpr unsigned int kTagReferenceId = 2;
constexpr unsigned int kTagIdAuthentication = 7;
constexpr unsigned int kTagOtherInformation = 201;
constexpr int kMessageSize = 10240;

void AddText(CBERNode* parent, unsigned int tag, const std::string& text) {
    std::string copy = text;  // the builder takes a mutable pointer
    parent->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, tag, copy.data(), static_cast<int>(copy.size()));
}

}  // namespace

bool CTunnel::ProcessInit(CBERNode* apdu) {
    m_hasReferenceId = false;
    m_charsetProposed = false;  // each Init answers only the negotiation it carries
    for (CBERNode* child : apdu->m_arrChildren) {
        if (!child)
            continue;
        switch (child->m_uTag) {
        case kTagReferenceId:
            if (!child->m_bConstructed) {
                m_referenceId = child->m_baContent;
                m_hasReferenceId = true;
            }
            break;
        case kTagIdAuthentication: {
            std::string group = m_groupId;
            std::string user = GetUserId();
            std::string password = m_password;
            int form = m_authType;
            if (DecodeAuthentication(child, group, user, password, form)) {
                m_groupId = group;
                SetUserId(user);
                m_password = password;
                m_authType = form;
            }
            break;
        }
        case kTagOtherInformation: {
            m_charsetProposed = true;
            bool utf8 = false;
            bool records = false;
            bool wrapped = false;
            DecodeCharSetNegotiation(child, utf8, records, &wrapped);
            m_utf8 = utf8;
            m_recordsInCharset = utf8 && records;
            m_charsetWrapped = wrapped;
            break;
        }
        default:
            break;  // versions, options, sizes and implementation fields do not change the answer
        }
    }

    m_initialized = true;
    if (m_authType == 0) {
        m_authenticated = false;
        if (m_owner && Settings().m_allowAnonymous) {
            SetUserId(Settings().m_anonymousUser);
            m_password = Settings().m_anonymousPassword;
        } else {
            m_initialized = false;
        }
    } else {
        m_authenticated = true;
        if (!IsLegalUser()) {
            m_authenticated = false;
            if (!m_owner || Settings().m_badLoginAction != 0) {
                m_initialized = false;
            } else {
                SetUserId(Settings().m_anonymousUser);
                m_password = Settings().m_anonymousPassword;
            }
        }
    }

    CBERNode* response = m_response.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, Z_INIT_RESPONSE);
    if (m_hasReferenceId)
        response->NewChildCharNode(kTagReferenceId, BER_CONTEXT, m_referenceId);
    response->NewChildBitStringNode(BER_CONTEXT, BER_PRIMITIVE, 3, "yy");
    // search, present, namedResultSets; with a negotiation answer also negotiationModel (bit 17),
    // without which clients such as yaz-client ignore the answer and never switch to UTF-8.
    const bool negotiated = m_charsetProposed && m_utf8;
    response->NewChildBitStringNode(BER_CONTEXT, BER_PRIMITIVE, 4,
                                    negotiated ? "110000000000001001" : "110000000000001");
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 5, kMessageSize);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 6, kMessageSize);
    response->NewChildBooleanNode(BER_CONTEXT, BER_PRIMITIVE, 12, m_initialized);
    AddText(response, 110, "OV-VK-1.0");
    AddText(response, 111, "Orvane-1 Z39.50 Server - VK9000");
    AddText(response, 112, "3");
    if (negotiated)
        response->NewChildOtherInfoUTF8(false, m_recordsInCharset, m_charsetWrapped);
    return true;
}

bool CTunnel::IsLegalUser() {
    if (!m_owner)
        return false;
    PrepareDatabaseChannel(m_connect, GetUserId(), m_password, &m_owner->m_interface);
    std::string path;
    if (strcasecmp(Settings().m_interfaceLibrary.c_str(), "netchan32.dll") == 0)
        path = Settings().m_serverAddress;
    return LoginDatabase(m_connect, path, false, "public", "") == 0;
}
