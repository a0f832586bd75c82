// Answers on UDP 67 (DHCP, with the host's veto) and UDP 4011 (PXE boot server).
#include <cstring>

#include "dhcp/boot_file_choice.h"
#include "dhcp/dhcp_failure.h"
#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_responder.h"
#include "interface/address_text.h"
#include "interface/library_state.h"
#include "log/log_text.h"
#include "log/logger.h"

namespace {

constexpr uint16_t kServerPort = 67;
constexpr uint16_t kClientPort = 68;

int ClientKindOf(const char *lpVendorClass) {
    return strstr(lpVendorClass, "Linux") || strstr(lpVendorClass, "PXE") ? kBootStageClient : kOtherClient;
}

void PutAddress(unsigned char *lpMessage, int nOffset, uint32_t dwAddr) { memcpy(lpMessage + nOffset, &dwAddr, 4); }

void PutBootFile(unsigned char *lpMessage, const char *lpText, size_t nTextSize) {
    size_t len = strnlen(lpText, nTextSize);
    memcpy(lpMessage + kDhcpFileOffset, lpText, len);
    lpMessage[kDhcpFileOffset + len] = 0;
}

// The host's file when it chose one, otherwise the given text.
void PutBootFileFor(unsigned char *lpMessage, const BootFileChoice &boot, const char *lpText, size_t nTextSize) {
    if (boot.kind != BootAnswer::kConfigured)
        PutBootFile(lpMessage, boot.szFile, sizeof boot.szFile);
    else
        PutBootFile(lpMessage, lpText, nTextSize);
}

void CutNameFields(unsigned char *lpMessage) {
    lpMessage[kDhcpSnameOffset + 63] = 0;
    lpMessage[kDhcpFileOffset + 127] = 0;
}

uint32_t GiaddrOf(const unsigned char *lpMessage) {
    uint32_t dwGiaddr;
    memcpy(&dwGiaddr, lpMessage + kDhcpGiaddrOffset, 4);
    return dwGiaddr;
}

}  // namespace

int TeskDhcpResponder::AskHost(const ConfigSnapshot &config, const unsigned char *lpMac) {
    SelectPxeServerProc select = g_pfnSelectPxeServer.load();
    // The host may fill all 16 bytes: at most 15 characters are read back.
    char chosen[16] = {};
    if (!select || select(lpMac, chosen) != 1) return 0;
    chosen[15] = '\0';
    if (platform::HostToNet32(TextToHostIp(chosen)) == config.m_dwServerIP) return 1;
    char text[32];
    LogWrite(LOG_DEBUG, "mac:%s,ServerIp is:%s", MacToText(sizeof text, text, lpMac), PrintableText(chosen).Text());
    return -1;
}

int TeskDhcpResponder::BuildOffer(const ConfigSnapshot &config, unsigned char *lpMessage, uint32_t dwIp,
                                  const AddressGrant &grant, const BootFileChoice &boot) {
    lpMessage[kDhcpOpOffset] = kBootReply;
    PutAddress(lpMessage, kDhcpYiaddrOffset, dwIp);
    PutAddress(lpMessage, kDhcpSiaddrOffset, config.m_dwServerIP);
    PutBootFileFor(lpMessage, boot, config.m_PxeServer.bootfile, sizeof config.m_PxeServer.bootfile);
    return BuildDhcpReply(config, lpMessage, kDhcpOffer, grant.netmask, grant.gateway, grant.dns1, grant.dns2,
                          boot.kind);
}

int TeskDhcpResponder::BuildAck(const ConfigSnapshot &config, unsigned char *lpMessage, uint32_t dwIp,
                                const AddressGrant &grant, const BootFileChoice &boot) {
    lpMessage[kDhcpOpOffset] = kBootReply;
    PutAddress(lpMessage, kDhcpYiaddrOffset, dwIp);
    PutAddress(lpMessage, kDhcpSiaddrOffset, config.m_dwNextServerIP);
    // A client told to skip discovery boots what the acknowledgement names.
    PutBootFileFor(lpMessage, boot, "MAIN.COM", 9);
    return BuildDhcpReply(config, lpMessage, kDhcpAck, grant.netmask, grant.gateway, grant.dns1, grant.dns2,
                          boot.kind);
}

