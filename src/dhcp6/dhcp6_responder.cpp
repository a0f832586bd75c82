#include "dhcp6/dhcp6_responder.h"

#include <cstdio>
#include <cstring>

#include "boot/client_arch.h"
#include "dhcp/boot_file_choice.h"
#include "events/boot_events.h"
#include "log/log_text.h"
#include "log/logger.h"
#include "net/address_text.h"

using namespace dhcp6;

namespace {

constexpr uint32_t kRenewPercent = 50, kRebindPercent = 80;  // T1 and T2 of the valid lifetime
constexpr size_t kUrlSize = 256;
const char kIpxeUserClass[] = "iPXE";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hex digits, colons between bytes optional; the number of bytes, or -1.
int ParseHexBytes(const char *lpText, uint8_t *lpBytes, size_t nMax) {
    size_t n = 0;
    for (const char *at = lpText; *at;) {
        if (*at == ':') { ++at; continue; }
        int hi = HexValue(at[0]), lo = hi < 0 ? -1 : HexValue(at[1]);
        if (lo < 0 || n == nMax) return -1;
        lpBytes[n++] = static_cast<uint8_t>(hi << 4 | lo);
        at += 2;
    }
    return static_cast<int>(n);
}

bool ParseV6(const char *lpText, IpAddress *lpAddress) {
    return ParseIpAddress(lpText, lpAddress) && lpAddress->IsV6() && !lpAddress->IsUnspecified();
}

// A DUID-LL of the interface's MAC; without one, a DUID-UUID made from the
// server's address, which stays the same as long as the address does.
void MakeServerDuid(const Dhcp6Start &start, Dhcp6Config *c) {
    PacketWriter out(c->abDuid, sizeof c->abDuid);
    if (start.bHasInterfaceMac) {
        out.PutWord(kDuidLl);
        out.PutWord(kHardwareEthernet);
        out.PutBytes(start.abInterfaceMac, 6);
    } else {
        out.PutWord(kDuidUuid);
        uint64_t hash = 1469598103934665603ull;  // FNV-1a, spread over 16 bytes
        for (int i = 0; i < 16; ++i) {
            hash = (hash ^ c->address.Bytes()[i]) * 1099511628211ull;
            out.PutByte(static_cast<unsigned>(hash >> 56));
        }
    }
    c->nDuid = static_cast<size_t>(out.Position());
}

bool BuildRanges(const Dhcp6Start &start, Dhcp6Config *c) {
    for (int i = 0; i < start.nSubNets; ++i) {
        const TeskSubNetV6Struct &s = start.lpSubNets[i];
        Lease6Book::RangeSpec range{};
        if (!ParseV6(s.beginip, &range.first) || !ParseV6(s.endip, &range.last) ||
            !Ipv6RangePool::Valid(range.first, range.last)) {
            LogWrite(LOG_ERROR, "StartPXEV6: range %d is not an IPv6 range (%s to %s)", i,
                     PrintableText(s.beginip).Text(), PrintableText(s.endip).Text());
            return false;
        }
        range.nKind = s.nDhcpType;
        c->ranges.push_back(range);
        std::vector<IpAddress> dns;
        for (const char *text : {s.dns1, s.dns2}) {
            IpAddress address;
            if (ParseV6(text, &address)) dns.push_back(address);
        }
        c->dns.push_back(dns);
    }
    return true;
}

bool BuildStatics(const Dhcp6Start &start, Dhcp6Config *c) {
    for (int i = 0; i < start.nStatics; ++i) {
        const TeskStaticDhcpV6Struct &s = start.lpStatics[i];
        Lease6Book::StaticSpec entry{};
        uint8_t duid[kMaxDuidBytes];
        int nDuid = s.duid[0] ? ParseHexBytes(s.duid, duid, sizeof duid) : 0;
        bool bKey = nDuid > 0 ? ClientKey::FromDuid(duid, static_cast<size_t>(nDuid), &entry.duid)
                              : nDuid == 0 && ParseHexBytes(s.mac, entry.abMac, 6) == 6;
        if (!bKey || !ParseV6(s.ip, &entry.address)) {
            LogWrite(LOG_ERROR, "StartPXEV6: static entry %d has no usable DUID, MAC or IPv6 address", i);
            return false;
        }
        c->statics.push_back(entry);
    }
    return true;
}

}  // namespace

