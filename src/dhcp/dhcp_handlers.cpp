// Answers on UDP 67 (DHCP, with the host's veto) and UDP 4011 (PXE boot server).
#include <cstring>

#include "boot/quirks.h"
#include "dhcp/dhcp_answers.h"
#include "dhcp/dhcp_codec.h"
#include "dhcp/dhcp_failure.h"
#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_responder.h"
#include "events/boot_events.h"
#include "log/log_text.h"
#include "log/logger.h"
#include "net/address_text.h"
#include "net/ip_address.h"

namespace {

constexpr uint16_t kServerPort = 67;
constexpr uint16_t kClientPort = 68;
constexpr uint16_t kBootServerPort = 4011;

int ClientKindOf(const char *lpVendorClass) {
    return strstr(lpVendorClass, "Linux") || strstr(lpVendorClass, "PXE") ? kBootStageClient : kOtherClient;
}

void CutNameFields(unsigned char *lpMessage) {
    lpMessage[kDhcpSnameOffset + 63] = 0;
    lpMessage[kDhcpFileOffset + 127] = 0;
}

// A relay agent cannot pass broadcasts on: it gets the answer itself.
TeskDhcpTypes::AnswerDestination DhcpDestination(uint32_t dwGiaddr) {
    return dwGiaddr != 0 ? TeskDhcpTypes::AnswerDestination{false, dwGiaddr, kServerPort}
                         : TeskDhcpTypes::AnswerDestination{true, 0, kClientPort};
}

// What only the answer (in RECORD) shows: an iPXE client given iPXE again,
// and a UEFI client at 4011 that another server's offer sent here.
void NoteAnswerQuirks(const LeaseBook &leases, const TeskDhcpResponder::_socklist &record, const RequestQuirks &quirks,
                      uint64_t qwNowMs) {
    char file[kBootFileFieldSize];
    memcpy(file, record.data + kDhcpFileOffset, sizeof file - 1);
    file[sizeof file - 1] = '\0';
    if (quirks.bIpxe && IsIpxeBinaryName(file)) NoteQuirk(Quirk::kIpxeChainLoop, qwNowMs);
    if (record.nSocketType != TeskDhcpResponder::SOCK_PROXY || !quirks.bUefi) return;
    const unsigned char *lpMac = record.data + kDhcpChaddrOffset;
    TeskDhcpTypes::tag_d_dhcp lease{};
    TeskDhcpTypes::tag_s_dhcp fixed{};
    if (!leases.FindLease(lpMac, &lease) && !leases.FindStatic(lpMac, &fixed)) NoteQuirk(Quirk::kForeignPxeOffer, qwNowMs);
}

}  // namespace

int TeskDhcpResponder::Answer(_socklist *record, uint64_t qwNowMs, AnswerDestination *lpTo) {
    if (!record || record->nSocketType < 0 || record->nSocketType >= SOCK_COUNT) return -1;
    LogCapScope scope(m_LogCaps[record->nSocketType], qwNowMs);
    if (record->nSocketType == SOCK_SELECT) {
        // The answer to an address request overwrites the operation with 2,
        // which reads as a report: the event tells what was asked.
        uint32_t dwOp = MirrorOperation(record);
        int nResult = GetMurDhcp(record, lpTo);
        if (BootEventsWanted()) EmitMirrorEvent(record, dwOp, nResult);
        return nResult;
    }
    QuirkScope quirkScope;
    m_Quirks = NoteRequestQuirks(record->data, record->nRecvLen, record->nSocketType == SOCK_PROXY,
                                 record->peer.dwAddr, platform::NetToHost16(record->peer.wPort), qwNowMs);
    bool bEvents = BootEventsWanted();
    m_nAnswerReason = TAVREL_REASON_NONE;
    RequestFacts facts;
    if (bEvents) facts = ReadFacts(record);
    int nResult = record->nSocketType == SOCK_DHCP ? HandleDhcpRequest(record, lpTo)
                                                   : HandleBootServerRequest(record, lpTo);
    if (nResult == 0) NoteAnswerQuirks(m_Leases, *record, m_Quirks, qwNowMs);
    if (bEvents) EmitDhcpEvent(record, facts, nResult);
    return nResult;
}