int TeskDhcpResponder::BuildBootServerAnswer(const ConfigSnapshot &config, unsigned char *lpMessage,
                                             unsigned char byType, const BootFileChoice &boot) {
    lpMessage[kDhcpOpOffset] = kBootReply;
    PutAddress(lpMessage, kDhcpCiaddrOffset, 0);
    PutAddress(lpMessage, kDhcpYiaddrOffset, 0);
    PutAddress(lpMessage, kDhcpSiaddrOffset, byType == kDhcpDiscover ? config.m_dwServerIP : config.m_dwNextServerIP);
    PutBootFileFor(lpMessage, boot, config.m_PxeServer.bootfile, sizeof config.m_PxeServer.bootfile);
    return BuildBootServerReply(config, lpMessage, byType == kDhcpDiscover ? kDhcpOffer : kDhcpAck, boot.kind);
}

int TeskDhcpResponder::HandleDhcpRequest(TeskDhcpResponder *responder, _socklist *record, AnswerDestination *lpTo) {
    if (!record) return -1;
    unsigned char *msg = record->data;
    unsigned char byType = GetMessageType(msg);
    CutNameFields(msg);
    int nKind = kOtherClient;
    char vendor[256];
    if (GetVendorClass(msg, record->nRecvLen, vendor, sizeof vendor) == 0) {
        LogWriteText("ClientIdentifie:%s", PrintableText(vendor).Text());
        nKind = ClientKindOf(vendor);
    }
    if (msg[kDhcpOpOffset] != kBootRequest) {
        LogWrite(LOG_DEBUG, "op not BOOTREQUEST");
        return -3;
    }
    // Only a DISCOVER or a REQUEST is answered, so nothing else may take
    // or touch an address.
    if (byType != kDhcpDiscover && byType != kDhcpRequest) return -2;
    const unsigned char *lpMac = msg + kDhcpChaddrOffset;
    if (AskHost(*responder->m_Leases.Config(), lpMac) < 0) return -66;
    BootFileChoice boot;
    ChooseBootFile(msg, record->nRecvLen, &boot);

    uint32_t dwGiaddr = GiaddrOf(msg);
    AddressGrant grant{};
    std::shared_ptr<const ConfigSnapshot> config;
    uint32_t dwIp = responder->m_Leases.AssignAddress(lpMac, nKind, dwGiaddr, &grant, &config, byType == kDhcpDiscover);
    if (dwIp == 0) {
        LogWrite(LOG_DEBUG, "can't allocate ip");
        return -4;
    }
    LogWrite(LOG_DEBUG, "dwIP:%s\n", IpToText(dwIp));
    int nLen = byType == kDhcpDiscover ? responder->BuildOffer(*config, msg, dwIp, grant, boot)
                                       : responder->BuildAck(*config, msg, dwIp, grant, boot);
    if (nLen == 0) return -2;
    record->nSendLen = nLen;
    // A relay agent cannot pass broadcasts on: it gets the answer itself.
    *lpTo = dwGiaddr != 0 ? AnswerDestination{false, dwGiaddr, kServerPort} : AnswerDestination{true, 0, kClientPort};
    return 0;
}

int TeskDhcpResponder::HandleBootServerRequest(TeskDhcpResponder *responder, _socklist *record,
                                               AnswerDestination *lpTo) {
    if (!record) return -1;
    unsigned char *msg = record->data;
    unsigned char byType = GetMessageType(msg);
    CutNameFields(msg);
    if (msg[kDhcpOpOffset] != kBootRequest) return LogDhcpdFailure("op not BOOTREQUEST", 1262);
    if (byType != kDhcpDiscover && byType != kDhcpRequest) return LogDhcpdFailure("send size zero", 1292);
    BootFileChoice boot;
    ChooseBootFile(msg, record->nRecvLen, &boot);
    int nLen = responder->BuildBootServerAnswer(*responder->m_Leases.Config(), msg, byType, boot);
    if (nLen == 0) return LogDhcpdFailure("send size zero", 1292);
    record->nSendLen = nLen;
    *lpTo = AnswerDestination{false, record->peer.dwAddr, platform::NetToHost16(record->peer.wPort)};
    return 0;
}