bool BuildDhcp6Config(const Dhcp6Start &start, Dhcp6Config *c) {
    if (!start.lpServer) return false;
    c->server = *start.lpServer;
    c->server.ServerIP[sizeof c->server.ServerIP - 1] = '\0';
    c->server.bootfile[sizeof c->server.bootfile - 1] = '\0';
    c->server.vetoname[sizeof c->server.vetoname - 1] = '\0';
    c->address = start.server;
    if (!c->address.IsV6() && !ParseV6(c->server.ServerIP, &c->address)) {
        LogWrite(LOG_ERROR, "StartPXEV6: server address %s is not IPv6", PrintableText(c->server.ServerIP).Text());
        return false;
    }
    if (!BuildRanges(start, c) || !BuildStatics(start, c)) return false;
    MakeServerDuid(start, c);
    snprintf(c->szVetoName, sizeof c->szVetoName, "%s", c->server.vetoname[0] ? c->server.vetoname : start.szIpv4ServerIp);
    return true;
}

// What one request's answer is built from.
struct Dhcp6Responder::Client {
    ClientKey duid;
    bool bHasDuid = false;
    unsigned char abMac[6] = {};
    bool bHasMac = false;
    bool bBootStage = false;
    bool bHttpClient = false;
    int nArch = -1;
    char szUrl[kUrlSize] = {};
    IpAddress firstAddress;  // for the event
    int nReason = TAVREL_REASON_NONE;
    uint8_t bySent = 0;
    bool bSilent = false;  // the host's boot-file choice leaves it unanswered
};

int Dhcp6Responder::Start(const Dhcp6Start &start) {
    auto config = std::make_shared<Dhcp6Config>();
    if (!BuildDhcp6Config(start, config.get())) return -1;
    int nResult = m_Book.Open(start.lpLeaseFolder, platform::MonotonicMs());
    if (nResult < 0) {
        LogWrite(LOG_ERROR, "StartPXEV6: the DHCPv6 lease journal cannot be opened: %d", nResult);
        return nResult;
    }
    m_Book.Configure(config->ranges, config->statics, config->server.dhcpmode != 0);
    m_lpConfig = config;
    return 0;
}

int Dhcp6Responder::Reconfigure(const Dhcp6Start &start) {
    auto config = std::make_shared<Dhcp6Config>();
    if (!BuildDhcp6Config(start, config.get())) return -1;
    platform::TeskLockGuard guard(m_Lock);
    m_Book.Configure(config->ranges, config->statics, config->server.dhcpmode != 0);
    m_lpConfig = config;
    return 0;
}

std::shared_ptr<const Dhcp6Config> Dhcp6Responder::Snapshot() {
    platform::TeskLockGuard guard(m_Lock);
    return m_lpConfig;
}

// Only to where a request could have come from: a client's link-local
// address on 546, or a relay on 547.
bool Dhcp6Responder::Admissible(const Dhcp6Datagram &d, const Dhcp6Request &r, const Dhcp6Config &) const {
    const IpAddress &from = d.from.Address();
    if (!from.IsV6() || from.IsMulticast() || from.IsUnspecified()) return false;
    if (r.nRelays > 0) return d.from.Port() == kServerPort;
    return d.from.Port() == kClientPort && from.IsLinkScoped();
}

