// A boot storm: N network-boot clients powering on within W seconds, each
// walking the path a real boot takes, with the firmware's own timers.
//
//   boot_storm clients OUT.tsv     run the clients (in the client namespace)
//   boot_storm measure OUT CMD...  run a server setup: CPU and peak RSS summed
//                                  over every process it starts, until SIGTERM
//   boot_storm summary OUT.tsv IN.tsv...  join runs made side by side
//
// STORM_FAMILY=6: the clients boot over IPv6 instead (bench/boot_storm_v6.cpp).
//
// Firmware stage: DISCOVER and REQUEST with options 60, 93, 94 and 97, resent
// after 4, 8, 16 and 32 s, then the boot fails; the network boot program over
// TFTP: UEFI probes tsize, aborts with ERROR 8 and reads with blksize 1468
// and windowsize 4 from a new port, as EDK II does; BIOS (an iPXE ROM) reads
// in lock-step. Loader stage (iPXE): DHCP again with user class "iPXE", the
// script over TFTP, then the kernel and initrd it names over HTTP.
//
// Every client has its own MAC, and once leased its own address: the client
// namespace holds a local route for the pool, so sockets bind any address of
// it. DHCP answers are asked for by broadcast and shared by one socket on
// port 68; TFTP and HTTP sockets belong to one client each. One thread,
// epoll, and a timer heap.
//
// A Raspberry Pi (STORM_PROFILE=pi) is its boot ROM alone: DHCP as arch 0
// with its own vendor class, then every file over TFTP in lock-step with
// blksize 1024, each one first probed for its size (tsize, aborted after the
// OACK) and then read: <serial>/start4.elf, then the same name at the root
// when that is refused (servers differ in the error code), as the ROM falls
// back; it boots once the file is read.
//
// Knobs: STORM_N (1000), STORM_W (10 s, fractions allowed; 0: all at once),
// STORM_UEFI (percent of UEFI clients, 50), STORM_SEED, STORM_IFACE (the
// link DHCP broadcasts leave by), STORM_MAC_BASE (added to every client's
// number in its MAC, so that another run's clients are other machines),
// STORM_SERIAL=1 (one client at a time, each powering on once the one
// before ended: the unloaded path; STORM_SERIAL_GAP_MS after it ended, 0
// by default), STORM_PROFILE (pxe, or pi),
// STORM_BOOT_TRIES (1: a boot that fails once leased is lost; more: the
// machine boots again, storm_client.h's Loop::Reboot). Output: one
// row per client (the timeline), and a summary line on stdout.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "storm_client.h"

namespace {

// ---- Protocol constants ---------------------------------------------------

constexpr uint16_t kDhcpServerPort = 67, kDhcpClientPort = 68, kTftpPort = 69;
constexpr uint8_t kOptRequestedAddress = 50, kOptMessageType = 53, kOptServerId = 54, kOptParameters = 55,
                  kOptMaxSize = 57, kOptVendorClass = 60, kOptTftpServer = 66, kOptBootFile = 67,
                  kOptUserClass = 77, kOptArch = 93, kOptNetworkId = 94, kOptMachineId = 97,
                  kOptIpxeEncap = 175, kOptEnd = 255;
constexpr uint8_t kDiscover = 1, kOffer = 2, kRequest = 3, kAck = 5, kNak = 6;
constexpr uint32_t kMagicCookie = 0x63825363;
constexpr size_t kBootpFixed = 236;
using namespace storm;  // what both families' clients share (storm_client.h)

// The firmware's DHCP timers, in seconds between sends (iPXE's, and the
// TFTP timers, are storm_client.h's).
const std::vector<double> kFirmwareDhcp = {4, 8, 16, 32};
// The Pi's boot ROM: a DISCOVER every few seconds for about a minute, and a
// TFTP request or block given up after some seconds and a few tries.
const std::vector<double> kPiDhcp = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4};
const std::vector<double> kPiTftp = {3, 3, 3, 3, 3};
constexpr const char *kPiVendorClass = "PXEClient:Arch:00000:UNDI:002001";
constexpr const char *kPiFile = "start4.elf";
constexpr uint16_t kPiBlkSize = 1024;

// ---- One client -----------------------------------------------------------

