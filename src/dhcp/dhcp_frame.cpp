// The DHCP frame: start, stop, receive and send.
#include <cstdio>
#include <cstring>
#include <new>

#include "dhcp/dhcp_failure.h"
#include "dhcp/dhcp_server.h"
#include "log/app_folders.h"
#include "log/logger.h"
#include "log/notices.h"
#include "net/address_text.h"
#include "net/ip_address.h"

namespace {
const char *const kSourceName = "TeskDhcpServer";
const uint16_t kPorts[TeskDhcpServer::SOCK_COUNT] = {67, 4011, 4455};
const char *const kBindSteps[TeskDhcpServer::SOCK_COUNT] = {"bind udp 67", "bind udp 4011", "bind udp 4455"};
const int kSocketSites[TeskDhcpServer::SOCK_COUNT] = {89, 97, 104};
const int kBindSites[TeskDhcpServer::SOCK_COUNT] = {137, 142, 147};
const int kSelectSites[TeskDhcpServer::SOCK_COUNT] = {161, 165, 170};
// Sites of the first and the retried broadcast, per socket type.
const int kBroadcastSites[TeskDhcpServer::SOCK_COUNT][2] = {{405, 414}, {445, 445}, {428, 437}};
}  // namespace

TeskDhcpServer *TeskDhcpServer::Create(const DhcpHostHooks &hooks, DhcpAnswerer *lpAnswerer) {
    return new TeskDhcpServer(hooks, lpAnswerer);
}

// The leases are kept in data/leases/ unless the settings say KeepLeases=0;
// a journal that cannot be written costs the restart memory, not the service.
// RecoverLeases=1 lets a renewing client claim a free address it says it
// holds, for a service that lost its journal. ProbeAddresses=0 offers
// addresses unprobed even when the history is unknown.
bool TeskDhcpServer::OpenLeaseJournal() {
    char data[platform::kMaxPath], settings[platform::kMaxPath], folder[platform::kMaxPath];
    if (!AppFolderPath("data", data, sizeof data)) return true;
    if (snprintf(settings, sizeof settings, "%sLogSettings.ini", data) >= static_cast<int>(sizeof settings))
        return true;
    m_Leases.SetRecoverUnknownLeases(platform::ReadIniInt(settings, "Tavrel", "RecoverLeases", 0) != 0);
    bool bProbe = platform::ReadIniInt(settings, "Tavrel", "ProbeAddresses", 1) != 0;
    if (platform::ReadIniInt(settings, "Tavrel", "KeepLeases", 1) == 0) return bProbe;
    if (snprintf(folder, sizeof folder, "%sleases%c", data, platform::kPathSep) >= static_cast<int>(sizeof folder))
        return bProbe;
    m_Leases.OpenJournal(folder);
    return bProbe;
}

bool TeskDhcpServer::CreateContainers() {
    if (!m_SocklistQueue) m_SocklistQueue = new (std::nothrow) TeskMemQueue<_socklist>(100);
    return m_Leases.CreateCaches() && m_SocklistQueue;
}

int TeskDhcpServer::ApplyConfig(TeskPxeServerStruct *IN_lpTeskPxeServerStruct, TeskSubNetStruct *lpSubNet,
                                int nSubNetLen, TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen) {
    std::shared_ptr<const ConfigSnapshot> config =
        BuildConfigSnapshot(IN_lpTeskPxeServerStruct, lpSubNet, nSubNetLen, lpStaticDhcp, nStaticDhcpLen);
    if (!config) return -1;
    int nInstalled = m_Leases.Install(std::move(config));
    if (nInstalled == LeaseBook::kStrandsLeases) {
        LogWriteText("configuration refused: it names no range while leases are live (dhcpmode 1 serves static "
                     "entries only); the running configuration stays");
        return -1;
    }
    if (nInstalled != 0) {
        LogWriteText("m_DhcpHashCaches == NULL %s--%d", kSourceName, __LINE__);
        return -1;
    }
    return 0;
}

int TeskDhcpServer::StartServer(TeskPxeServerStruct *IN_lpTeskPxeServerStruct, TeskSubNetStruct *lpSubNet,
                                int nSubNetLen, TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen) {
    LogWriteText(TESK_NOTICE_DHCP_START);
    if (static_cast<unsigned>(nSubNetLen) > static_cast<unsigned>(kMaxSubNets)) {
        LogWriteText("nSubNetLen:%d > %d || nSubNetLen < 0", nSubNetLen, kMaxSubNets);
        return -1;
    }
    CreateContainers();
    ApplyConfig(IN_lpTeskPxeServerStruct, lpSubNet, nSubNetLen, lpStaticDhcp, nStaticDhcpLen);
    m_Prober.Start(OpenLeaseJournal());
    uint32_t dwServerIP = Config()->m_dwServerIP;

    if (!CreateStopEvent()) return LogDhcpdFailure("CreateEvent", 81);
    for (int type = 0; type < SOCK_COUNT; ++type) {
        if (platform::UdpOpen(&m_Sockets[type]) != 0) return LogDhcpdFailure("WSASocket", kSocketSites[type]);
    }
    platform::UdpEnableBroadcast(m_Sockets[SOCK_DHCP]);
    platform::UdpEnableBroadcast(m_Sockets[SOCK_SELECT]);
    for (int type = 0; type < SOCK_COUNT; ++type) {
        if (platform::UdpBind(m_Sockets[type], dwServerIP, kPorts[type]) != 0)
            return LogDhcpdFailure(kBindSteps[type], kBindSites[type]);
    }
    for (int type = 0; type < SOCK_COUNT; ++type) {
        if (!CreateSocketEvent(type)) return LogDhcpdFailure("WSACreateEvent", 155);
    }
    for (int type = 0; type < SOCK_COUNT; ++type) {
        if (!SelectSocketEvent(type)) return LogDhcpdFailure("WSAEventSelect", kSelectSites[type]);
    }
    if (!StartWorker()) return LogDhcpdFailure("CreateThread", 183);
    return 0;
}

