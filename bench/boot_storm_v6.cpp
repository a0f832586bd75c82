// The boot storm's IPv6 clients (STORM_FAMILY=6): UEFI firmware booting
// over IPv6, as OVMF's PXEv6 (or HTTP Boot) and then iPXE do it.
//
// Firmware stage: SOLICIT with a DUID-LL of the client's MAC, IA_NA 1, an
// ORO asking the boot file URL (59), its architecture (61: 7, or 16 for HTTP
// Boot), UNDI (62) and vendor class (16) "PXEClient:Arch:00007:UNDI:003016"
// (or "HTTPClient:..."), to ff02::1:2; resent after 4, 8, 16 and 32 s (EDK
// II's PXE and HTTP Boot configure IRT 4, MRC 4, MRT 32, MRD 60), then the
// boot fails. EDK II collects ADVERTISEs until that first timeout unless
// one carries preference 255, and so does this client; an HTTP Boot client
// takes only an ADVERTISE that echoes "HTTPClient" in option 16. REQUEST
// with the chosen server's identifier and address, resent after 1, 2, 4 ...
// 30 s (REQ_TIMEOUT, REQ_MAX_RT, REQ_MAX_RC 10). The boot file URL of the
// REPLY (else the ADVERTISE's): tftp://[address]/file over TFTP (size probe,
// ERROR 8, then the read with blksize 1448, the most one Ethernet frame
// holds over IPv6, and windowsize 4), http://[address]/file over HTTP.
// Loader stage (iPXE): DHCPv6 again (the first ADVERTISE taken; 1, 2, 4, 8
// s) with user class "iPXE" and another IAID, its URL's script, then the
// kernel and initrd the script names over HTTP.
//
// Every client shares one DHCPv6 socket on a link-local address of the link
// (STORM_SOURCE6, port 546): servers key DHCPv6 by DUID, and answers are
// told apart by transaction id. Once bound, a client's TFTP and HTTP sockets
// bind its own address: the client namespace holds a local route for the
// pool (and allows binding addresses it routes locally). L counts from the
// first SOLICIT, sent at power-on.
//
// The rows and the summary line are the IPv4 run's (storm_client.h); `boot_storm
// summary OUT.tsv IN.tsv...` joins the rows of runs made side by side (the
// mixed storm: an IPv4 half and an IPv6 half) into one table and one line.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storm_client.h"

int RunStormV6(const char *lpOut);
int JoinStormRows(const char *lpOut, int nIn, char **lpIn);

namespace {

constexpr uint16_t kClientPort6 = 546, kServerPort6 = 547, kTftpPort6 = 69;
constexpr uint8_t kSolicit = 1, kAdvertise = 2, kRequest6 = 3, kReply = 7;
constexpr uint16_t kOptClientId = 1, kOptServerId = 2, kOptIaNa = 3, kOptIaAddr = 5, kOptOro = 6,
                   kOptPreference = 7, kOptElapsed = 8, kOptStatus = 13, kOptUserClass = 15,
                   kOptVendorClass = 16, kOptBootUrl = 59, kOptArch = 61, kOptUndi = 62;
constexpr uint32_t kEnterpriseIntel = 343;
using namespace storm;  // what both families' clients share (storm_client.h)

// EDK II's SOLICIT (IRT 4, MRC 4, MRT 32, MRD 60) and REQUEST (RFC 8415's
// REQ_TIMEOUT 1, REQ_MAX_RT 30, REQ_MAX_RC 10); iPXE's and the TFTP timers
// are storm_client.h's, as for IPv4.
const std::vector<double> kEdk2Solicit = {4, 8, 16, 32};
const std::vector<double> kEdk2Request = {1, 2, 4, 8, 16, 30, 30, 30, 30, 30};

// What an ADVERTISE offered: the firmware may hold one while it collects.
struct Offer {
    bool bValid = false;
    int nPreference = 0;
    std::vector<uint8_t> serverId;
    in6_addr address{};
    std::string url;
    in6_addr from{};
};

struct Client : storm::ClientBase {
    bool bHttpBoot = false;
    // DHCPv6
    double tExchange = 0, tFirstRt = 0;
    int nRefused = 0;  // ADVERTISEs this firmware could not take, REPLYs that bound nothing
    int nStatus = 0;   // the last status code such an answer carried
    Offer held, chosen;
    in6_addr address{}, firstAddress{}, firstServer{};
    bool bBound = false;
    std::string url;
    // TFTP
    in6_addr sendTo{};
    std::string file;
    // HTTP
    in6_addr httpHost{};
};

std::string AddressText(const in6_addr &address) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &address, text, sizeof text);
    return text;
}