struct Client : storm::ClientBase {
    bool bUefi = false, bPi = false;
    bool bRootFile = false;  // a Pi: the file at the root, its folder had none
    // DHCP
    uint32_t dwOffered = 0, dwServerId = 0, dwAddress = 0, dwNextServer = 0;
    uint32_t dwFirstServer = 0, dwFirstAddress = 0;  // the first OFFER's server; the firmware's lease
    int nNaks = 0;
    std::string bootFile;
    // TFTP
    uint32_t dwSendTo = 0;
    // HTTP
    uint32_t dwHttpHost = 0;
};

class Storm : storm::Loop<Storm, Client> {
    friend class storm::Loop<Storm, Client>;

public:
    Storm(int n, double w, int nUefiPercent, uint32_t seed, uint32_t dwMacBase, bool bPi, bool bSerial);
    int Run(const char *lpOut);

private:
    // Events
    void OnTimer(Client &c);
    static void KeepAcrossReboot(const Client &c, Client &next) {
        next.bUefi = c.bUefi;
        next.bPi = c.bPi;
        next.dwFirstServer = c.dwFirstServer;
        next.dwFirstAddress = c.dwFirstAddress;
    }
    void OnDhcp();
    void OnSocket(Client &c, uint32_t events);
    // DHCP
    void StartDhcp(Client &c);
    void SendDhcp(Client &c);
    void OnDhcpAnswer(Client &c, const uint8_t *p, size_t len);
    // TFTP
    void StartTftp(Client &c, const std::string &name, bool bProbe);
    void SendTftp(Client &c);
    bool TftpRefused(Client &c);
    void StartRead(Client &c);
    void FileDone(Client &c);
    // HTTP
    void StartHttp(Client &c);
    void Connect(Client &c);

    int m_nDhcp = -1;
    uint32_t m_dwXidBase;
};