bool Dhcp6Responder::LearnMac(const Dhcp6Datagram &d, const Dhcp6Request &r, unsigned char *lpMac) const {
    const uint8_t *duid = r.abClientDuid;
    uint16_t wType = static_cast<uint16_t>(duid[0] << 8 | duid[1]);
    uint16_t wHardware = r.nClientDuid >= 4 ? static_cast<uint16_t>(duid[2] << 8 | duid[3]) : 0;
    if (wHardware == kHardwareEthernet && wType == kDuidLl && r.nClientDuid == 4 + 6)
        return memcpy(lpMac, duid + 4, 6), true;
    if (wHardware == kHardwareEthernet && wType == kDuidLlt && r.nClientDuid == 8 + 6)
        return memcpy(lpMac, duid + 8, 6), true;
    // The client's link-local address: the source, or the innermost relay's peer.
    const uint8_t *src = r.nRelays ? r.relays[r.nRelays - 1].abPeer : d.from.Address().Bytes();
    if (src[0] == 0xfe && (src[1] & 0xc0) == 0x80 && src[11] == 0xff && src[12] == 0xfe) {
        const uint8_t mac[6] = {static_cast<uint8_t>(src[8] ^ 0x02), src[9], src[10], src[13], src[14], src[15]};
        return memcpy(lpMac, mac, 6), true;
    }
    if (r.bHasRelayMac) return memcpy(lpMac, r.abRelayMac, 6), true;
    return false;
}

// As on IPv4: the host's choice of server for this MAC, when it makes one,
// must name this server. A client whose MAC is unknown is not vetoed.
bool Dhcp6Responder::Vetoed(const Client &client, const Dhcp6Config &config) const {
    SelectPxeServerProc select = m_Hooks.selectPxeServer.load();
    char chosen[16] = {};
    if (!client.bHasMac || !select || select(client.abMac, chosen) != 1) return false;
    chosen[15] = '\0';
    if (TextToHostIp(chosen) == TextToHostIp(config.szVetoName)) return false;
    char text[32];
    LogWrite(LOG_DEBUG, "mac:%s,ServerIp is:%s (DHCPv6)", MacToText(sizeof text, text, client.abMac),
             PrintableText(chosen).Text());
    return true;
}

// The identity the host keys a machine by: the DUID-UUID's 16 bytes, the
// MAC when learnt, the address its first IA holds here, and the DUID.
void Dhcp6Responder::FillIdentity(const Dhcp6Request &r, const Client &c, SelectBootFileRecordEx *lpRecord) {
    constexpr size_t kUuidBytes = sizeof lpRecord->uuid;
    const uint8_t *duid = r.abClientDuid;
    if (r.nClientDuid == 2 + kUuidBytes && (duid[0] << 8 | duid[1]) == kDuidUuid) {
        memcpy(lpRecord->uuid, duid + 2, kUuidBytes);
        lpRecord->uuidsource = TAVREL_UUID_DUID;
    }
    lpRecord->macknown = c.bHasMac ? 1 : 0;
    if (c.bHasDuid) c.duid.Format(lpRecord->clientkey, sizeof lpRecord->clientkey);
    if (!c.bHasDuid || r.nIas == 0) return;
    platform::TeskLockGuard guard(m_Lock);
    if (const Lease6Book::Lease *lease = m_Book.Find(c.duid, r.ias[0].dwIaid))
        FormatIpAddress(lease->address, lpRecord->address, sizeof lpRecord->address);
}