bool IsZero(const in6_addr &address) {
    static const in6_addr zero{};
    return memcmp(&address, &zero, sizeof zero) == 0;
}

// "tftp://[2001:db8::1]:69/name" into its scheme, address, port and path.
bool SplitUrl(const std::string &url, std::string *scheme, in6_addr *host, uint16_t *port, std::string *path,
              std::string *hostText) {
    storm::Url parts;
    if (!storm::SplitUrl(url, true, &parts) || inet_pton(AF_INET6, parts.host.c_str(), host) != 1) return false;
    *scheme = parts.scheme;
    *port = parts.wPort;
    *path = parts.path;
    *hostText = parts.authority;
    return true;
}

class Storm6 : storm::Loop<Storm6, Client> {
    friend class storm::Loop<Storm6, Client>;

public:
    Storm6(int n, double w, int nHttpPercent, uint32_t seed, uint32_t dwMacBase, bool bSerial);
    int Run(const char *lpOut);

private:
    void OnTimer(Client &c);
    static void KeepAcrossReboot(const Client &c, Client &next) {
        next.bHttpBoot = c.bHttpBoot;
        next.firstAddress = c.firstAddress;
        next.firstServer = c.firstServer;
    }
    void OnSocket(Client &c, uint32_t events);
    // DHCPv6
    void StartDhcp(Client &c);
    void SendDhcp(Client &c);
    void OnDhcp();
    void OnDhcpAnswer(Client &c, const uint8_t *p, size_t len, const in6_addr &from);
    void Choose(Client &c, const Offer &offer);
    void Bound(Client &c);
    void Fetch(Client &c, const std::string &url);
    // TFTP
    void StartTftp(Client &c, bool bProbe);
    void SendTftp(Client &c);
    bool TftpRefused(Client &c);
    void StartRead(Client &c);
    void FileDone(Client &c);
    // HTTP
    void StartHttp(Client &c);
    void Connect(Client &c);

    int m_nDhcp = -1;
    unsigned m_nLink = 0;
    uint32_t m_dwXidBase;
};

