// The DHCPv6 frame: start, stop, receive, send, and the advertisements.
#include "dhcp6/dhcp6_frame.h"

#include <cstdlib>
#include <cstring>

#include "log/logger.h"
#include "platform/byte_order.h"

namespace {
// ff02::1:2, All_DHCP_Relay_Agents_and_Servers; ff02::1, all nodes.
constexpr uint8_t kAllDhcpAgents[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2};
constexpr uint8_t kAllNodes[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

// RFC 4861 router advertisement.
constexpr uint8_t kRouterSolicitation = 133, kRouterAdvertisement = 134;
constexpr uint8_t kAdvertHopLimit = 64;
constexpr uint8_t kFlagManaged = 0x80, kFlagOther = 0x40;
constexpr uint8_t kOptionSourceLinkAddress = 1, kOptionPrefix = 3;
constexpr uint8_t kPrefixOnLink = 0x80;  // autonomous (0x40) left off: addresses come from DHCPv6
// RFC 4861's defaults, AdvValidLifetime and AdvPreferredLifetime.
constexpr uint32_t kPrefixValidS = 2592000, kPrefixPreferredS = 604800;
constexpr size_t kAdvertHeader = 16, kLinkOption = 8, kPrefixOption = 32;

void PutU32(unsigned char *lpOut, uint32_t dwValue) {
    lpOut[0] = static_cast<unsigned char>(dwValue >> 24);
    lpOut[1] = static_cast<unsigned char>(dwValue >> 16);
    lpOut[2] = static_cast<unsigned char>(dwValue >> 8);
    lpOut[3] = static_cast<unsigned char>(dwValue);
}

int LogDhcp6Failure(const char *lpStep, int nResult) {
    LogWrite(LOG_ERROR, "Dhcp6d:%s:lasterror:%d", lpStep, -nResult);
    return -1;
}
}  // namespace

bool ParseIpv6Prefix(const char *lpText, IpAddress *lpPrefix, int *lpLength) {
    if (!lpText) return false;
    const char *lpSlash = strchr(lpText, '/');
    if (!lpSlash || lpSlash - lpText >= static_cast<long>(kIpAddressTextSize)) return false;
    char szAddress[kIpAddressTextSize];
    memcpy(szAddress, lpText, static_cast<size_t>(lpSlash - lpText));
    szAddress[lpSlash - lpText] = '\0';
    char *lpEnd = nullptr;
    long nLength = strtol(lpSlash + 1, &lpEnd, 10);
    IpAddress prefix;
    if (!ParseIpAddress(szAddress, &prefix) || !prefix.IsV6() || lpSlash[1] < '0' || lpSlash[1] > '9' ||
        *lpEnd != '\0' || nLength < 1 || nLength > 128)
        return false;
    *lpPrefix = prefix;
    *lpLength = static_cast<int>(nLength);
    return true;
}

static bool WantsAdverts(const Dhcp6Start &start) { return start.lpServer && start.lpServer->routeradvert == 1; }

bool Dhcp6Frame::TakePrefix(const Dhcp6Start &start) {
    if (!WantsAdverts(start)) return true;
    char szPrefix[sizeof start.lpServer->raprefix + 1] = {};
    memcpy(szPrefix, start.lpServer->raprefix, sizeof start.lpServer->raprefix);
    return ParseIpv6Prefix(szPrefix, &m_Prefix, &m_nPrefixLength);
}

int Dhcp6Frame::StartServer(const Dhcp6Start &start) {
    LogWriteText("Dhcp6d: start on interface %u", start.dwInterface);
    if (!m_Answerer || !start.server.IsV6() || start.dwInterface == 0) return LogDhcp6Failure("records", 0);
    m_Server = start.server;
    m_dwInterface = start.dwInterface;
    m_bHasMac = start.bHasInterfaceMac;
    memcpy(m_abMac, start.abInterfaceMac, sizeof m_abMac);
    m_bAdvertise = WantsAdverts(start);
    if (!TakePrefix(start)) return LogDhcp6Failure("raprefix", 0);
    if (int result = platform::LinkLocalAddressOf(m_dwInterface, &m_LinkLocal)) {
        // Advertisements must come from one (RFC 4861); answers then leave from ServerIP.
        if (m_bAdvertise) return LogDhcp6Failure("link-local address", result);
        m_LinkLocal = m_Server;
    }
    if (m_Server.IsLinkScoped()) m_LinkLocal = m_Server;
    if (!CreateStopEvent()) return LogDhcp6Failure("CreateEvent", platform::LastError());
    if (int result = OpenDhcpSocket()) return LogDhcp6Failure("bind udp 547", result);
    if (m_bAdvertise) {
        if (int result = OpenAdvertSocket()) return LogDhcp6Failure("icmpv6 socket", result);
    }
    for (int i = 0; i < kSocketCount; ++i) {
        if (!CreateSocketEvent(i)) return LogDhcp6Failure("WSACreateEvent", platform::SocketLastError());
        // Without advertisements the second event is never selected: it never signals.
        if (m_Sockets[i] != platform::kInvalidSocket && !SelectSocketEvent(i))
            return LogDhcp6Failure("WSAEventSelect", platform::SocketLastError());
    }
    if (!StartWorker()) return LogDhcp6Failure("CreateThread", platform::LastError());
    return 0;
}

// [::]:547 on the interface alone, so that a datagram of another link never
// reaches the responder (where the system cannot tie a wildcard socket to an
// interface, ServeDhcp drops it).
int Dhcp6Frame::OpenDhcpSocket() {
    platform::Socket &sock = m_Sockets[kDhcpSocket];
    if (int result = platform::UdpOpenFamily(IpFamily::kV6, &sock)) return result;
    if (int result = platform::UdpBindEndpoint(sock, IpEndpoint(IpAddress::AnyOf(IpFamily::kV6), kServerPort),
                                               m_dwInterface))
        return result;
    return platform::UdpJoinMulticast(sock, IpAddress::FromV6(kAllDhcpAgents, m_dwInterface), m_dwInterface);
}

int Dhcp6Frame::OpenAdvertSocket() { return platform::Icmp6Open(m_dwInterface, &m_Sockets[kAdvertSocket]); }

// Whether to advertise is fixed while serving (the worker reads it without
// the lock); the prefix may change.
int Dhcp6Frame::Reconfigure(const Dhcp6Start &start) {
    platform::TeskLockGuard guard(m_AnswerLock);
    if (WantsAdverts(start) != m_bAdvertise) {
        LogWriteText("Dhcp6d: routeradvert cannot change while serving: StopPXE first; the running configuration stays");
        return -1;
    }
    IpAddress prefix = m_Prefix;
    int nLength = m_nPrefixLength;
    if (!TakePrefix(start)) {
        LogWriteText("Dhcp6d: raprefix is no IPv6 prefix; the running configuration stays");
        return -1;
    }
    int nResult = m_Answerer->Reconfigure(start);
    if (nResult != 0) {
        m_Prefix = prefix;
        m_nPrefixLength = nLength;
    }
    return nResult;
}

int Dhcp6Frame::StopServer() {
    LogWriteText("Dhcp6d: stop");
    if (!StopWorker("Dhcp6d")) return 1;
    ReleaseFrame();
    ReleaseService();
    return 0;
}

void Dhcp6Frame::ReleaseService() { m_Answerer.reset(); }

void Dhcp6Frame::ServeSocket(int nIndex) {
    if (nIndex == kDhcpSocket)
        ServeDhcp();
    else
        ServeSolicitation();
    // A flood keeps the wait period from running out: advertisements go on between datagrams.
    if (m_bAdvertise) SendAdvertIfDue(platform::MonotonicMs(), kAdvertEveryMs);
}

// A link-local client is answered from the interface's link-local address,
// anyone else (a relay) from the server's.
IpAddress Dhcp6Frame::SourceFor(const IpEndpoint &to) const {
    return to.Address().IsLinkScoped() ? m_LinkLocal : m_Server;
}

void Dhcp6Frame::ServeDhcp() {
    unsigned char abData[kReceiveBytes];
    platform::UdpArrival arrival;
    int nGot = platform::UdpReceive(m_Sockets[kDhcpSocket], abData, sizeof abData, &arrival);
    uint64_t qwNowMs = platform::MonotonicMs();
    LogCapScope scope(m_LogCap, qwNowMs);
    if (nGot < 0) {
        if (nGot != platform::kNothingToRead) LogWrite(LOG_DEBUG, "Dhcp6d: receive failed: %d", -nGot);
        return;
    }
    if (arrival.dwInterface != m_dwInterface) {
        LogWrite(LOG_DEBUG, "Dhcp6d: datagram of interface %u dropped", arrival.dwInterface);
        return;
    }
    Dhcp6Datagram datagram;
    datagram.lpData = abData;
    datagram.nLen = static_cast<size_t>(nGot);
    datagram.from = arrival.stFrom;
    datagram.to = arrival.stTo;
    datagram.dwInterface = arrival.dwInterface;
    // Large, and the worker's alone: not on its stack.
    static thread_local Dhcp6Reply reply;
    reply.nLen = 0;
    int nAnswer;
    {
        platform::TeskLockGuard guard(m_AnswerLock);
        nAnswer = m_Answerer->Answer(datagram, qwNowMs, &reply);
    }
    if (nAnswer != 0 || reply.nLen == 0 || reply.nLen > Dhcp6Reply::kMaxBytes) return;
    // Only where a request can come from: a client's port or a relay's.
    if (reply.to.Port() != kClientPort && reply.to.Port() != kServerPort) {
        LogWrite(LOG_ERROR, "Dhcp6d: answer to port %u not sent", static_cast<unsigned>(reply.to.Port()));
        return;
    }
    int nSent = platform::UdpSendFrom(m_Sockets[kDhcpSocket], reply.abData, static_cast<int>(reply.nLen), reply.to,
                                      SourceFor(reply.to));
    if (nSent < 0) LogWrite(LOG_ERROR, "Dhcp6d: send to %s failed: %d", IpText(reply.to.Address()).c_str(), -nSent);
}

void Dhcp6Frame::ServeSolicitation() {
    unsigned char abData[kReceiveBytes];
    platform::UdpArrival arrival;
    int nGot = platform::UdpReceive(m_Sockets[kAdvertSocket], abData, sizeof abData, &arrival);
    // The system filters the rest where it can; here the type is checked again.
    if (nGot < 8 || abData[0] != kRouterSolicitation || abData[1] != 0) return;
    if (arrival.dwInterface && arrival.dwInterface != m_dwInterface) return;
    SendAdvertIfDue(platform::MonotonicMs(), kAdvertGapMs);
}

int Dhcp6Frame::WaitPeriodMs() const {
    if (!m_bAdvertise) return platform::kWaitForever;
    if (!m_bAdvertSent) return 0;
    uint64_t qwSince = platform::MonotonicMs() - m_qwLastAdvertMs;
    return qwSince >= kAdvertEveryMs ? 0 : static_cast<int>(kAdvertEveryMs - qwSince);
}

void Dhcp6Frame::OnWaitPeriod() {
    if (m_bAdvertise) SendAdvertIfDue(platform::MonotonicMs(), kAdvertEveryMs);
}

void Dhcp6Frame::SendAdvertIfDue(uint64_t qwNowMs, uint64_t qwGapMs) {
    if (m_bAdvertSent && qwNowMs - m_qwLastAdvertMs < qwGapMs) return;
    unsigned char abAdvert[kAdvertHeader + kLinkOption + kPrefixOption];
    size_t nLen;
    {
        platform::TeskLockGuard guard(m_AnswerLock);
        nLen = BuildAdvert(abAdvert, sizeof abAdvert);
    }
    m_qwLastAdvertMs = qwNowMs;
    m_bAdvertSent = true;
    int nSent = platform::UdpSendFrom(m_Sockets[kAdvertSocket], abAdvert, static_cast<int>(nLen),
                                      IpEndpoint(IpAddress::FromV6(kAllNodes, m_dwInterface), 0), m_LinkLocal);
    if (nSent < 0) {
        LogCapScope scope(m_LogCap, qwNowMs);
        LogWrite(LOG_ERROR, "Dhcp6d: router advertisement not sent: %d", -nSent);
        return;
    }
    m_nAdverts.fetch_add(1);
}

size_t Dhcp6Frame::BuildAdvert(unsigned char *lpOut, size_t nSize) {
    memset(lpOut, 0, nSize);
    lpOut[0] = kRouterAdvertisement;  // code, checksum (the system's) 0
    lpOut[4] = kAdvertHopLimit;
    lpOut[5] = kFlagManaged | kFlagOther;
    // Router lifetime, reachable time and retransmission timer stay 0.
    size_t nAt = kAdvertHeader;
    if (m_bHasMac) {
        lpOut[nAt] = kOptionSourceLinkAddress;
        lpOut[nAt + 1] = kLinkOption / 8;
        memcpy(lpOut + nAt + 2, m_abMac, sizeof m_abMac);
        nAt += kLinkOption;
    }
    unsigned char *lpPrefix = lpOut + nAt;
    lpPrefix[0] = kOptionPrefix;
    lpPrefix[1] = kPrefixOption / 8;
    lpPrefix[2] = static_cast<unsigned char>(m_nPrefixLength);
    lpPrefix[3] = kPrefixOnLink;
    PutU32(lpPrefix + 4, kPrefixValidS);
    PutU32(lpPrefix + 8, kPrefixPreferredS);
    // Only the prefix's bits: the rest of the address given is zeroed.
    for (int i = 0; i < 16; ++i) {
        int nBits = m_nPrefixLength - i * 8;
        uint8_t byMask = nBits >= 8 ? 0xff : nBits <= 0 ? 0 : static_cast<uint8_t>(0xff << (8 - nBits));
        lpPrefix[16 + i] = m_Prefix.Bytes()[i] & byMask;
    }
    return nAt + kPrefixOption;
}