void Dhcp6Responder::ChooseBootUrl(const Dhcp6Request &r, Client *c, const Dhcp6Config &config) {
    char file[kBootFileFieldSize] = {};
    snprintf(file, sizeof file, "%s", config.server.bootfile);
    if (HostChoosesBootFiles(m_Hooks)) {
        SelectBootFileRecordEx record;
        memset(&record, 0, sizeof record);
        memcpy(record.base.mac, c->abMac, sizeof record.base.mac);
        record.base.flags = TAVREL_BOOT_CLIENT_IPV6;
        record.base.arch = c->nArch;
        snprintf(record.base.userclass, sizeof record.base.userclass, "%s", r.szUserClass);
        snprintf(record.base.vendorclass, sizeof record.base.vendorclass, "%s", r.szVendorClass);
        FillIdentity(r, *c, &record);
        char chosen[kBootFileFieldSize];
        HostBootChoice choice = AskHostBootFile(m_Hooks, record, chosen);
        if (choice == HostBootChoice::kSilent) {
            c->bSilent = true;
            return;
        }
        if (choice == HostBootChoice::kFile) memcpy(file, chosen, sizeof file);
    }
    bool bUrl = strstr(file, "://") != nullptr;
    if (!file[0] || bUrl) {
        snprintf(c->szUrl, sizeof c->szUrl, "%s", file);
        return;
    }
    char server[kIpAddressTextSize];
    FormatIpAddress(IpAddress::FromV6(config.address.Bytes()), server, sizeof server);  // no scope in a URL
    snprintf(c->szUrl, sizeof c->szUrl, "tftp://[%s]/%s", server, file[0] == '/' ? file + 1 : file);
}

namespace {

void PutHeader(PacketWriter &out, uint8_t byType, uint32_t dwXid) {
    out.PutByte(byType);
    out.PutByte((dwXid >> 16) & 0xff);
    out.PutWord(dwXid & 0xffff);
}

// One IA_NA with its address, or with a status in place of one.
void PutIa(PacketWriter &out, uint32_t dwIaid, const IpAddress *lpAddress, uint16_t wStatus, const char *lpText) {
    uint8_t body[128];
    PacketWriter ia(body, sizeof body);
    uint32_t dwValid = lpAddress ? Lease6Book::kValidSeconds : 0;
    ia.PutDword(dwIaid);
    ia.PutDword(dwValid / 100 * kRenewPercent);
    ia.PutDword(dwValid / 100 * kRebindPercent);
    if (lpAddress) {
        PutOptionHeader(ia, kOptIaAddr, kIaAddrFixedBytes);
        ia.PutBytes(lpAddress->Bytes(), 16);
        ia.PutDword(Lease6Book::kPreferredSeconds);
        ia.PutDword(Lease6Book::kValidSeconds);
    } else {
        PutStatus(ia, wStatus, lpText);
    }
    PutOptionBytes(out, kOptIaNa, body, static_cast<size_t>(ia.Position()));
}

bool Asked(const Dhcp6Request &r, uint16_t wCode) {
    for (int i = 0; i < r.nOro; ++i)
        if (r.awOro[i] == wCode) return true;
    return false;
}

bool ServerIdIsOurs(const Dhcp6Request &r, const Dhcp6Config &c) {
    return r.nServerDuid == c.nDuid && memcmp(r.abServerDuid, c.abDuid, c.nDuid) == 0;
}

// Where a message type stands: whether a server id must (1), must not (-1)
// or may (0) be present, and whether this server answers the type at all.
bool ServerIdRule(uint8_t byType, int *lpRule) {
    switch (byType) {
    case kSolicit: case kRebind: case kConfirm: *lpRule = -1; return true;
    case kRequest: case kRenew: case kRelease: case kDecline: *lpRule = 1; return true;
    case kInformationRequest: *lpRule = 0; return true;
    default: return false;  // ADVERTISE, REPLY, RECONFIGURE, RELAY-REPL and the unknown
    }
}

void EmitEvent(int nKind, int nReason, uint8_t byType, const Dhcp6Request &r, const unsigned char *lpMac,
               const IpAddress &address, const char *lpFile, const ClientKey *lpKey) {
    if (!BootEventsWanted()) return;
    BootEvent event = NewBootEvent(nKind, nReason, kServerPort);
    event.record.messagetype = byType;
    event.record.arch = r.nArch;
    PutEventText(event.record.userclass, sizeof event.record.userclass, r.szUserClass);
    if (lpFile) PutEventText(event.record.file, sizeof event.record.file, lpFile);
    if (lpMac) memcpy(event.record.mac, lpMac, 6);
    event.address = address;
    if (lpKey) event.key = *lpKey;
    EmitBootEvent(event);
}

// RELAY-REPL layers around the answer, innermost first, as the RELAY-FORWs came.
bool WrapRelays(const Dhcp6Request &r, uint8_t *lpArea, size_t *lpLen) {
    uint8_t wrapped[Dhcp6Reply::kMaxBytes];
    for (int i = r.nRelays - 1; i >= 0; --i) {
        const Dhcp6Relay &relay = r.relays[i];
        PacketWriter out(wrapped, sizeof wrapped);
        out.PutByte(kRelayRepl);
        out.PutByte(relay.byHopCount);
        out.PutBytes(relay.abLink, 16);
        out.PutBytes(relay.abPeer, 16);
        if (relay.bHasInterfaceId) PutOptionBytes(out, kOptInterfaceId, relay.abInterfaceId, relay.nInterfaceId);
        PutOptionBytes(out, kOptRelayMessage, lpArea, *lpLen);
        if (out.Position() < 0) return false;
        *lpLen = static_cast<size_t>(out.Position());
        memcpy(lpArea, wrapped, *lpLen);
    }
    return true;
}

}  // namespace