int TeskDhcpServer::StopServer() {
    LogWriteText(TESK_NOTICE_DHCP_STOP);
    if (!StopWorker("Dhcpd")) return 1;
    ReleaseFrame();
    ReleaseService();
    return 0;
}

void TeskDhcpServer::ReleaseService() {
    m_Prober.Close();
    m_Leases.Release();
    delete m_SocklistQueue;
    m_SocklistQueue = nullptr;
}

// Without a record the datagram would stay queued and the socket would never
// signal again: read it into scratch space and drop it.
void TeskDhcpServer::DropUnreadDatagram(int nSocketType) {
    unsigned char scratch[kDataSize];
    platform::UdpRecvFrom(m_Sockets[nSocketType], scratch, sizeof scratch, nullptr);
}

int TeskDhcpServer::ReceiveOne(int nSocketType) {
    _socklist *record = m_SocklistQueue->Mem_New();
    if (!record) {
        DropUnreadDatagram(nSocketType);
        return LogDhcpdFailure("Mem_New()", 315);
    }
    memset(record, 0, sizeof *record);
    record->socket = m_Sockets[nSocketType];
    int nGot = platform::UdpRecvFromTo(record->socket, record->data, kDataSize, &record->peer, &record->dwLocalAddr);
    if (nGot >= 1) {
        record->nSocketType = nSocketType;
        record->nRecvLen = nGot;
        AnswerDestination to{};
        if (m_Answerer.Answer(record, platform::MonotonicMs(), &to) == 0) SendReply(record, to);
        m_SocklistQueue->Mem_Free(record);
        // A flood keeps the wait period from running out: probes go on between datagrams.
        m_Prober.Pump(platform::MonotonicMs());
        return 0;
    }
    m_SocklistQueue->Mem_Free(record);
    // RecvSize shows recvfrom's own failure result, SOCKET_ERROR (-1).
    if (nGot != 0)
        LogWrite(LOG_ERROR, "recvfrom error RecvSize:%d,socket_type:%d, ---TeskDhcpServer---%d", -1, nSocketType,
                 327);
    return -12;
}

bool TeskDhcpServer::SendOnce(_socklist *record, uint32_t dwAddr, uint16_t wPort, const char *lpAddrText,
                              int nSite) {
    record->peer = platform::MakeSockAddr(dwAddr, wPort);
    if (platform::UdpSendTo(record->socket, record->data, record->nSendLen, record->peer) >= 0) return true;
    const char *lpError = platform::LastErrorText();
    LogWrite(LOG_ERROR, "sendto data to %s error %s:%d:%s\n", lpAddrText ? lpAddrText : Ipv4Text(dwAddr).c_str(),
             kSourceName, nSite, lpError);
    return false;
}

// A failed broadcast is retried once on the other broadcast address, when
// there is one.
void TeskDhcpServer::SendBroadcast(_socklist *record, uint16_t wPort, int nFirstSite, int nRetrySite) {
    std::shared_ptr<const ConfigSnapshot> config = Config();
    uint32_t dwPrimary = config->m_dwBroadcastIP, dwSecondary = config->m_dwBroadcastIP2;
    uint32_t dwAddr = m_dwSendBroadcast.load();
    if (dwAddr == 0) m_dwSendBroadcast = dwAddr = dwPrimary;
    if (SendOnce(record, dwAddr, wPort, nullptr, nFirstSite)) return;
    m_dwSendBroadcast = dwAddr = dwAddr == dwPrimary ? dwSecondary : dwPrimary;
    if (dwAddr == 0) return;
    SendOnce(record, dwAddr, wPort, nullptr, nRetrySite);
}

void TeskDhcpServer::SendReply(_socklist *record, const AnswerDestination &to) {
    const int *sites = kBroadcastSites[record->nSocketType];
    if (to.bBroadcast)
        SendBroadcast(record, to.wPort, sites[0], sites[1]);
    else
        // 4011 answers go back to their sender, whose address the line leaves out.
        SendOnce(record, to.dwAddr, to.wPort, record->nSocketType == SOCK_PROXY ? "" : nullptr, sites[0]);
}
