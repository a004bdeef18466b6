// CTunnel Close service, unsupported requests, the server-initiated close and the packet log of
// requests and responses.

#include <sys/stat.h>

#include <string>

#include "berkit/bernode_apdu.h"
#include "berkit/bernode_pktfile.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"

bool CTunnel::ProcessClose(CBERNode* apdu) {
    // The client's reason and diagnostic are not examined; the answer is always "unspecified".
    m_response.ClearArray();
    BuildCloseResponse(m_response, DecodeReferenceId(apdu), Z_CLOSE_UNSPECIFIED);
    return true;
}

bool CTunnel::ProcessUnsupported(CBERNode* apdu) {
    if (Settings().m_diagnostics != CDiagnosticsMode::kBib1)
        THROW_EXTENDED(0, m_initialized ? "not supported request" : "not initailized!");
    const CZReferenceId ref = DecodeReferenceId(apdu);
    m_response.ClearArray();
    if (m_initialized && m_apduTag == Z_SORT_REQUEST) {
        BuildSortFailure(m_response, ref, kDiagSortUnsupported, "sort is not supported");
        m_apduTag = Z_SORT_RESPONSE;
    } else {
        // No response of its own carries a diagnostic: tell the client why the association ends.
        BuildCloseResponse(m_response, ref, Z_CLOSE_PROTOCOL_ERROR);
        m_apduTag = Z_CLOSE;
    }
    return true;
}

bool CTunnel::UnilateralClose() {
    m_response.ClearArray();
    BuildCloseResponse(m_response, CZReferenceId(), Z_CLOSE_UNSPECIFIED);
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
    const CTunnelService* service = FindService(m_apduTag, false);
    if (service != nullptr && service->m_requestLabel != nullptr)
        WritePacket(HomeDir(), m_address, service->m_requestLabel, m_recvBuffer);
}

void CTunnel::LogBerResponse() {
    if (!LogPackets())
        return;
    const CTunnelService* service = FindService(m_apduTag, true);
    if (service != nullptr && service->m_responseLabel != nullptr)
        WritePacket(HomeDir(), m_address, service->m_responseLabel, m_sendBuffer);
}
