// Answers on UDP 67 (DHCP, with the host's veto) and UDP 4011 (PXE boot server).
#include <cstring>

#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_server.h"
#include "interface/address_text.h"
#include "interface/library_state.h"
#include "log/logger.h"

namespace {

// Kind 1 is a boot-stage client: a vendor class naming PXE or Linux.
int ClientKindOf(const char *lpVendorClass) {
    return strstr(lpVendorClass, "Linux") || strstr(lpVendorClass, "PXE") ? 1 : 2;
}

void PutAddress(unsigned char *lpMessage, int nOffset, uint32_t dwAddr) { memcpy(lpMessage + nOffset, &dwAddr, 4); }

void PutBootFile(unsigned char *lpMessage, const char *lpText, size_t nTextSize) {
    size_t len = strnlen(lpText, nTextSize);
    memcpy(lpMessage + kDhcpFileOffset, lpText, len);
    lpMessage[kDhcpFileOffset + len] = 0;
}

void CutNameFields(unsigned char *lpMessage) {
    lpMessage[kDhcpSnameOffset + 63] = 0;
    lpMessage[kDhcpFileOffset + 127] = 0;
}

}  // namespace

uint32_t TeskDhcpServer::ServerAddressFor(const char *lpChosen) const {
    return platform::HostToNet32(TextToHostIp(lpChosen));
}

int TeskDhcpServer::AskHost(const unsigned char *lpMac, char *lpChosen) {
    SelectPxeServerProc select = g_pfnSelectPxeServer;
    // The host may fill all 16 bytes: at most 15 characters are read back.
    memset(lpChosen, 0, 16);
    if (!select || select(lpMac, lpChosen) != 1) return 0;
    lpChosen[15] = '\0';
    uint32_t dwServer;
    {
        platform::TeskLockGuard guard(m_ConfigLock);
        dwServer = m_dwServerIP;
    }
    if (ServerAddressFor(lpChosen) == dwServer) return 1;
    char text[32];
    LogWrite(LOG_DEBUG, "mac:%s,ServerIp is:%s", MacToText(sizeof text, text, lpMac), lpChosen);
    return -1;
}

int TeskDhcpServer::HandleDhcpRequest(TeskDhcpServer *server, _socklist *record) {
    if (!record) return -1;
    unsigned char *msg = record->data;
    unsigned char byType = GetMessageType(msg);
    CutNameFields(msg);
    int nKind = 2;
    char vendor[256];
    if (GetVendorClass(msg, record->nRecvLen, vendor, sizeof vendor) == 0) {
        LogWriteText("ClientIdentifie:%s", vendor);
        nKind = ClientKindOf(vendor);
    }
    if (msg[kDhcpOpOffset] != kBootRequest) {
        LogWrite(LOG_DEBUG, "op not BOOTREQUEST");
        return -3;
    }
    const unsigned char *lpMac = msg + kDhcpChaddrOffset;
    char chosen[16];
    if (server->AskHost(lpMac, chosen) < 0) return -66;

    // One consistent configuration for the whole answer.
    platform::TeskLockGuard guard(server->m_ConfigLock);
    uint32_t dwGiaddr;
    memcpy(&dwGiaddr, msg + kDhcpGiaddrOffset, 4);
    AddressGrant grant{};
    uint32_t dwIp = server->AssignAddress(lpMac, nKind, dwGiaddr, &grant);
    if (dwIp == 0) {
        LogWrite(LOG_DEBUG, "can't allocate ip");
        return -4;
    }
    LogWrite(LOG_DEBUG, "dwIP:%s\n", IpToText(dwIp));
    int nLen;
    if (byType == kDhcpDiscover) {
        msg[kDhcpOpOffset] = kBootReply;
        PutAddress(msg, kDhcpYiaddrOffset, dwIp);
        PutAddress(msg, kDhcpSiaddrOffset, server->m_dwServerIP);
        PutBootFile(msg, server->m_PxeServer.bootfile, sizeof server->m_PxeServer.bootfile);
        nLen = server->BuildDhcpReply(msg, kDhcpOffer, grant.netmask, grant.gateway, grant.dns1, grant.dns2);
    } else if (byType == kDhcpRequest) {
        msg[kDhcpOpOffset] = kBootReply;
        PutAddress(msg, kDhcpYiaddrOffset, dwIp);
        PutAddress(msg, kDhcpSiaddrOffset, server->m_dwNextServerIP);
        PutBootFile(msg, "MAIN.COM", 9);
        nLen = server->BuildDhcpReply(msg, kDhcpAck, grant.netmask, grant.gateway, grant.dns1, grant.dns2);
    } else {
        return -2;
    }
    if (nLen == 0) return -2;
    record->nSendLen = nLen;
    record->lpReply = msg;
    return 0;
}

int TeskDhcpServer::HandleBootServerRequest(TeskDhcpServer *server, _socklist *record) {
    if (!record) return -1;
    unsigned char *msg = record->data;
    unsigned char byType = GetMessageType(msg);
    CutNameFields(msg);
    if (msg[kDhcpOpOffset] != kBootRequest) {
        return LogFailure("op not BOOTREQUEST", 1262);
    }
    if (byType != kDhcpDiscover && byType != kDhcpRequest) {
        return LogFailure("send size zero", 1292);
    }
    platform::TeskLockGuard guard(server->m_ConfigLock);
    msg[kDhcpOpOffset] = kBootReply;
    PutAddress(msg, kDhcpCiaddrOffset, 0);
    PutAddress(msg, kDhcpYiaddrOffset, 0);
    PutAddress(msg, kDhcpSiaddrOffset, byType == kDhcpDiscover ? server->m_dwServerIP : server->m_dwNextServerIP);
    PutBootFile(msg, server->m_PxeServer.bootfile, sizeof server->m_PxeServer.bootfile);
    int nLen = server->BuildBootServerReply(msg, byType == kDhcpDiscover ? kDhcpOffer : kDhcpAck);
    if (nLen == 0) {
        return LogFailure("send size zero", 1292);
    }
    record->nSendLen = nLen;
    record->lpReply = msg;
    return 0;
}