void Dhcp6Responder::PutIas(const Dhcp6Request &r, Client *c, bool bBind, bool bOffer, uint64_t qwNowMs,
                            PacketWriter &out) {
    int nKind = c->bBootStage ? Lease6Book::kBootStage : Lease6Book::kOther;
    bool bAny = false;
    for (int i = 0; i < r.nIas; ++i) {
        IpAddress address;
        bool bGot;
        {
            platform::TeskLockGuard guard(m_Lock);
            bGot = m_Book.Grant(c->duid, r.ias[i].dwIaid, nKind, c->bHasMac ? c->abMac : nullptr, bBind, qwNowMs,
                                &address);
        }
        if (bGot && !bAny) c->firstAddress = address;
        bAny = bAny || bGot;
        // An ADVERTISE leaves out an IA it has no address for.
        if (bGot) PutIa(out, r.ias[i].dwIaid, &address, kStatusSuccess, "");
        else if (!bOffer) PutIa(out, r.ias[i].dwIaid, nullptr, kStatusNoAddrsAvail, "no addresses available");
    }
    if (r.nIas > 0 && !bAny) {
        c->nReason = TAVREL_REASON_NO_FREE_ADDRESS;
        if (bOffer) PutStatus(out, kStatusNoAddrsAvail, "no addresses available");
    }
}

void Dhcp6Responder::PutBootOptions(const Client &c, const Dhcp6Config &config, PacketWriter &out) const {
    if (c.szUrl[0]) PutOptionBytes(out, kOptBootFileUrl, c.szUrl, strlen(c.szUrl));
    if (c.bHttpClient) {
        PutOptionHeader(out, kOptVendorClass, 4 + 2 + strlen(kHttpClientClass));
        out.PutDword(kEnterpriseIntel);
        out.PutWord(static_cast<unsigned>(strlen(kHttpClientClass)));
        out.PutString(kHttpClientClass);
    }
    // The DNS servers of the range that holds the address, else the first range's.
    size_t nRange = 0;
    for (size_t i = 0; i < config.ranges.size(); ++i)
        if (Ipv6RangePool(config.ranges[i].first, config.ranges[i].last).Contains(c.firstAddress)) nRange = i;
    if (nRange < config.dns.size() && !config.dns[nRange].empty()) {
        PutOptionHeader(out, kOptDnsServers, 16 * config.dns[nRange].size());
        for (const IpAddress &dns : config.dns[nRange]) out.PutBytes(dns.Bytes(), 16);
    }
}