TeskDhcpResponder::RequestFacts TeskDhcpResponder::ReadFacts(const _socklist *record) const {
    RequestFacts facts;
    const unsigned char *msg = record->data;
    facts.byType = GetMessageType(msg);
    if (record->nRecvLen < kDhcpChaddrOffset + 6) return facts;
    memcpy(facts.abMac, msg + kDhcpChaddrOffset, sizeof facts.abMac);
    facts.nArch = ClientArchOf(msg, record->nRecvLen);
    GetOptionText(msg, record->nRecvLen, kDhcpUserClassOption, facts.szUserClass, sizeof facts.szUserClass);
    facts.dwGiaddr = GetAddressField(msg, kDhcpGiaddrOffset);
    char vendor[256];
    facts.nKind = GetVendorClass(msg, record->nRecvLen, vendor, sizeof vendor) == 0 ? ClientKindOf(vendor) : kOtherClient;
    facts.nKind = QuirkKind(facts.nKind);
    return facts;
}

// An answer is told with what it gives; a request left unanswered with the
// refusal its handler returned.
void TeskDhcpResponder::EmitDhcpEvent(const _socklist *record, const RequestFacts &facts, int nResult) const {
    int nPort = record->nSocketType == SOCK_DHCP ? kServerPort : kBootServerPort;
    const unsigned char *answer = record->data;
    if (nResult == 0) {
        // 4011 assigns no address: the client's own source stands in.
        uint32_t dwAddr = nPort == kServerPort ? GetAddressField(answer, kDhcpYiaddrOffset) : record->peer.dwAddr;
        EmitDhcpAnswer(nPort, GetMessageType(answer), facts.abMac, dwAddr, facts.nArch, facts.szUserClass,
                       reinterpret_cast<const char *>(answer + kDhcpFileOffset), m_nAnswerReason);
        return;
    }
    int nReason = TAVREL_REASON_MALFORMED;
    if (nResult == kRefusedByHost) nReason = TAVREL_REASON_HOST_DECLINED;
    if (nResult == kOtherServersClient) nReason = TAVREL_REASON_OTHER_SERVER;
    if (nResult == kAwaitingProbe) nReason = TAVREL_REASON_ADDRESS_PROBE;
    if (nResult == kUnknownLease) nReason = TAVREL_REASON_UNKNOWN_LEASE;
    if (nResult == kNoAddress) nReason = NoAddressReason(facts.nKind, facts.dwGiaddr);
    if (nResult == kNotAnswered && facts.byType == kDhcpDecline) nReason = TAVREL_REASON_DECLINED_ADDRESS;
    if (nResult == kNotAnswered && facts.byType != kDhcpDiscover && facts.byType != kDhcpRequest &&
        facts.byType != kDhcpDecline && facts.byType != 0)
        nReason = TAVREL_REASON_NOT_ANSWERED_TYPE;
    EmitDhcpUnanswered(nPort, facts.byType, facts.abMac, record->peer.dwAddr, nReason);
}

// UEFI HTTP Boot firmware boots as PXE firmware does, under a class that
// names neither: the ranges of other clients serve it as they always did,
// and where there are none, those of booting clients do.
int TeskDhcpResponder::QuirkKind(int nKind) const {
    if (m_Quirks.bBootStage) return kBootStageClient;
    if (!m_Quirks.bHttpBoot) return nKind;
    std::shared_ptr<const ConfigSnapshot> config = m_Leases.Config();
    for (const SubNetSlot &subnet : config->m_SubNet)
        if (subnet.nDhcpType == kOtherClient && subnet.end >= subnet.begin) return nKind;
    return kBootStageClient;
}

// Whether a range may serve clients behind this relay (0: no relay).
bool TeskDhcpResponder::RelayServed(uint32_t dwGiaddr) const {
    if (dwGiaddr == 0) return true;
    std::shared_ptr<const ConfigSnapshot> config = m_Leases.Config();
    for (const SubNetSlot &subnet : config->m_SubNet)
        if (ConfigSnapshot::RelayAllows(subnet, dwGiaddr)) return true;
    return false;
}

int TeskDhcpResponder::NoAddressReason(int nKind, uint32_t dwGiaddr) const {
    if (!RelayServed(dwGiaddr)) return TAVREL_REASON_RELAY_NOT_ALLOWED;
    std::shared_ptr<const ConfigSnapshot> config = m_Leases.Config();
    if (config->m_PxeServer.dhcpmode != 0) return TAVREL_REASON_NO_RANGE_FOR_CLASS;
    for (const SubNetSlot &subnet : config->m_SubNet)
        if (subnet.nDhcpType == nKind && subnet.end >= subnet.begin && ConfigSnapshot::RelayAllows(subnet, dwGiaddr))
            return TAVREL_REASON_NO_FREE_ADDRESS;
    return TAVREL_REASON_NO_RANGE_FOR_CLASS;
}

