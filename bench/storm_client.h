// What the boot storm's IPv4 and IPv6 clients share beyond TFTP: a client's
// stages and timers, the event loop that powers clients on and fires their
// timers, the HTTP fetch of the kernel and initrd, the script's URLs, and
// the rows and summary line a run ends with. A boot walks the same path
// over either family; only DHCP, the sockets' addresses and the URL's host
// differ, and those stay in each client.
#pragma once

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "storm_tftp.h"

namespace storm {

using Clock = std::chrono::steady_clock;
inline Clock::time_point g_Start;  // set as the run begins: one family runs per process
inline double Now() { return std::chrono::duration<double>(Clock::now() - g_Start).count(); }

inline uint64_t EnvNumber(const char *name, uint64_t def) {
    const char *value = getenv(name);
    return value && *value ? strtoull(value, nullptr, 0) : def;
}

inline double EnvSeconds(const char *name, double def) {
    const char *value = getenv(name);
    return value && *value ? strtod(value, nullptr) : def;
}

// iPXE's DHCP timers (over either family) and both firmware's TFTP timers,
// in seconds between sends.
inline const std::vector<double> kIpxeDhcp = {1, 2, 4, 8};
inline const std::vector<double> kEdk2Tftp = {4, 4, 4, 4, 4, 4, 4};
inline const std::vector<double> kIpxeTftp = {0.25, 0.5, 1, 2, 4, 8};

constexpr double kHttpStall = 30;     // no byte for this long ends the boot
constexpr double kRebootSeconds = 2;  // a failed boot to the next try: the firmware's own round
constexpr int kHttpConnectTries = 4;  // iPXE gives a refused connection a few more tries

enum Stage { kDhcp1, kNbp, kDhcp2, kScript, kHttp, kStages };
inline const char *const kStageNames[kStages] = {"dhcp1", "tftp1", "dhcp2", "tftp2", "http"};
enum Outcome { kRunning, kBooted, kFailed };

// "GET" as iPXE (and EDK II's HTTP Boot) send it: one connection kept for
// the kernel and the initrd.
inline std::string HttpGet(const std::string &path, const std::string &host, const char *lpAgent) {
    return "GET " + path + " HTTP/1.1\r\nConnection: keep-alive\r\nHost: " + host + "\r\nUser-Agent: " + lpAgent +
           "\r\n\r\n";
}

// One HTTP response as it is read: the header taken byte-exact (peeked, so
// no body byte is taken with it), then the body counted to Content-Length.
struct HttpReceive {
    std::string header;
    bool bHeaderDone = false, bKeepAlive = true;
    uint64_t qwLength = 0, qwGot = 0;

    void Reset() {
        qwGot = qwLength = 0;
        bHeaderDone = false;
        header.clear();
    }

    enum Result { kWait, kDone, kFailed };