int Dhcp6Responder::Build(const Dhcp6Request &r, Client *c, const Dhcp6Config &config, uint64_t qwNowMs,
                          PacketWriter &out) {
    bool bRapid = r.byType == kSolicit && r.bRapidCommit;
    c->bySent = r.byType == kSolicit && !bRapid ? kAdvertise : kReply;
    PutHeader(out, c->bySent, r.dwXid);
    PutOptionBytes(out, kOptServerId, config.abDuid, config.nDuid);
    if (r.nClientDuid) PutOptionBytes(out, kOptClientId, r.abClientDuid, r.nClientDuid);
    if (c->bySent == kAdvertise) PutOptionBytes(out, kOptPreference, &kServerPreference, 1);
    if (bRapid) PutOptionHeader(out, kOptRapidCommit, 0);
    switch (r.byType) {
    case kSolicit: PutIas(r, c, bRapid, !bRapid, qwNowMs, out); break;
    case kRequest: PutIas(r, c, true, false, qwNowMs, out); break;
    case kRenew:
    case kRebind:
        for (int i = 0; i < r.nIas; ++i) {
            const Dhcp6Ia &ia = r.ias[i];
            bool bKept = false;
            {
                platform::TeskLockGuard guard(m_Lock);
                bKept = ia.nAsked > 0 && m_Book.Extend(c->duid, ia.dwIaid, ia.asked[0], qwNowMs);
            }
            if (bKept) c->firstAddress = ia.asked[0];
            if (bKept) PutIa(out, ia.dwIaid, &ia.asked[0], kStatusSuccess, "");
            else PutIa(out, ia.dwIaid, nullptr, kStatusNoBinding, "no binding");
        }
        break;
    case kConfirm: {
        int nAddresses = 0;
        bool bOnLink = true;
        platform::TeskLockGuard guard(m_Lock);
        for (int i = 0; i < r.nIas; ++i)
            for (int j = 0; j < r.ias[i].nAsked; ++j, ++nAddresses) bOnLink = bOnLink && m_Book.OnLink(r.ias[i].asked[j]);
        if (nAddresses == 0) return -1;  // nothing to confirm: no answer
        PutStatus(out, bOnLink ? kStatusSuccess : kStatusNotOnLink, bOnLink ? "on link" : "not on link");
        return 0;
    }
    case kRelease:
    case kDecline: {
        platform::TeskLockGuard guard(m_Lock);
        for (int i = 0; i < r.nIas; ++i)
            for (int j = 0; j < r.ias[i].nAsked; ++j) {
                bool bEnded = r.byType == kRelease ? m_Book.Release(c->duid, r.ias[i].asked[j])
                                                   : m_Book.Decline(c->duid, r.ias[i].asked[j], qwNowMs);
                if (bEnded && !c->firstAddress.IsV6()) c->firstAddress = r.ias[i].asked[j];
            }
        // The host counts addresses in use from REPLY events: it must tell these apart from a binding.
        c->nReason = r.byType == kDecline ? TAVREL_REASON_DECLINED_ADDRESS : TAVREL_REASON_RELEASED_ADDRESS;
        PutStatus(out, kStatusSuccess, r.byType == kRelease ? "released" : "declined");
        return 0;
    }
    default: break;  // INFORMATION-REQUEST: boot options alone
    }
    PutBootOptions(*c, config, out);
    return 0;
}