int TeskDhcpResponder::AskHost(const ConfigSnapshot &config, const unsigned char *lpMac) const {
    SelectPxeServerProc select = m_Hooks.selectPxeServer.load();
    // The host may fill all 16 bytes: at most 15 characters are read back.
    char chosen[16] = {};
    if (!select || select(lpMac, chosen) != 1) return 0;
    chosen[15] = '\0';
    if (platform::HostToNet32(TextToHostIp(chosen)) == config.m_dwServerIP) return 1;
    char text[32];
    LogWrite(LOG_DEBUG, "mac:%s,ServerIp is:%s", MacToText(sizeof text, text, lpMac), PrintableText(chosen).Text());
    return -1;
}

int TeskDhcpResponder::HandleDhcpRequest(_socklist *record, AnswerDestination *lpTo) {
    unsigned char *msg = record->data;
    unsigned char byType = GetMessageType(msg);
    CutNameFields(msg);
    int nKind = kOtherClient;
    char vendor[256];
    if (GetVendorClass(msg, record->nRecvLen, vendor, sizeof vendor) == 0) {
        LogWriteText("ClientIdentifie:%s", PrintableText(vendor).Text());
        nKind = ClientKindOf(vendor);
    }
    nKind = QuirkKind(nKind);
    if (msg[kDhcpOpOffset] != kBootRequest) {
        LogWrite(LOG_DEBUG, "op not BOOTREQUEST");
        return kMalformed;
    }
    // Only a DISCOVER, a REQUEST, a DECLINE or a RELEASE changes anything,
    // and only the first two are answered.
    if (byType != kDhcpDiscover && byType != kDhcpRequest && byType != kDhcpDecline && byType != kDhcpRelease)
        return kNotAnswered;
    // A RELEASE names its server itself: the host is not asked.
    if (byType == kDhcpRelease) return TakeRelease(record);
    const unsigned char *lpMac = msg + kDhcpChaddrOffset;
    if (AskHost(*m_Leases.Config(), lpMac) < 0) return kRefusedByHost;
    if (byType == kDhcpDecline) return TakeDecline(record);
    BootFileChoice boot;
    if (byType == kDhcpRequest) return AnswerRequest(record, nKind, boot, lpTo);

    uint32_t dwGiaddr = GetAddressField(msg, kDhcpGiaddrOffset);
    AddressGrant grant{};
    std::shared_ptr<const ConfigSnapshot> config;
    bool bAwaitsProbe = false;
    uint32_t dwIp = m_Leases.AssignAddress(lpMac, nKind, dwGiaddr, &grant, &config, true, &bAwaitsProbe);
    if (dwIp == 0) {
        // The client sends its DISCOVER again (after about 4 s), by when the probe has ended.
        LogWrite(LOG_DEBUG, bAwaitsProbe ? "address awaits its probe" : "can't allocate ip");
        return bAwaitsProbe ? kAwaitingProbe : kNoAddress;
    }
    // After the address, so the host is told what is offered. A client it
    // silences keeps the offer's short hold, as one that never requests.
    ChooseBootFile(m_Hooks, msg, record->nRecvLen, dwIp, &boot);
    if (boot.bSilent) return kRefusedByHost;
    if (m_Quirks.bRaspberryPi) boot.kind = BootAnswer::kRaspberryPi;
    LogWrite(LOG_DEBUG, "dwIP:%s\n", Ipv4Text(dwIp).c_str());
    int nLen = BuildOffer(*config, msg, dwIp, grant, m_dwSendBroadcast.load(), boot);
    if (nLen == 0) return kNotAnswered;
    record->nSendLen = nLen;
    *lpTo = DhcpDestination(dwGiaddr);
    return 0;
}

