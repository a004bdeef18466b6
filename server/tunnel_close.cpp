// CTunnel Close service, the server-initiated close and the packet log of requests and responses.

#include <sys/stat.h>

#include <string>

#include "berkit/bernode_pktfile.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"

namespace {

constexpr unsigned int kTagCloseReason = 211;
constexpr int kCloseReasonUnspecified = 9;

// Packet-log label of an APDU tag; null for tags that are not logged.
const char* RequestLabel(int tag) {
    switch (tag) {
    case Z_INIT_REQUEST: return "initreq";
    case Z_SEARCH_REQUEST: return "srchreq";
    case Z_PRESENT_REQUEST: return "prstreq";
    case Z_EXTSERVICES_REQUEST: return "extsreq";
    case Z_CLOSE: return "closreq";
    default: return nullptr;
    }
}

const char* ResponseLabel(int tag) {
    switch (tag) {
    case Z_INIT_RESPONSE: return "initres";
    case Z_SEARCH_RESPONSE: return "srchres";
    case Z_PRESENT_RESPONSE: return "prstres";
    case Z_EXTSERVICES_RESPONSE: return "extsres";
    case Z_CLOSE: return "closres";
    default: return nullptr;
    }
}

}  // namespace

void CTunnel::BuildCloseResponse() {
    m_response.ClearArray();
    CBERNode* close = m_response.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, Z_CLOSE);
    close->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kTagCloseReason, kCloseReasonUnspecified);
}

bool CTunnel::ProcessClose(CBERNode*) {
    // The client's reason and diagnostic are not examined; the answer is always "unspecified".
    BuildCloseResponse();
    return true;
}

bool CTunnel::UnilateralClose() {
    BuildCloseResponse();
    m_response.EncodeBER(m_sendBuffer);
    if (DataSend() > 0)
        DataRecv();
    Close();
    return true;
}

std::string CTunnel::HomeDir() const {
    return m_owner ? m_owner->m_homeDir.Get() : std::string();
}

bool CTunnel::LogPackets() const {
    return m_owner && Settings().m_logPackets;
}

namespace {

void WritePacket(const std::string& home, const std::string& address, const char* label, CByteArray& bytes) {
    const std::string folder = home + "vklogpck/";
    mkdir(folder.c_str(), 0755);  // an existing folder is fine; a failure leaves no file
    LogBerPackage(folder.c_str(), address.c_str(), label, reinterpret_cast<char*>(bytes.data()),
                  static_cast<int>(bytes.size()), false);
}

}  // namespace

void CTunnel::LogBerRequest() {
    if (!LogPackets())
        return;
    if (const char* label = RequestLabel(m_apduTag))
        WritePacket(HomeDir(), m_address, label, m_recvBuffer);
}

void CTunnel::LogBerResponse() {
    if (!LogPackets())
        return;
    if (const char* label = ResponseLabel(m_apduTag))
        WritePacket(HomeDir(), m_address, label, m_sendBuffer);
}