int Dhcp6Responder::Answer(const Dhcp6Datagram &d, uint64_t qwNowMs, Dhcp6Reply *lpReply) {
    LogCapScope scope(m_LogCap, qwNowMs);
    lpReply->nLen = 0;
    static thread_local Dhcp6Request r;
    const char *lpWhy = "";
    Dhcp6Parse parsed = ParseDhcp6(d.lpData, d.nLen, &r, &lpWhy);
    if (parsed != Dhcp6Parse::kOk) {
        LogWrite(LOG_INFO, "DHCPv6 from %s dropped: %s", IpText(d.from.Address()).c_str(), lpWhy);
        EmitEvent(TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_MALFORMED, r.byType, r, nullptr, d.from.Address(),
                  nullptr, nullptr);
        return -1;
    }
    int nServerIdRule = 0;
    if (!ServerIdRule(r.byType, &nServerIdRule)) {
        LogWrite(LOG_DEBUG, "DHCPv6 type %u from %s not answered", r.byType, IpText(d.from.Address()).c_str());
        return -2;
    }
    std::shared_ptr<const Dhcp6Config> config = Snapshot();
    if (!config) return -3;
    if (!Admissible(d, r, *config)) {
        LogWrite(LOG_DEBUG, "DHCPv6 from %s: not a client's or a relay's source, not answered",
                 IpText(d.from.Address()).c_str());
        return -4;
    }
    Client c;
    c.bHasDuid = r.nClientDuid > 0 && ClientKey::FromDuid(r.abClientDuid, r.nClientDuid, &c.duid);
    const ClientKey *lpKey = c.bHasDuid ? &c.duid : nullptr;
    bool bServerIdFits = nServerIdRule == 1   ? ServerIdIsOurs(r, *config)
                         : nServerIdRule == -1 ? r.nServerDuid == 0
                                               : r.nServerDuid == 0 || ServerIdIsOurs(r, *config);
    if ((!c.bHasDuid && r.byType != kInformationRequest) || !bServerIdFits) {
        EmitEvent(TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_OTHER_SERVER, r.byType, r, nullptr, d.from.Address(),
                  nullptr, lpKey);
        return -5;
    }
    c.bHasMac = c.bHasDuid && LearnMac(d, r, c.abMac);
    c.nArch = r.nArch >= 0 ? r.nArch : VendorClassArch(r.szVendorClass);
    c.bHttpClient = IsHttpClientClass(r.szVendorClass);
    c.bBootStage = c.nArch >= 0 || r.bHasVendorClass || strcmp(r.szUserClass, kIpxeUserClass) == 0;
    if (r.byType != kRelease && r.byType != kDecline && Vetoed(c, *config)) {
        EmitEvent(TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_HOST_DECLINED, r.byType, r, c.abMac, d.from.Address(),
                  nullptr, lpKey);
        return -6;
    }
    if (c.bBootStage || Asked(r, kOptBootFileUrl)) ChooseBootUrl(r, &c, *config);
    // Like a veto; a RELEASE or DECLINE still ends what the client holds.
    if (c.bSilent && r.byType != kRelease && r.byType != kDecline) {
        LogWrite(LOG_DEBUG, "DHCPv6 from %s: the host leaves it unanswered", IpText(d.from.Address()).c_str());
        EmitEvent(TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_HOST_DECLINED, r.byType, r, c.bHasMac ? c.abMac : nullptr,
                  d.from.Address(), nullptr, lpKey);
        return -6;
    }
    PacketWriter out(lpReply->abData, sizeof lpReply->abData);
    if (Build(r, &c, *config, qwNowMs, out) != 0) return -7;
    size_t nLen = out.Position() < 0 ? 0 : static_cast<size_t>(out.Position());
    if (nLen == 0 || !WrapRelays(r, lpReply->abData, &nLen)) {
        LogWrite(LOG_INFO, "DHCPv6 answer to %s does not fit one datagram", IpText(d.from.Address()).c_str());
        return -8;
    }
    lpReply->nLen = nLen;
    lpReply->to = d.from;
    LogWrite(LOG_DEBUG, "DHCPv6 %u to %s: %s %s", c.bySent, IpText(d.from.Address()).c_str(),
             IpText(c.firstAddress).c_str(), PrintableText(c.szUrl).Text());
    EmitEvent(TAVREL_EVENT_DHCP_ANSWER, c.nReason, c.bySent, r, c.bHasMac ? c.abMac : nullptr,
              c.firstAddress.IsV6() ? c.firstAddress : d.from.Address(), c.szUrl, lpKey);
    return 0;
}

std::unique_ptr<Dhcp6Answerer> MakeDhcp6Answerer(const Dhcp6Start &start, const DhcpHostHooks &hooks) {
    auto responder = std::make_unique<Dhcp6Responder>(hooks);
    if (responder->Start(start) != 0) return nullptr;
    return responder;
}