Storm::Storm(int n, double w, int nUefiPercent, uint32_t seed, uint32_t dwMacBase, bool bPi, bool bSerial)
    : Loop(static_cast<size_t>(n), bSerial) {
    std::mt19937 random(seed);
    m_dwXidBase = (random() & 0xf0000000u) + dwMacBase * 2;
    PlaceClients(w, random, dwMacBase, [&](Client &c, uint32_t number) {
        // A Pi's MAC is of the Raspberry Pi Foundation's block.
        uint8_t mac[6] = {static_cast<uint8_t>(bPi ? 0xdc : 0x02), static_cast<uint8_t>(bPi ? 0xa6 : 0x5b),
                          static_cast<uint8_t>(bPi ? 0x32 : number >> 24), static_cast<uint8_t>(number >> 16),
                          static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
        memcpy(c.abMac, mac, 6);
        c.bPi = bPi;
        c.bUefi = !bPi && static_cast<int>(random() % 100) < nUefiPercent;
    });
}

void Storm::OnTimer(Client &c) {
    if (c.outcome != kRunning) return;
    if (c.stage == kHttp) return OnHttpTimer(c);
    if (++c.nTry >= c.lpTimers->size()) {
        if (c.stage == kDhcp1 || c.stage == kDhcp2)
            return Fail(c, std::string(kStageNames[c.stage]) + (c.bRequesting ? ": no ACK" : ": no OFFER") +
                               (c.nNaks ? " after " + std::to_string(c.nNaks) + " NAK" : ""));
        return Fail(c, std::string(kStageNames[c.stage]) + ": timed out");
    }
    Resend(c);
}

// ---- DHCP -----------------------------------------------------------------

void PutOption(std::vector<uint8_t> &out, uint8_t code, const void *data, size_t len) {
    out.push_back(code);
    out.push_back(static_cast<uint8_t>(len));
    const auto *bytes = static_cast<const uint8_t *>(data);
    out.insert(out.end(), bytes, bytes + len);
}

void PutAddress(std::vector<uint8_t> &out, uint8_t code, uint32_t dwNet) { PutOption(out, code, &dwNet, 4); }

// A Pi asks for its files under its serial number: eight hex digits, here
// the low half of its MAC.
std::string PiSerial(const Client &c) {
    char serial[9];
    snprintf(serial, sizeof serial, "%02x%02x%02x%02x", c.abMac[2], c.abMac[3], c.abMac[4], c.abMac[5]);
    return serial;
}

void Storm::StartDhcp(Client &c) {
    c.dwXid = m_dwXidBase + static_cast<uint32_t>(c.nIndex) * 2 + (c.stage == kDhcp2);
    c.bRequesting = false;
    Arm(c, c.bPi ? &kPiDhcp : c.stage == kDhcp1 ? &kFirmwareDhcp : &kIpxeDhcp);
    SendDhcp(c);
}

void Storm::SendDhcp(Client &c) {
    std::vector<uint8_t> m(kBootpFixed, 0);
    m[0] = 1;  // BOOTREQUEST
    m[1] = 1;
    m[2] = 6;
    uint32_t xid = htonl(c.dwXid);
    memcpy(&m[4], &xid, 4);
    uint16_t secs = htons(static_cast<uint16_t>(std::min(65535.0, Now() - c.tPowerOn)));
    memcpy(&m[8], &secs, 2);
    m[10] = 0x80;  // broadcast: the client has no address yet
    memcpy(&m[28], c.abMac, 6);
    uint32_t cookie = htonl(kMagicCookie);
    m.insert(m.end(), reinterpret_cast<uint8_t *>(&cookie), reinterpret_cast<uint8_t *>(&cookie) + 4);
    uint8_t type = c.bRequesting ? kRequest : kDiscover;
    PutOption(m, kOptMessageType, &type, 1);
    uint16_t maxSize = htons(1472);
    PutOption(m, kOptMaxSize, &maxSize, 2);
    uint16_t arch = htons(c.bUefi ? 7 : 0);
    PutOption(m, kOptArch, &arch, 2);
    const uint8_t undi[3] = {1, 3, 16};
    PutOption(m, kOptNetworkId, undi, 3);
    char vendor[40];
    if (c.bPi) snprintf(vendor, sizeof vendor, "%s", kPiVendorClass);
    else snprintf(vendor, sizeof vendor, "PXEClient:Arch:%05d:UNDI:003016", c.bUefi ? 7 : 0);
    PutOption(m, kOptVendorClass, vendor, strlen(vendor));
    uint8_t guid[17] = {0};
    memcpy(&guid[1], c.abMac, 6);
    guid[16] = 0x5b;
    PutOption(m, kOptMachineId, guid, sizeof guid);
    const uint8_t wanted[] = {1, 3, 6, 43, 54, 60, 66, 67, 128, 129, 130, 131, 132, 133, 134, 135, 175};
    PutOption(m, kOptParameters, wanted, sizeof wanted);
    if (c.stage == kDhcp2) {
        PutOption(m, kOptUserClass, "iPXE", 4);
        const uint8_t features[] = {19, 1, 1, 33, 1, 1};  // HTTP, TFTP... as iPXE announces them
        PutOption(m, kOptIpxeEncap, features, sizeof features);
    }
    if (c.bRequesting) {
        PutAddress(m, kOptRequestedAddress, c.dwOffered);
        PutAddress(m, kOptServerId, c.dwServerId);
    }
    m.push_back(kOptEnd);
    while (m.size() < 300) m.push_back(0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kDhcpServerPort);
    to.sin_addr.s_addr = INADDR_BROADCAST;
    SendDhcpTo(m_nDhcp, m, to, "boot_storm: DHCP send");
}

void Storm::OnDhcp() {
    uint8_t buffer[2048];
    for (;;) {
        ssize_t got = recv(m_nDhcp, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0) return;
        if (got < static_cast<ssize_t>(kBootpFixed + 4) || buffer[0] != 2) continue;
        uint32_t xid;
        memcpy(&xid, &buffer[4], 4);
        xid = ntohl(xid) - m_dwXidBase;
        size_t index = xid / 2;
        if (index >= m_Clients.size()) continue;
        Client &c = m_Clients[index];
        if (c.outcome != kRunning || (c.stage != kDhcp1 && c.stage != kDhcp2) || xid + m_dwXidBase != c.dwXid ||
            memcmp(&buffer[28], c.abMac, 6) != 0)
            continue;
        OnDhcpAnswer(c, buffer, static_cast<size_t>(got));
    }
}

void Storm::OnDhcpAnswer(Client &c, const uint8_t *p, size_t len) {
    uint8_t type = 0;
    uint32_t serverId = 0;
    std::string bootFile, tftpServer;
    for (size_t i = kBootpFixed + 4; i + 1 < len && p[i] != kOptEnd;) {
        if (p[i] == 0) {
            ++i;
            continue;
        }
        uint8_t code = p[i], size = p[i + 1];
        const uint8_t *value = &p[i + 2];
        if (i + 2 + size > len) break;
        if (code == kOptMessageType && size == 1) type = value[0];
        if (code == kOptServerId && size == 4) memcpy(&serverId, value, 4);
        if (code == kOptBootFile) bootFile.assign(reinterpret_cast<const char *>(value), size);
        if (code == kOptTftpServer) tftpServer.assign(reinterpret_cast<const char *>(value), size);
        i += 2 + size;
    }
    bootFile = bootFile.c_str();  // some servers count the NUL
    if (bootFile.empty()) bootFile.assign(reinterpret_cast<const char *>(&p[108]), strnlen(reinterpret_cast<const char *>(&p[108]), 128));
    uint32_t yiaddr, siaddr;
    memcpy(&yiaddr, &p[16], 4);
    memcpy(&siaddr, &p[20], 4);
    if (type == kOffer && !c.bRequesting) {
        if (!c.dwFirstServer) c.dwFirstServer = serverId;
        c.dwOffered = yiaddr;
        c.dwServerId = serverId;
        c.bRequesting = true;
        Arm(c, c.lpTimers);
        return SendDhcp(c);
    }
    if (!c.bRequesting) return;
    if (type == kNak) {  // back to DISCOVER, as firmware and iPXE do, within the same retry schedule
        ++c.nNaks;
        ++c.anRetx[c.stage];
        c.bRequesting = false;
        return SendDhcp(c);
    }
    if (type != kAck) return;
    c.dwAddress = yiaddr;
    if (c.stage == kDhcp1) c.dwFirstAddress = yiaddr;
    in_addr named{};
    c.dwNextServer = siaddr ? siaddr
                            : (!tftpServer.empty() && inet_pton(AF_INET, tftpServer.c_str(), &named) == 1 ? named.s_addr
                                                                                                       : serverId);
    c.bootFile = bootFile;
    c.tDone[c.stage] = Now();
    if (bootFile.empty() && !c.bPi) return Fail(c, std::string(kStageNames[c.stage]) + ": no boot file");
    if (c.stage == kDhcp1) {
        c.stage = kNbp;
        if (c.bPi) return StartTftp(c, PiSerial(c) + "/" + kPiFile, true);
        return StartTftp(c, bootFile, c.bUefi);
    }
    c.stage = kScript;
    StartTftp(c, bootFile, false);
}

// ---- TFTP -----------------------------------------------------------------

int OpenUdp(uint32_t dwAddress) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = dwAddress;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void Storm::StartTftp(Client &c, const std::string &name, bool bProbe) {
    CloseSocket(c);
    c.fd = OpenUdp(c.dwAddress);  // a new port for every request, as firmware does
    if (c.fd < 0) return Fail(c, std::string(kStageNames[c.stage]) + ": cannot bind the leased address");
    Watch(c, EPOLLIN, true);
    c.bProbe = bProbe;
    c.wServerPort = 0;
    c.rx = TftpReceive{};
    std::vector<uint8_t> rrq = {0, kRrq};
    PutText(rrq, name);
    PutText(rrq, "octet");
    if (c.bPi) {  // the boot ROM: the probe asks tsize, both ask blksize 1024
        if (bProbe) {
            PutText(rrq, "tsize");
            PutText(rrq, "0");
        }
        PutText(rrq, "blksize");
        PutText(rrq, std::to_string(kPiBlkSize));
    } else if (c.stage == kNbp && c.bUefi) {
        storm::PutEdk2Options(rrq, bProbe, "1468");
    } else {
        storm::PutIpxeOptions(rrq);
    }
    c.lastSent = rrq;
    c.dwSendTo = c.dwNextServer;
    c.wSendPort = kTftpPort;
    c.script.clear();
    c.path = name;
    Arm(c, c.bPi ? &kPiTftp : c.stage == kNbp && c.bUefi ? &kEdk2Tftp : &kIpxeTftp);
    SendTftp(c);
}

void Storm::SendTftp(Client &c) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(c.wServerPort ? c.wServerPort : c.wSendPort);
    to.sin_addr.s_addr = c.dwSendTo;
    sendto(c.fd, c.lastSent.data(), c.lastSent.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
}

// A Pi's folder held no file (whatever code the server says it with): the
// ROM falls back to the root's.
bool Storm::TftpRefused(Client &c) {
    if (!c.bPi || c.bRootFile) return false;
    c.bRootFile = true;
    StartTftp(c, kPiFile, true);
    return true;
}

void Storm::StartRead(Client &c) { StartTftp(c, c.bPi ? c.path : c.bootFile, false); }

// A file over TFTP is in: for a Pi the boot; the boot program: iPXE asks
// again; the script: the kernel and initrd it names, over HTTP.
void Storm::FileDone(Client &c) {
    CloseSocket(c);
    c.tDone[c.stage] = Now();
    if (c.bPi) return Booted(c);
    if (c.stage == kNbp) {
        c.stage = kDhcp2;
        return StartDhcp(c);
    }
    c.urls = storm::ScriptUrls(c.script);
    for (std::string &url : c.urls) {
        // iPXE's own setting: a farm's members each name themselves.
        const std::string setting = "${next-server}";
        if (url.find(setting) != std::string::npos) {
            char server[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &c.dwNextServer, server, sizeof server);
            url.replace(url.find(setting), setting.size(), server);
        }
    }
    if (c.urls.empty()) return Fail(c, "tftp2: the script names no kernel");
    c.stage = kHttp;
    c.nUrl = 0;
    StartHttp(c);
}

// ---- HTTP -----------------------------------------------------------------

void Storm::StartHttp(Client &c) {
    const std::string &url = c.urls[c.nUrl];
    storm::Url parts;
    if (url.compare(0, 7, "http://") != 0 || !storm::SplitUrl(url, false, &parts))
        return Fail(c, "http: not an http URL: " + url);
    c.path = parts.path;
    c.wHttpPort = parts.wPort;
    in_addr address{};
    if (inet_pton(AF_INET, parts.host.c_str(), &address) != 1) return Fail(c, "http: host is not an address: " + parts.host);
    c.dwHttpHost = address.s_addr;
    c.hostText = parts.host;  // inet_pton takes only the dotted quad inet_ntop writes
    Request(c);
}

void Storm::Connect(Client &c) {
    CloseSocket(c);
    c.bConnected = false;
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in local{}, server{};
    local.sin_family = server.sin_family = AF_INET;
    local.sin_addr.s_addr = c.dwAddress;
    server.sin_addr.s_addr = c.dwHttpHost;
    server.sin_port = htons(c.wHttpPort);
    if (c.fd < 0 || bind(c.fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
        return Fail(c, "http: cannot bind the leased address");
    Dial(c, reinterpret_cast<sockaddr *>(&server), sizeof server);
}

void Storm::OnSocket(Client &c, uint32_t events) {
    if (c.stage == kHttp) return OnHttp(c, events);
    OnTftp<sockaddr_in>(c);
}

// ---- The run --------------------------------------------------------------

int Storm::Run(const char *lpOut) {
    m_nDhcp = OpenDhcpSocket(AF_INET);
    int one = 1;
    setsockopt(m_nDhcp, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    // Broadcasts leave by the client link, which holds no default route.
    const char *lpLink = getenv("STORM_IFACE");
    if (lpLink && setsockopt(m_nDhcp, SOL_SOCKET, SO_BINDTODEVICE, lpLink, static_cast<socklen_t>(strlen(lpLink))) != 0) {
        perror("boot_storm: STORM_IFACE");
        return 2;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kDhcpClientPort);
    if (bind(m_nDhcp, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        perror("boot_storm: port 68");
        return 2;
    }
    Drive(m_nDhcp);
    return Report(lpOut, [](FILE *out, const Client &c) {
        char address[INET_ADDRSTRLEN] = "-", server[INET_ADDRSTRLEN] = "-", first[INET_ADDRSTRLEN] = "-";
        if (c.dwAddress) inet_ntop(AF_INET, &c.dwAddress, address, sizeof address);
        if (c.dwFirstServer) inet_ntop(AF_INET, &c.dwFirstServer, server, sizeof server);
        if (c.dwFirstAddress) inet_ntop(AF_INET, &c.dwFirstAddress, first, sizeof first);
        WriteRow(out, c, c.bUefi ? "uefi" : "bios", address, server, first);
        return Row::Of(c, c.nNaks != 0);
    });
}

// ---- A server setup, measured -----------------------------------------------

// A /proc file read with plain calls: a process may end while it is read.
std::string ReadProc(pid_t pid, const char *lpName) {
    std::string path = "/proc/" + std::to_string(pid) + "/" + lpName, text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[4096];
    for (ssize_t got; fd >= 0 && (got = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(got));
    if (fd >= 0) close(fd);
    return text;
}

// Every process below this one: the setup's daemons and whatever they start.
std::vector<pid_t> Descendants() {
    std::map<pid_t, pid_t> parents;
    DIR *proc = opendir("/proc");
    for (dirent *entry; proc && (entry = readdir(proc));) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0) continue;
        std::string text = ReadProc(pid, "stat");
        size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        parents[pid] = atoi(text.c_str() + close + 4);
    }
    if (proc) closedir(proc);
    std::vector<pid_t> found;
    std::set<pid_t> mine = {getpid()};
    for (bool bGrew = true; bGrew;) {
        bGrew = false;
        for (const auto &entry : parents)
            if (mine.count(entry.second) && !mine.count(entry.first)) {
                mine.insert(entry.first);
                found.push_back(entry.first);
                bGrew = true;
            }
    }
    return found;
}

// Proportional set size: pages shared by forked children (tftpd-hpa forks
// one per transfer) count once in the sum, as they do in memory. VmRSS where
// the system has no rollup.
long RssKb(pid_t pid) {
    std::string rollup = ReadProc(pid, "smaps_rollup");
    size_t at = rollup.find("\nPss:");
    if (at != std::string::npos) return atol(rollup.c_str() + at + 5);
    std::string status = ReadProc(pid, "status");
    at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : atol(status.c_str() + at + 6);
}

void Reap() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// Runs CMD until SIGTERM; every descendant is reparented here (a subreaper),
// so the children's rusage at the end covers every process that was waited
// for (bench/boot-storm reads a cgroup for the rest where it can).
int Measure(const char *lpOut, char **argv) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    pid_t child = fork();
    if (child == 0) {
        sigprocmask(SIG_UNBLOCK, &signals, nullptr);
        execvp(argv[0], argv);
        _exit(127);
    }
    long peak = 0;
    timespec tick{0, 100 * 1000 * 1000};
    while (sigtimedwait(&signals, nullptr, &tick) < 0) {
        Reap();
        long sum = 0;
        for (pid_t pid : Descendants()) sum += RssKb(pid);
        peak = std::max(peak, sum);
    }
    for (int round = 0; round < 50; ++round) {
        std::vector<pid_t> left = Descendants();
        if (left.empty()) break;
        for (pid_t pid : left) kill(pid, round < 30 ? SIGTERM : SIGKILL);
        usleep(100000);
        Reap();
    }
    Reap();
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    FILE *out = fopen(lpOut, "w");
    if (!out) return 2;
    fprintf(out, "cpu=%.2f rss=%.1f\n", cpu, static_cast<double>(peak) / 1024);
    fclose(out);
    return 0;
}

}  // namespace

int RunStormV6(const char *lpOut);
int JoinStormRows(const char *lpOut, int nIn, char **lpIn);

int main(int argc, char **argv) {
    if (argc >= 4 && strcmp(argv[1], "measure") == 0) return Measure(argv[2], argv + 3);
    if (argc >= 4 && strcmp(argv[1], "summary") == 0) return JoinStormRows(argv[2], argc - 3, argv + 3);
    if (argc != 3 || strcmp(argv[1], "clients") != 0) {
        fprintf(stderr, "usage: boot_storm clients OUT.tsv | boot_storm measure OUT CMD... | boot_storm summary OUT.tsv IN.tsv...\n");
        return 2;
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    signal(SIGPIPE, SIG_IGN);
    const char *lpFamily = getenv("STORM_FAMILY");
    if (lpFamily && strcmp(lpFamily, "6") == 0) return RunStormV6(argv[2]);
    const char *lpProfile = getenv("STORM_PROFILE");
    bool bPi = lpProfile && strcmp(lpProfile, "pi") == 0;
    if (lpProfile && *lpProfile && !bPi && strcmp(lpProfile, "pxe") != 0) {
        fprintf(stderr, "boot_storm: STORM_PROFILE is pxe or pi\n");
        return 2;
    }
    Storm storm(static_cast<int>(EnvNumber("STORM_N", 1000)), EnvSeconds("STORM_W", 10),
                static_cast<int>(EnvNumber("STORM_UEFI", 50)), static_cast<uint32_t>(EnvNumber("STORM_SEED", 1)),
                static_cast<uint32_t>(EnvNumber("STORM_MAC_BASE", 0)), bPi, EnvNumber("STORM_SERIAL", 0) != 0);
    return storm.Run(argv[2]);
}