// A REQUEST is answered by the client's state (RFC 2131 4.3.2): an ACK of
// its own lease, a NAK of an address of ours that is not its own, or
// nothing (another server's client, or no state at all).
int TeskDhcpResponder::AnswerRequest(_socklist *record, int nKind, const BootFileChoice &boot,
                                     AnswerDestination *lpTo) {
    unsigned char *msg = record->data;
    uint32_t dwGiaddr = GetAddressField(msg, kDhcpGiaddrOffset);
    LeaseBook::ClientRequest request{msg + kDhcpChaddrOffset,
                                     nKind,
                                     dwGiaddr,
                                     GetAddressField(msg, kDhcpCiaddrOffset),
                                     GetAddressOption(msg, record->nRecvLen, kDhcpRequestedAddressOption),
                                     GetAddressOption(msg, record->nRecvLen, kDhcpServerIdOption)};
    // A renewing client unicasts to the server; a relay passes on only broadcasts.
    request.bUnicast =
        dwGiaddr == 0 && record->dwLocalAddr != 0 && record->dwLocalAddr == m_Leases.Config()->m_dwServerIP;
    uint32_t dwIp = 0;
    AddressGrant grant{};
    std::shared_ptr<const ConfigSnapshot> config;
    bool bUnknownLease = false;
    LeaseBook::RequestOutcome outcome = m_Leases.ConfirmRequest(request, &dwIp, &grant, &config, &bUnknownLease);
    if (outcome == LeaseBook::RequestOutcome::kSilent) {
        LogWrite(LOG_DEBUG, bUnknownLease ? "request left unanswered: a lease this server has no record of"
                                          : "request left unanswered: not this server's client");
        return bUnknownLease ? kUnknownLease : kOtherServersClient;
    }
    if (bUnknownLease) m_nAnswerReason = TAVREL_REASON_UNKNOWN_LEASE;
    int nLen = 0;
    if (outcome == LeaseBook::RequestOutcome::kNak) {
        char mac[32];
        LogWrite(LOG_DEBUG, "nak %s to %s", Ipv4Text(dwIp).c_str(), MacToText(sizeof mac, mac, request.lpMac));
        nLen = BuildNak(*config, msg);
    } else {
        LogWrite(LOG_DEBUG, "dwIP:%s\n", Ipv4Text(dwIp).c_str());
        BootFileChoice chosen = boot;
        // The lease stands: a silenced client is not answered, as if vetoed,
        // and its lease runs out unrenewed.
        ChooseBootFile(m_Hooks, msg, record->nRecvLen, dwIp, &chosen);
        if (chosen.bSilent) return kRefusedByHost;
        if (m_Quirks.bRaspberryPi) chosen.kind = BootAnswer::kRaspberryPi;
        nLen = BuildAck(*config, msg, dwIp, grant, m_dwSendBroadcast.load(), chosen);
    }
    if (nLen == 0) return kNotAnswered;
    record->nSendLen = nLen;
    *lpTo = DhcpDestination(dwGiaddr);
    return 0;
}

// A client found its address in use by another machine: only its holder's
// DECLINE counts, so forged ones drain nothing. Never answered.
int TeskDhcpResponder::TakeDecline(const _socklist *record) {
    const unsigned char *lpMac = record->data + kDhcpChaddrOffset;
    uint32_t dwIp = GetAddressOption(record->data, record->nRecvLen, kDhcpRequestedAddressOption);
    if (!m_Leases.Decline(lpMac, dwIp)) return kNotAnswered;
    char mac[32];
    LogWrite(LOG_INFO, "declined %s by %s: offered to nobody for %d s", Ipv4Text(dwIp).c_str(),
             MacToText(sizeof mac, mac, lpMac), static_cast<int>(LeaseBook::kDeclineHoldSeconds));
    return kNotAnswered;
}

// A client gives its lease back: only the holder's RELEASE of its own
// address (ciaddr), naming this server, ends it. Never answered.
int TeskDhcpResponder::TakeRelease(const _socklist *record) {
    const unsigned char *lpMac = record->data + kDhcpChaddrOffset;
    uint32_t dwIp = GetAddressField(record->data, kDhcpCiaddrOffset);
    if (!m_Leases.Release(lpMac, dwIp, GetAddressOption(record->data, record->nRecvLen, kDhcpServerIdOption)))
        return kNotAnswered;
    char mac[32];
    LogWrite(LOG_INFO, "released %s by %s", Ipv4Text(dwIp).c_str(), MacToText(sizeof mac, mac, lpMac));
    return kNotAnswered;
}

int TeskDhcpResponder::HandleBootServerRequest(_socklist *record, AnswerDestination *lpTo) {
    unsigned char *msg = record->data;
    unsigned char byType = GetMessageType(msg);
    CutNameFields(msg);
    if (msg[kDhcpOpOffset] != kBootRequest) return LogDhcpdFailure("op not BOOTREQUEST", 1262);
    if (byType != kDhcpDiscover && byType != kDhcpRequest) return LogDhcpdFailure("send size zero", 1292);
    // The client asks from the address it was given.
    uint32_t dwAddress = GetAddressField(msg, kDhcpCiaddrOffset);
    BootFileChoice boot;
    ChooseBootFile(m_Hooks, msg, record->nRecvLen, dwAddress ? dwAddress : record->peer.dwAddr, &boot);
    if (boot.bSilent) return kRefusedByHost;
    if (m_Quirks.bRaspberryPi) boot.kind = BootAnswer::kRaspberryPi;
    int nLen = BuildBootServerAnswer(*m_Leases.Config(), msg, byType, m_dwSendBroadcast.load(), boot);
    if (nLen == 0) return LogDhcpdFailure("send size zero", 1292);
    record->nSendLen = nLen;
    // A client without an address yet cannot be reached but by broadcast.
    *lpTo = AnswerDestination{m_Quirks.bBroadcast, record->peer.dwAddr, platform::NetToHost16(record->peer.wPort)};
    return 0;
}