Storm6::Storm6(int n, double w, int nHttpPercent, uint32_t seed, uint32_t dwMacBase, bool bSerial)
    : Loop(static_cast<size_t>(n), bSerial) {
    std::mt19937 random(seed);
    m_dwXidBase = (random() & 0xff0000u) + dwMacBase * 2;
    PlaceClients(w, random, dwMacBase, [&](Client &c, uint32_t number) {
        // A MAC block of their own (02:5c), beside the IPv4 clients' 02:5b:
        // a server can give IPv6 machines a script of their own by MAC.
        uint8_t mac[6] = {0x02, 0x5c, static_cast<uint8_t>(number >> 24), static_cast<uint8_t>(number >> 16),
                          static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
        memcpy(c.abMac, mac, 6);
        c.bHttpBoot = static_cast<int>(random() % 100) < nHttpPercent;
    });
}

void Storm6::OnTimer(Client &c) {
    if (c.outcome != kRunning) return;
    if (c.stage == kHttp || (c.stage == kNbp && c.bHttpBoot)) return OnHttpTimer(c);
    bool bDhcp = c.stage == kDhcp1 || c.stage == kDhcp2;
    // The first timeout ends the firmware's collecting: it takes what it holds.
    if (bDhcp && !c.bRequesting && c.held.bValid) return Choose(c, c.held);
    if (++c.nTry >= c.lpTimers->size()) {
        if (bDhcp) {
            std::string why = std::string(kStageNames[c.stage]) + (c.bRequesting ? ": no REPLY" : ": no ADVERTISE");
            if (c.nRefused) why += " it could take (status " + std::to_string(c.nStatus) + ")";
            return Fail(c, why);
        }
        return Fail(c, std::string(kStageNames[c.stage]) + ": timed out");
    }
    Resend(c);
}

// ---- DHCPv6 -----------------------------------------------------------------

void Put16(std::vector<uint8_t> &out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void Put32(std::vector<uint8_t> &out, uint32_t value) {
    Put16(out, static_cast<uint16_t>(value >> 16));
    Put16(out, static_cast<uint16_t>(value));
}

void PutOption(std::vector<uint8_t> &out, uint16_t code, const std::vector<uint8_t> &data) {
    Put16(out, code);
    Put16(out, static_cast<uint16_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}

uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

std::vector<uint8_t> Duid(const Client &c) {
    std::vector<uint8_t> duid;
    Put16(duid, 3);  // DUID-LL
    Put16(duid, 1);  // Ethernet
    duid.insert(duid.end(), c.abMac, c.abMac + 6);
    return duid;
}

void Storm6::StartDhcp(Client &c) {
    c.dwXid = (m_dwXidBase + static_cast<uint32_t>(c.nIndex) * 2 + (c.stage == kDhcp2)) & 0xffffff;
    c.bRequesting = false;
    c.held = Offer{};
    c.tExchange = Now();
    c.tFirstRt = c.tExchange + (c.stage == kDhcp1 ? kEdk2Solicit[0] : 0);
    Arm(c, c.stage == kDhcp1 ? &kEdk2Solicit : &kIpxeDhcp);
    SendDhcp(c);
}

void Storm6::SendDhcp(Client &c) {
    bool bFirmware = c.stage == kDhcp1;
    std::vector<uint8_t> m = {c.bRequesting ? kRequest6 : kSolicit, static_cast<uint8_t>(c.dwXid >> 16),
                              static_cast<uint8_t>(c.dwXid >> 8), static_cast<uint8_t>(c.dwXid)};
    PutOption(m, kOptClientId, Duid(c));
    if (c.bRequesting) PutOption(m, kOptServerId, c.chosen.serverId);
    std::vector<uint8_t> elapsed;
    Put16(elapsed, static_cast<uint16_t>(std::min(65535.0, (Now() - c.tExchange) * 100)));
    PutOption(m, kOptElapsed, elapsed);
    std::vector<uint8_t> ia;
    // EDK II's PXE asks IA 1; iPXE another of its own.
    Put32(ia, bFirmware ? 1 : (static_cast<uint32_t>(c.abMac[2]) << 24 | c.abMac[3] << 16 | c.abMac[4] << 8 | c.abMac[5]) ^ 0x69505845u);
    Put32(ia, 0);
    Put32(ia, 0);
    if (c.bRequesting) {
        std::vector<uint8_t> iaaddr(c.chosen.address.s6_addr, c.chosen.address.s6_addr + 16);
        Put32(iaaddr, 0);
        Put32(iaaddr, 0);
        PutOption(ia, kOptIaAddr, iaaddr);
    }
    PutOption(m, kOptIaNa, ia);
    std::vector<uint8_t> oro;
    for (uint16_t code : bFirmware ? std::vector<uint16_t>{kOptBootUrl, 60, 23, kOptVendorClass}
                                   : std::vector<uint16_t>{23, 24, kOptBootUrl, 60})
        Put16(oro, code);
    PutOption(m, kOptOro, oro);
    uint16_t arch = bFirmware && c.bHttpBoot ? 16 : 7;
    std::vector<uint8_t> archData;
    Put16(archData, arch);
    PutOption(m, kOptArch, archData);
    PutOption(m, kOptUndi, {1, 3, 16});
    char text[48];
    snprintf(text, sizeof text, "%s:Arch:%05u:UNDI:003016", bFirmware && c.bHttpBoot ? "HTTPClient" : "PXEClient", arch);
    std::vector<uint8_t> vendor;
    Put32(vendor, kEnterpriseIntel);
    Put16(vendor, static_cast<uint16_t>(strlen(text)));
    vendor.insert(vendor.end(), text, text + strlen(text));
    PutOption(m, kOptVendorClass, vendor);
    if (!bFirmware) PutOption(m, kOptUserClass, {0, 4, 'i', 'P', 'X', 'E'});
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(kServerPort6);
    inet_pton(AF_INET6, "ff02::1:2", &to.sin6_addr);
    to.sin6_scope_id = m_nLink;
    SendDhcpTo(m_nDhcp, m, to, "boot_storm: DHCPv6 send");
}

void Storm6::OnDhcp() {
    uint8_t buffer[4096];
    for (;;) {
        sockaddr_in6 from{};
        socklen_t size = sizeof from;
        ssize_t got = recvfrom(m_nDhcp, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &size);
        if (got < 0) return;
        if (got < 4 || (buffer[0] != kAdvertise && buffer[0] != kReply)) continue;
        uint32_t xid = static_cast<uint32_t>(buffer[1] << 16 | buffer[2] << 8 | buffer[3]);
        size_t index = ((xid - m_dwXidBase) & 0xffffff) / 2;
        if (index >= m_Clients.size()) continue;
        Client &c = m_Clients[index];
        if (c.outcome != kRunning || (c.stage != kDhcp1 && c.stage != kDhcp2) || xid != c.dwXid) continue;
        OnDhcpAnswer(c, buffer, static_cast<size_t>(got), from.sin6_addr);
    }
}

void Storm6::OnDhcpAnswer(Client &c, const uint8_t *p, size_t len, const in6_addr &from) {
    Offer offer;
    offer.from = from;
    bool bMine = false, bAddress = false, bRefused = false, bHttpClient = false;
    int nStatus = 0;
    for (size_t i = 4; i + 4 <= len;) {
        uint16_t code = Get16(p + i), size = Get16(p + i + 2);
        const uint8_t *value = p + i + 4;
        if (i + 4 + size > len) break;
        i += 4 + size;
        if (code == kOptClientId) bMine = Duid(c) == std::vector<uint8_t>(value, value + size);
        if (code == kOptServerId) offer.serverId.assign(value, value + size);
        if (code == kOptPreference && size == 1) offer.nPreference = value[0];
        if (code == kOptStatus && size >= 2 && Get16(value) != 0) {
            bRefused = true;
            nStatus = Get16(value);
        }
        if (code == kOptBootUrl) offer.url.assign(reinterpret_cast<const char *>(value), size);
        if (code == kOptVendorClass && size >= 16 && memcmp(value + 6, "HTTPClient", 10) == 0) bHttpClient = true;
        if (code == kOptIaNa && size >= 12)
            for (size_t j = 12; j + 4 <= size;) {
                uint16_t subCode = Get16(value + j), subSize = Get16(value + j + 2);
                if (j + 4 + subSize > size) break;
                if (subCode == kOptIaAddr && subSize >= 24) {
                    memcpy(&offer.address, value + j + 4, 16);
                    bAddress = true;
                }
                if (subCode == kOptStatus && subSize >= 2 && Get16(value + j + 4) != 0) {
                    bRefused = true;
                    nStatus = Get16(value + j + 4);
                }
                j += 4 + subSize;
            }
    }
    offer.url = offer.url.c_str();
    if (!bMine || offer.serverId.empty()) return;
    if (p[0] == kAdvertise) {
        if (c.bRequesting) return;
        // No address, or (HTTP Boot) no "HTTPClient" echoed: not an offer this firmware boots from.
        if (bRefused || !bAddress || (c.stage == kDhcp1 && c.bHttpBoot && !bHttpClient)) {
            ++c.nRefused;
            c.nStatus = nStatus;
            return;
        }
        offer.bValid = true;
        if (IsZero(c.firstServer)) c.firstServer = from;
        if (c.stage == kDhcp2 || offer.nPreference == 255 || Now() >= c.tFirstRt) return Choose(c, offer);
        if (!c.held.bValid || offer.nPreference > c.held.nPreference) c.held = offer;
        return;
    }
    if (!c.bRequesting || offer.serverId != c.chosen.serverId) return;
    // A REPLY that binds nothing is passed over, as EDK II does ("retry if
    // possible"): the REQUEST goes on with its own timer.
    if (bRefused || !bAddress) {
        ++c.nRefused;
        c.nStatus = nStatus;
        return;
    }
    c.address = offer.address;
    c.url = offer.url.empty() ? c.chosen.url : offer.url;
    Bound(c);
}

void Storm6::Choose(Client &c, const Offer &offer) {
    c.chosen = offer;
    c.held = Offer{};
    c.bRequesting = true;
    Arm(c, c.stage == kDhcp1 ? &kEdk2Request : &kIpxeDhcp);
    SendDhcp(c);
}

void Storm6::Bound(Client &c) {
    c.bBound = true;
    if (c.stage == kDhcp1) c.firstAddress = c.address;
    c.tDone[c.stage] = Now();
    ++c.qwTimerGen;
    if (c.url.empty()) return Fail(c, std::string(kStageNames[c.stage]) + ": no boot file URL");
    c.stage = c.stage == kDhcp1 ? kNbp : kScript;
    Fetch(c, c.url);
}

// The file a DHCPv6 answer named, by its URL's scheme.
void Storm6::Fetch(Client &c, const std::string &url) {
    std::string scheme;
    if (!SplitUrl(url, &scheme, &c.sendTo, &c.wSendPort, &c.file, &c.hostText))
        return Fail(c, std::string(kStageNames[c.stage]) + ": not a URL with an IPv6 address: " + url);
    if (scheme == "tftp") {
        c.file = c.file.substr(1);
        return StartTftp(c, c.stage == kNbp && !c.bHttpBoot);
    }
    if (scheme != "http" || c.stage != kNbp) return Fail(c, std::string(kStageNames[c.stage]) + ": cannot load " + url);
    c.urls = {url};
    c.nUrl = 0;
    StartHttp(c);
}

// ---- TFTP -----------------------------------------------------------------

// A socket of the client's own address (routed here, not configured: hence
// IP_FREEBIND where the namespace does not allow it already).
int OpenSocket6(const in6_addr &address, int type) {
    int fd = socket(AF_INET6, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_addr = address;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void Storm6::StartTftp(Client &c, bool bProbe) {
    CloseSocket(c);
    c.fd = OpenSocket6(c.address, SOCK_DGRAM);  // a new port for every request, as firmware does
    if (c.fd < 0) return Fail(c, std::string(kStageNames[c.stage]) + ": cannot bind the bound address");
    Watch(c, EPOLLIN, true);
    c.bProbe = bProbe;
    c.wServerPort = 0;
    c.rx = TftpReceive{};
    std::vector<uint8_t> rrq = {0, kRrq};
    PutText(rrq, c.file);
    PutText(rrq, "octet");
    bool bFirmware = c.stage == kNbp;
    if (bFirmware) storm::PutEdk2Options(rrq, bProbe, "1448");
    else storm::PutIpxeOptions(rrq);
    c.lastSent = rrq;
    c.script.clear();
    uint16_t wPort = c.wSendPort;
    c.wServerPort = 0;
    c.wSendPort = wPort ? wPort : kTftpPort6;
    Arm(c, bFirmware ? &kEdk2Tftp : &kIpxeTftp);
    SendTftp(c);
}

void Storm6::SendTftp(Client &c) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(c.wServerPort ? c.wServerPort : c.wSendPort);
    to.sin6_addr = c.sendTo;
    sendto(c.fd, c.lastSent.data(), c.lastSent.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
}

bool Storm6::TftpRefused(Client &) { return false; }

// The probe is over: the file itself, from the URL's port again.
void Storm6::StartRead(Client &c) { StartTftp(c, false); }

// The boot program is in (over TFTP or HTTP): iPXE asks again; or the
// script is: the kernel and initrd it names, over HTTP.
void Storm6::FileDone(Client &c) {
    CloseSocket(c);
    c.tDone[c.stage] = Now();
    if (c.stage == kNbp) {
        c.stage = kDhcp2;
        c.wSendPort = 0;
        return StartDhcp(c);
    }
    c.urls = storm::ScriptUrls(c.script);
    if (c.urls.empty()) return Fail(c, "tftp2: the script names no kernel");
    c.stage = kHttp;
    c.nUrl = 0;
    StartHttp(c);
}

// ---- HTTP -----------------------------------------------------------------

void Storm6::StartHttp(Client &c) {
    std::string scheme;
    if (!SplitUrl(c.urls[c.nUrl], &scheme, &c.httpHost, &c.wHttpPort, &c.path, &c.hostText) || scheme != "http")
        return Fail(c, "http: not an http URL with an IPv6 address: " + c.urls[c.nUrl]);
    Request(c);
}

void Storm6::Connect(Client &c) {
    CloseSocket(c);
    c.bConnected = false;
    c.fd = OpenSocket6(c.address, SOCK_STREAM);
    if (c.fd < 0) return Fail(c, "http: cannot bind the bound address");
    sockaddr_in6 server{};
    server.sin6_family = AF_INET6;
    server.sin6_addr = c.httpHost;
    server.sin6_port = htons(c.wHttpPort);
    Dial(c, reinterpret_cast<sockaddr *>(&server), sizeof server);
}

void Storm6::OnSocket(Client &c, uint32_t events) {
    if (c.stage == kHttp || (c.stage == kNbp && c.bHttpBoot)) return OnHttp(c, events);
    OnTftp<sockaddr_in6>(c);
}

// ---- The run ----------------------------------------------------------------

int Storm6::Run(const char *lpOut) {
    m_nDhcp = OpenDhcpSocket(AF_INET6);
    int one = 1;
    setsockopt(m_nDhcp, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    const char *lpLink = getenv("STORM_IFACE");
    m_nLink = lpLink ? if_nametoindex(lpLink) : 0;
    if (!m_nLink) {
        fprintf(stderr, "boot_storm: STORM_IFACE must name the clients' link\n");
        return 2;
    }
    setsockopt(m_nDhcp, IPPROTO_IPV6, IPV6_MULTICAST_IF, &m_nLink, sizeof m_nLink);
    // Answers go to a link-local source (servers answer no other): one of the link's.
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(kClientPort6);
    local.sin6_scope_id = m_nLink;
    const char *lpSource = getenv("STORM_SOURCE6");
    if (!lpSource || inet_pton(AF_INET6, lpSource, &local.sin6_addr) != 1 ||
        bind(m_nDhcp, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        perror("boot_storm: STORM_SOURCE6, port 546");
        return 2;
    }
    Drive(m_nDhcp);
    return Report(lpOut, [](FILE *out, const Client &c) {
        WriteRow(out, c, c.bHttpBoot ? "uefi6-http" : "uefi6", c.bBound ? AddressText(c.address).c_str() : "-",
                 IsZero(c.firstServer) ? "-" : AddressText(c.firstServer).c_str(),
                 IsZero(c.firstAddress) ? "-" : AddressText(c.firstAddress).c_str());
        return Row::Of(c, Row::NaksIn(c.why));
    });
}

std::vector<std::string> Fields(const std::string &line) {
    std::vector<std::string> fields;
    size_t at = 0;
    for (;;) {
        size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos) return fields;
        at = tab + 1;
    }
}

}  // namespace

int RunStormV6(const char *lpOut) {
    Storm6 storm(static_cast<int>(EnvNumber("STORM_N", 1000)), EnvSeconds("STORM_W", 10),
                 static_cast<int>(EnvNumber("STORM_HTTP6", 0)), static_cast<uint32_t>(EnvNumber("STORM_SEED", 1)),
                 static_cast<uint32_t>(EnvNumber("STORM_MAC_BASE", 0)), EnvNumber("STORM_SERIAL", 0) != 0);
    return storm.Run(lpOut);
}

// The rows of runs made side by side, one after another in OUT (client
// numbers made unique), and their summary line on stdout. Their clocks
// started within moments of each other; the line's t figures are as exact
// as that, its L figures exact.
int JoinStormRows(const char *lpOut, int nIn, char **lpIn) {
    FILE *out = fopen(lpOut, "w");
    if (!out) return 2;
    fputs(kRowHeader, out);
    std::vector<Row> rows;
    for (int f = 0; f < nIn; ++f) {
        FILE *in = fopen(lpIn[f], "r");
        if (!in) {
            fprintf(stderr, "boot_storm: cannot read %s\n", lpIn[f]);
            fclose(out);
            return 2;
        }
        char line[8192];
        bool bHeader = true;
        while (fgets(line, sizeof line, in)) {
            if (bHeader) {
                bHeader = false;
                continue;
            }
            std::string text(line);
            if (!text.empty() && text.back() == '\n') text.pop_back();
            std::vector<std::string> fields = Fields(text);
            if (fields.size() < 15) continue;
            Row row;
            row.tPowerOn = atof(fields[2].c_str());
            row.bBooted = fields[8] == "booted";
            row.tDone = fields[7] == "-" ? -1 : atof(fields[7].c_str());
            for (int s = 0; s < kStages; ++s) row.anRetx[s] = atoi(fields[9 + static_cast<size_t>(s)].c_str());
            row.why = fields[14];
            row.bNaks = Row::NaksIn(row.why);
            fields[0] = std::to_string(rows.size());
            rows.push_back(row);
            for (size_t i = 0; i < fields.size(); ++i) fprintf(out, i ? "\t%s" : "%s", fields[i].c_str());
            fputc('\n', out);
        }
        fclose(in);
    }
    fclose(out);
    Summary(rows);
    return 0;
}