    // Reads what fd holds: kDone once the body is complete (what follows is
    // the next response's), kWait once fd is drained, kFailed with *why.
    // *tLastByte is when a byte last came, for the stall timer.
    Result Read(int fd, const std::string &path, double *tLastByte, std::string *why) {
        for (;;) {
            ssize_t got;
            if (!bHeaderDone) {
                char buffer[4096];
                got = recv(fd, buffer, sizeof buffer, MSG_PEEK);
                if (got > 0) {
                    std::string peek(buffer, static_cast<size_t>(got));
                    size_t end = (header + peek).find("\r\n\r\n");
                    size_t take = end == std::string::npos ? peek.size() : end + 4 - header.size();
                    got = recv(fd, buffer, take, 0);
                    header.append(buffer, static_cast<size_t>(got));
                    *tLastByte = Now();
                    if (end == std::string::npos) {
                        if (header.size() > 16384) return Failed(why, "http: header too long");
                        continue;
                    }
                    bHeaderDone = true;
                    int status = atoi(header.c_str() + 9);
                    if (status != 200) return Failed(why, "http: status " + std::to_string(status) + " for " + path);
                    std::string lower = header;
                    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
                    size_t length = lower.find("\r\ncontent-length:");
                    if (length == std::string::npos) return Failed(why, "http: no Content-Length");
                    qwLength = strtoull(lower.c_str() + length + 17, nullptr, 10);
                    bKeepAlive = lower.find("\r\nconnection: close") == std::string::npos;
                }
            } else {
                // The body is counted, not copied: MSG_TRUNC discards it in the kernel.
                size_t want = static_cast<size_t>(std::min<uint64_t>(qwLength - qwGot, 1 << 20));
                got = want ? recv(fd, nullptr, want, MSG_TRUNC | MSG_DONTWAIT) : 0;
                if (got > 0) {
                    qwGot += static_cast<uint64_t>(got);
                    *tLastByte = Now();
                }
            }
            if (bHeaderDone && qwGot == qwLength) return kDone;
            if (got == 0) return Failed(why, "http: connection closed after " + std::to_string(qwGot) + " bytes");
            if (got < 0) {
                if (errno == EAGAIN) return kWait;
                return Failed(why, std::string("http: ") + strerror(errno));
            }
        }
    }

private:
    static Result Failed(std::string *why, std::string text) {
        *why = std::move(text);
        return kFailed;
    }
};

// A URL's parts as the clients read them: "http://192.0.2.1:8080/name"
// (bBrackets false: the host runs to the first colon) or
// "tftp://[2001:db8::1]:69/name" (bBrackets true: the host must be bracketed).
// The port is 80 for http and 69 for anything else unless the URL names one;
// the path is "/" when the URL has none.
struct Url {
    std::string scheme, host, authority, path;  // host: the address's text; authority: as written
    uint16_t wPort = 80;
};

inline bool SplitUrl(const std::string &url, bool bBrackets, Url *out) {
    size_t colon = url.find("://");
    if (colon == std::string::npos) return false;
    out->scheme = url.substr(0, colon);
    size_t at = colon + 3;
    out->wPort = out->scheme == "http" ? 80 : 69;
    size_t slash;
    if (bBrackets) {
        if (at >= url.size() || url[at] != '[') return false;
        size_t close = url.find(']', at);
        if (close == std::string::npos) return false;
        out->host = url.substr(at + 1, close - at - 1);
        if (close + 1 < url.size() && url[close + 1] == ':') out->wPort = static_cast<uint16_t>(atoi(url.c_str() + close + 2));
        slash = url.find('/', close);
    } else {
        slash = url.find('/', at);
        out->host = url.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        size_t port = out->host.find(':');
        if (port != std::string::npos) {
            out->wPort = static_cast<uint16_t>(atoi(out->host.c_str() + port + 1));
            out->host.resize(port);
        }
    }
    out->authority = url.substr(at, (slash == std::string::npos ? url.size() : slash) - at);
    out->path = slash == std::string::npos ? "/" : url.substr(slash);
    return true;
}

// The script names the kernel and the initrd: "kernel URL ..." and "initrd URL".
inline std::vector<std::string> ScriptUrls(const std::string &script) {
    std::vector<std::string> urls;
    size_t at = 0;
    while (at < script.size()) {
        size_t end = script.find('\n', at);
        if (end == std::string::npos) end = script.size();
        std::string line = script.substr(at, end - at);
        at = end + 1;
        for (const char *verb : {"kernel ", "initrd "})
            if (line.compare(0, strlen(verb), verb) == 0) {
                std::string url = line.substr(strlen(verb));
                urls.push_back(url.substr(0, url.find(' ')));
            }
    }
    return urls;
}

// What every client is, whatever its family.
struct ClientBase {
    int nIndex = 0;
    uint8_t abMac[6] = {};
    double tPowerOn = 0;
    Stage stage = kDhcp1;
    Outcome outcome = kRunning;
    std::string why;
    double tDone[kStages] = {};  // when each stage ended
    int anRetx[kStages] = {};
    uint32_t dwXid = 0;
    bool bRequesting = false;
    int nBoots = 1;           // this one included
    bool bRebooting = false;  // its timer powers it on again
    // Timer: a fire whose generation is old is ignored.
    uint64_t qwTimerGen = 0;
    const std::vector<double> *lpTimers = nullptr;
    size_t nTry = 0;
    // TFTP
    int fd = -1;
    bool bProbe = false;
    uint16_t wServerPort = 0;
    TftpReceive rx;
    std::vector<uint8_t> lastSent;
    uint16_t wSendPort = 0;
    std::string script;
    // HTTP
    std::vector<std::string> urls;
    size_t nUrl = 0;
    uint16_t wHttpPort = 80;
    std::string path, hostText;  // hostText: the Host header's
    bool bConnected = false;
    HttpReceive http;
    int nConnectTries = 0;
    double tLastByte = 0;
};

struct Timer {
    double when;
    int nClient;
    uint64_t qwGen;
    bool operator>(const Timer &other) const { return when > other.when; }
};

constexpr uint64_t kDhcpKey = UINT64_MAX;

// A DHCP datagram to the servers (To: the family's sockaddr). A send that
// fails for more than a full buffer is said once a run, not once a client.
template <class To>
void SendDhcpTo(int fd, const std::vector<uint8_t> &m, const To &to, const char *lpWhat) {
    if (sendto(fd, m.data(), m.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0 && errno != EAGAIN) {
        static bool bSaid = false;
        if (!bSaid) perror(lpWhat);
        bSaid = true;
    }
}

// The DHCP socket every client of the run shares, its buffer large enough
// for a storm's answers.
inline int OpenDhcpSocket(int family) {
    int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1, buffer = 16 << 20;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    return fd;
}

inline uint16_t PortOf(const sockaddr_in &from) { return ntohs(from.sin_port); }
inline uint16_t PortOf(const sockaddr_in6 &from) { return ntohs(from.sin6_port); }

// The value at rank ceil(P % of N) of SORTED, where N counts the clients
// that failed as the slowest (a lost machine never boots); -1 when that
// rank falls among them.
inline double Percentile(const std::vector<double> &sorted, size_t total, double percent) {
    size_t rank = std::max<size_t>(1, static_cast<size_t>(std::ceil(static_cast<double>(total) * percent / 100)));
    return rank <= sorted.size() ? sorted[rank - 1] : -1;
}

inline void PrintSeconds(const char *lpName, double seconds, int nDigits) {
    if (seconds < 0) printf(" %s=-", lpName);
    else printf(" %s=%.*f", lpName, nDigits, seconds);
}

// A client's row: what the summary line is made of, whether from a run's
// clients or from the rows of runs joined.
struct Row {
    double tPowerOn = 0, tDone = -1;
    bool bBooted = false;
    bool bNaks = false;  // its failure is grouped as after NAKs
    int anRetx[kStages] = {};
    std::string why;

    // bNaks: a client's own count where there is one; a row read back (or
    // an IPv6 client's, which never has a NAK) tells by its reason's text.
    static Row Of(const ClientBase &c, bool bNaks) {
        Row row;
        row.tPowerOn = c.tPowerOn;
        row.bBooted = c.outcome == kBooted;
        row.tDone = c.tDone[kHttp];
        std::copy(c.anRetx, c.anRetx + kStages, row.anRetx);
        row.why = c.why;
        row.bNaks = bNaks;
        return row;
    }

    static bool NaksIn(const std::string &why) {
        return why.substr(0, why.find(" for ")).find(" NAK") != std::string::npos;
    }
};

inline const char kRowHeader[] =
    "client\tfirmware\tpower_on\tlease\tnbp_done\tlease2\tscript_done\tpayload_done\toutcome\tretx_dhcp1\t"
    "retx_tftp1\tretx_dhcp2\tretx_tftp2\tretx_http\treason\taddress\tfirst_server\tfirst_address\n";

// One row per client, times in seconds from the start of the run; "-"
// for an address the client never had.
inline void WriteRow(FILE *out, const ClientBase &c, const char *lpFirmware, const char *lpAddress,
                     const char *lpServer, const char *lpFirst) {
    fprintf(out, "%d\t%s\t%.3f", c.nIndex, lpFirmware, c.tPowerOn);
    for (double t : c.tDone) fprintf(out, t > 0 ? "\t%.3f" : "\t-", t);
    fprintf(out, "\t%s", c.outcome == kBooted ? "booted" : "failed");
    for (int s = 0; s < kStages; ++s) fprintf(out, "\t%d", c.anRetx[s]);
    fprintf(out, "\t%s\t%s\t%s\t%s\n", c.why.c_str(), lpAddress, lpServer, lpFirst);
}

// One line: booted and failed; the times until 50 ... 100 % booted from
// the first power-on (never below the arrivals: floor99 is when the client
// that makes 99 % powered on); what each machine felt, L = its payload done
// less its first DISCOVER (or SOLICIT), at p50/p95/p99/max; the makespan
// (first power-on to the last boot); retransmissions per stage. Then the
// failures by reason.
inline void Summary(const std::vector<Row> &rows) {
    int booted = 0, retx[kStages] = {};
    std::vector<double> times, felt, powerOns;
    for (const Row &r : rows) {
        powerOns.push_back(r.tPowerOn);
        for (int s = 0; s < kStages; ++s) retx[s] += r.anRetx[s];
        if (!r.bBooted) continue;
        ++booted;
        times.push_back(r.tDone);
        felt.push_back(r.tDone - r.tPowerOn);  // the first SOLICIT (or DISCOVER) goes out at power-on
    }
    std::sort(times.begin(), times.end());
    std::sort(felt.begin(), felt.end());
    std::sort(powerOns.begin(), powerOns.end());
    size_t total = rows.size();
    printf("booted=%d failed=%zu", booted, total - static_cast<size_t>(booted));
    for (int percent : {50, 95, 99, 100}) {
        char name[8];
        snprintf(name, sizeof name, "t%d", percent);
        PrintSeconds(name, Percentile(times, total, percent), 2);
    }
    PrintSeconds("floor99", Percentile(powerOns, total, 99), 2);
    for (int percent : {50, 95, 99}) {
        char name[8];
        snprintf(name, sizeof name, "l%d", percent);
        PrintSeconds(name, Percentile(felt, total, percent), 3);
    }
    PrintSeconds("lmax", felt.size() == total && !felt.empty() ? felt.back() : -1, 3);
    double first = powerOns.empty() ? 0 : powerOns.front();
    PrintSeconds("span", times.empty() ? -1 : times.back() - first, 3);
    for (int s = 0; s < kStages; ++s) printf(" retx_%s=%d", kStageNames[s], retx[s]);
    printf("\n");
    std::map<std::string, int> reasons;
    for (const Row &r : rows)
        if (!r.bBooted) {  // grouped without the path and the count of NAKs
            std::string reason = r.why.substr(0, r.why.find(" for "));
            ++reasons[reason.substr(0, reason.find(" after ")) + (r.bNaks ? " (after NAKs)" : "")];
        }
    for (const auto &reason : reasons) printf("  failed: %d x %s\n", reason.second, reason.first.c_str());
    std::map<std::string, int> rebooted;  // booted at a later try: the first one's reason
    for (const Row &r : rows)
        if (r.bBooted && !r.why.empty()) ++rebooted[r.why.substr(0, r.why.find(" after "))];
    for (const auto &reason : rebooted) printf("  booted again after: %d x %s\n", reason.second, reason.first.c_str());
}

// The clients of one family, one thread: Storm is the family's class (it
// names this its friend) and gives StartDhcp, SendDhcp, OnTimer, OnDhcp,
// OnSocket, SendTftp, TftpRefused, StartRead, StartHttp, Connect and FileDone.
template <class Storm, class Client>
class Loop {
protected:
    Loop(size_t n, bool bSerial) : m_Clients(n), m_bSerial(bSerial) {
        const char *lpTries = getenv("STORM_BOOT_TRIES");
        m_nBootTries = std::max(1, lpTries ? atoi(lpTries) : 1);
    }

    Storm &Self() { return static_cast<Storm &>(*this); }

    // Numbers the clients and gives each its power-on time within w
    // seconds; draw(c, number) first gives the family's MAC and makes the
    // family's own draws of random, so that a seed makes the same run.
    template <class Draw>
    void PlaceClients(double w, std::mt19937 &random, uint32_t dwMacBase, Draw draw) {
        std::uniform_real_distribution<double> arrival(0, w);
        for (size_t i = 0; i < m_Clients.size(); ++i) {
            Client &c = m_Clients[i];
            c.nIndex = static_cast<int>(i);
            draw(c, dwMacBase + static_cast<uint32_t>(i));
            c.tPowerOn = w > 0 ? arrival(random) : 0;
        }
        m_nLeft = static_cast<int>(m_Clients.size());
    }

    void SetTimer(Client &c, double seconds) { m_Timers.push({Now() + seconds, c.nIndex, ++c.qwTimerGen}); }

    // Starts a retry schedule: the first send now, the next after timers[0] ...
    void Arm(Client &c, const std::vector<double> *timers) {
        c.lpTimers = timers;
        c.nTry = 0;
        SetTimer(c, (*timers)[0]);
    }

    void CloseSocket(Client &c) {
        if (c.fd >= 0) close(c.fd);
        c.fd = -1;
    }

    void Fail(Client &c, const std::string &why) {
        if (c.outcome != kRunning) return;
        CloseSocket(c);
        ++c.qwTimerGen;
        if (c.stage != kDhcp1 && c.nBoots < m_nBootTries) return Reboot(c, why);
        c.outcome = kFailed;
        c.why = why;
        --m_nLeft;
    }

    // The firmware goes through its boot order again, the network its only
    // entry: the machine starts over from DHCP kRebootSeconds later. It
    // keeps who it is, its power-on (L counts the whole wait), its
    // retransmissions and, for its row should it boot, the first failure's
    // reason; its family keeps the rest of what it is
    // (Storm::KeepAcrossReboot).
    void Reboot(Client &c, const std::string &why) {
        Client next;
        next.nIndex = c.nIndex;
        memcpy(next.abMac, c.abMac, sizeof c.abMac);
        next.tPowerOn = c.tPowerOn;
        std::copy(c.anRetx, c.anRetx + kStages, next.anRetx);
        next.nBoots = c.nBoots + 1;
        next.why = c.why.empty() ? why : c.why;
        next.qwTimerGen = c.qwTimerGen;
        Self().KeepAcrossReboot(c, next);
        c = std::move(next);
        c.bRebooting = true;
        SetTimer(c, kRebootSeconds);
    }

    // The payload's last byte is in.
    void Booted(Client &c) {
        c.tDone[kHttp] = Now();
        c.outcome = kBooted;
        ++c.qwTimerGen;
        --m_nLeft;
    }

    void Watch(Client &c, uint32_t events, bool bAdd) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = static_cast<uint64_t>(c.nIndex);
        epoll_ctl(m_nEpoll, bAdd ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, c.fd, &event);
    }

    void PowerOn(Client &c) {
        c.stage = kDhcp1;
        Self().StartDhcp(c);
    }

    // A retry timer fired with tries left: the last DHCP or TFTP datagram
    // again, counted as a retransmission, and the schedule's next timer.
    void Resend(Client &c) {
        ++c.anRetx[c.stage];
        SetTimer(c, (*c.lpTimers)[c.nTry]);
        if (c.stage == kDhcp1 || c.stage == kDhcp2) return Self().SendDhcp(c);
        Self().SendTftp(c);
    }

    // The TFTP socket is readable (From: the family's sockaddr). The first
    // datagram's port is the transfer's; a probe ends once the size is
    // known (Storm::StartRead asks for the file itself); an ERROR ends the
    // read unless Storm::TftpRefused takes it up. Every ack restarts the
    // retry schedule but a gap's, which leaves it running.
    template <class From>
    void OnTftp(Client &c) {
        uint8_t buffer[65536];
        for (;;) {
            if (c.fd < 0 || (c.stage != kNbp && c.stage != kScript)) return;
            From from{};
            socklen_t size = sizeof from;
            ssize_t got = recvfrom(c.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &size);
            if (got < 4) return;
            uint16_t wPort = PortOf(from);
            if (c.wServerPort && wPort != c.wServerPort) continue;  // another transfer's datagram
            uint16_t op = static_cast<uint16_t>(buffer[0] << 8 | buffer[1]);
            uint16_t value = static_cast<uint16_t>(buffer[2] << 8 | buffer[3]);
            if (op == kError) {
                if (Self().TftpRefused(c)) return;
                return Fail(c, std::string(kStageNames[c.stage]) + ": error " + std::to_string(value) + " " +
                                   std::string(reinterpret_cast<char *>(&buffer[4]),
                                               strnlen(reinterpret_cast<char *>(&buffer[4]), static_cast<size_t>(got - 4))));
            }
            c.wServerPort = wPort;
            if (c.bProbe && (op == kOack || op == kData)) {  // the size is known: abort, then read
                std::vector<uint8_t> abort = Packet(kError, 8);
                PutText(abort, "User aborted the transfer");
                c.lastSent = abort;
                Self().SendTftp(c);
                return Self().StartRead(c);
            }
            TftpReceive::Step step = c.rx.Take(buffer, static_cast<size_t>(got), c.stage == kScript ? &c.script : nullptr);
            if (step == TftpReceive::kNothing) continue;
            c.lastSent = c.rx.Ack();
            Self().SendTftp(c);
            if (step != TftpReceive::kGapAck) Arm(c, c.lpTimers);
            if (step == TftpReceive::kLast) return Self().FileDone(c);
        }
    }

    // An HTTP fetch's timer: once a second, until no byte has come for the
    // stall time.
    void OnHttpTimer(Client &c) {
        if (Now() - c.tLastByte < kHttpStall) return SetTimer(c, 1);
        Fail(c, c.bConnected ? "http: stalled" : "http: connect timed out");
    }

    // The next URL's request on the open connection when the server keeps
    // it, else a new connection (Storm::Connect).
    void Request(Client &c) {
        c.http.Reset();
        c.tLastByte = Now();
        if (c.fd >= 0 && c.bConnected && c.http.bKeepAlive) {
            std::string request = HttpGet(c.path, c.hostText, "iPXE/1.21.1");
            if (send(c.fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) return;
        }
        c.nConnectTries = 0;
        Self().Connect(c);
    }

    // Connect's last step, once fd is bound: the connection completes (or
    // fails) in OnHttp.
    void Dial(Client &c, const sockaddr *server, socklen_t size) {
        connect(c.fd, server, size);
        c.tLastByte = Now();
        Watch(c, EPOLLOUT, true);
        SetTimer(c, 1);
    }

    // The HTTP socket is ready: the connection made, or a response read;
    // each URL of c.urls in turn, then the boot. In the tftp1 stage it is
    // HTTP Boot firmware fetching its boot program.
    void OnHttp(Client &c, uint32_t events) {
        Stage stage = c.stage;
        if (!c.bConnected) {
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error || (events & (EPOLLERR | EPOLLHUP))) {
                if (++c.nConnectTries >= kHttpConnectTries) return Fail(c, std::string("http: ") + strerror(error));
                ++c.anRetx[stage];
                int tries = c.nConnectTries;
                Self().Connect(c);
                c.nConnectTries = tries;
                return;
            }
            c.bConnected = true;
            std::string request = HttpGet(c.path, c.hostText, stage == kNbp ? "UefiHttpBoot/1.0" : "iPXE/1.21.1");
            send(c.fd, request.data(), request.size(), MSG_NOSIGNAL);
            Watch(c, EPOLLIN, false);
            c.tLastByte = Now();
            return;
        }
        for (;;) {
            std::string why;
            HttpReceive::Result result = c.http.Read(c.fd, c.path, &c.tLastByte, &why);
            if (result == HttpReceive::kWait) return;
            if (result == HttpReceive::kFailed) return Fail(c, why);
            if (stage == kNbp) return Self().FileDone(c);
            if (++c.nUrl < c.urls.size()) {
                Self().StartHttp(c);
                if (c.bConnected) continue;
                return;
            }
            CloseSocket(c);
            return Booted(c);
        }
    }

    // Until every client booted or failed: clients power on at their times
    // (serially: each once the one before ended), timers fire, sockets are
    // read. The shared DHCP socket, already made, goes in epoll as kDhcpKey.
    void Drive(int nDhcp) {
        m_nEpoll = epoll_create1(EPOLL_CLOEXEC);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = kDhcpKey;
        epoll_ctl(m_nEpoll, EPOLL_CTL_ADD, nDhcp, &event);
        std::vector<Client *> arrivals;
        for (Client &c : m_Clients) arrivals.push_back(&c);
        std::sort(arrivals.begin(), arrivals.end(), [](Client *a, Client *b) { return a->tPowerOn < b->tPowerOn; });
        size_t nNext = 0;
        g_Start = Clock::now();
        std::vector<epoll_event> events(512);
        // Serially, STORM_SERIAL_GAP_MS after the one before ended: a lone
        // machine finds a server that has been idle, not one warm from the
        // boot just done.
        const double gap = static_cast<double>(EnvNumber("STORM_SERIAL_GAP_MS", 0)) / 1000;
        double idleSince = -1;
        while (m_nLeft > 0) {
            double now = Now();
            const bool bIdle = m_bSerial && nNext < arrivals.size() && m_nLeft == static_cast<int>(arrivals.size() - nNext);
            if (bIdle && idleSince < 0) idleSince = now;
            if (m_bSerial) {  // the next powers on once every one before it ended
                if (bIdle && now >= idleSince + gap) {
                    arrivals[nNext]->tPowerOn = now;
                    PowerOn(*arrivals[nNext++]);
                    idleSince = -1;
                }
            } else {
                while (nNext < arrivals.size() && arrivals[nNext]->tPowerOn <= now) PowerOn(*arrivals[nNext++]);
            }
            while (!m_Timers.empty() && m_Timers.top().when <= now) {
                Timer timer = m_Timers.top();
                m_Timers.pop();
                Client &c = m_Clients[static_cast<size_t>(timer.nClient)];
                if (timer.qwGen != c.qwTimerGen) continue;
                if (!c.bRebooting) {
                    Self().OnTimer(c);
                    continue;
                }
                c.bRebooting = false;
                PowerOn(c);
            }
            double next = 0.05;
            if (nNext < arrivals.size() && !m_bSerial) next = std::min(next, arrivals[nNext]->tPowerOn - now);
            if (bIdle && idleSince >= 0) next = std::max(0.0, idleSince + gap - now);
            if (!m_Timers.empty()) next = std::min(next, m_Timers.top().when - now);
            int n = epoll_wait(m_nEpoll, events.data(), static_cast<int>(events.size()),
                               static_cast<int>(std::ceil(std::max(0.0, next) * 1000)));
            for (int i = 0; i < n; ++i) {
                uint64_t key = events[static_cast<size_t>(i)].data.u64;
                if (key == kDhcpKey) {
                    Self().OnDhcp();
                    continue;
                }
                Client &c = m_Clients[key];
                if (c.outcome != kRunning || c.fd < 0) continue;
                Self().OnSocket(c, events[static_cast<size_t>(i)].events);
            }
        }
    }

    // The run's rows in OUT (write(out, c) writes a client's, and returns
    // it for the summary), then the summary line on stdout.
    template <class Write>
    int Report(const char *lpOut, Write write) {
        FILE *out = fopen(lpOut, "w");
        if (!out) return 2;
        fputs(kRowHeader, out);
        std::vector<Row> rows;
        for (const Client &c : m_Clients) rows.push_back(write(out, c));
        fclose(out);
        Summary(rows);
        return 0;
    }

    std::vector<Client> m_Clients;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> m_Timers;
    int m_nEpoll = -1, m_nLeft = 0;
    bool m_bSerial;
    int m_nBootTries = 1;  // STORM_BOOT_TRIES: boots a machine tries before it gives up
};

}  // namespace storm
