// The service frame: start, stop, the worker's wait loop, receive and send.
#include <cstring>
#include <new>

#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_server.h"
#include "interface/address_text.h"
#include "log/logger.h"
#include "log/notices.h"

namespace {
const char *const kSourceName = "TeskDhcpServer";
const uint16_t kPorts[TeskDhcpServer::SOCK_COUNT] = {67, 4011, 4455};
constexpr uint16_t kClientPort = 68;  // where port-67 answers are broadcast
const char *const kBindSteps[TeskDhcpServer::SOCK_COUNT] = {"bind udp 67", "bind udp 4011", "bind udp 4455"};
const int kSocketSites[TeskDhcpServer::SOCK_COUNT] = {89, 97, 104};
const int kBindSites[TeskDhcpServer::SOCK_COUNT] = {137, 142, 147};
const int kSelectSites[TeskDhcpServer::SOCK_COUNT] = {161, 165, 170};
}  // namespace

TeskDhcpServer *TeskDhcpServer::Create() { return new TeskDhcpServer(); }

int TeskDhcpServer::LogFailure(const char *lpStep, int nSite) {
    LogWrite(LOG_ERROR, "Dhcpd:%s:lasterror:%d line %d", lpStep, platform::SocketLastError(), nSite);
    return -1;
}

bool TeskDhcpServer::CreateContainers() {
    if (!m_SocklistQueue) m_SocklistQueue = new (std::nothrow) TeskMemQueue<_socklist>(100);
    if (!m_DynamicCache) m_DynamicCache = new (std::nothrow) TeskMacHash<tag_d_dhcp>();
    if (!m_DhcpHashCaches) m_DhcpHashCaches = new (std::nothrow) TeskMacHash<tag_s_dhcp>();
    return m_SocklistQueue && m_DynamicCache && m_DhcpHashCaches;
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

    if (!CreateStopEvent()) return LogFailure("CreateEvent", 81);
    for (int type = 0; type < SOCK_COUNT; ++type) {
        m_Sockets[type] = platform::UdpOpen();
        if (m_Sockets[type] == platform::kInvalidSocket) return LogFailure("WSASocket", kSocketSites[type]);
    }
    platform::UdpEnableBroadcast(m_Sockets[SOCK_DHCP]);
    platform::UdpEnableBroadcast(m_Sockets[SOCK_SELECT]);
    for (int type = 0; type < SOCK_COUNT; ++type) {
        if (platform::UdpBind(m_Sockets[type], m_dwServerIP, kPorts[type]) != 0)
            return LogFailure(kBindSteps[type], kBindSites[type]);
    }
    for (int type = 0; type < SOCK_COUNT; ++type) {
        if (!CreateSocketEvent(type)) return LogFailure("WSACreateEvent", 155);
    }
    for (int type = 0; type < SOCK_COUNT; ++type) {
        if (!SelectSocketEvent(type)) return LogFailure("WSAEventSelect", kSelectSites[type]);
    }
    if (!StartWorker()) return LogFailure("CreateThread", 183);
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
    delete m_DhcpHashCaches;
    m_DhcpHashCaches = nullptr;
    delete m_DynamicCache;
    m_DynamicCache = nullptr;
    delete m_SocklistQueue;
    m_SocklistQueue = nullptr;
    m_AddressIndex.Clear();
}

// Without a record the datagram would stay queued and the socket would never
// signal again: read it into scratch space and drop it.
void TeskDhcpServer::DropUnreadDatagram(int nSocketType) {
    unsigned char scratch[kDataSize];
    platform::UdpRecvFrom(m_Sockets[nSocketType], scratch, sizeof scratch, nullptr);
}

// Answers on 4455 are broadcast to 4455, so the server hears its own: they
// are no requests.
bool TeskDhcpServer::IsOwnBroadcast(int nSocketType, const platform::SockAddrV4 &peer) {
    if (nSocketType != SOCK_SELECT || platform::NetToHost16(peer.wPort) != kPorts[SOCK_SELECT]) return false;
    platform::TeskLockGuard guard(m_ConfigLock);
    return m_dwServerIP != 0 && peer.dwAddr == m_dwServerIP;
}

int TeskDhcpServer::ReceiveOne(int nSocketType) {
    _socklist *record = m_SocklistQueue->Mem_New();
    if (!record) {
        DropUnreadDatagram(nSocketType);
        return LogFailure("Mem_New()", 315);
    }
    memset(record, 0, sizeof *record);
    record->socket = m_Sockets[nSocketType];
    int nGot = platform::UdpRecvFrom(record->socket, record->data, kDataSize, &record->peer);
    if (nGot >= 1 && IsOwnBroadcast(nSocketType, record->peer)) {
        m_SocklistQueue->Mem_Free(record);
        return 0;
    }
    if (nGot >= 1) {
        record->nSocketType = nSocketType;
        record->nRecvLen = nGot;
        if (m_Handlers[nSocketType].load()(this, record) == 0) SendReply(record);
        m_SocklistQueue->Mem_Free(record);
        return 0;
    }
    m_SocklistQueue->Mem_Free(record);
    if (nGot != 0)
        LogWrite(LOG_ERROR, "recvfrom error RecvSize:%d,socket_type:%d, ---TeskDhcpServer---%d", nGot, nSocketType,
                 327);
    return -12;
}

bool TeskDhcpServer::SendOnce(_socklist *record, uint32_t dwAddr, uint16_t wPort, int nSite) {
    record->peer = platform::MakeSockAddr(dwAddr, wPort);
    if (platform::UdpSendTo(record->socket, record->data, record->nSendLen, record->peer) >= 0) return true;
    const char *lpError = platform::LastErrorText();
    LogWrite(LOG_ERROR, "sendto data to %s error %s:%d:%s\n", IpToText(dwAddr), kSourceName, nSite, lpError);
    return false;
}

// Answers on 67 and 4455 are broadcast; a failed send is retried once on the
// other broadcast address, when there is one.
void TeskDhcpServer::SendBroadcast(_socklist *record, uint16_t wPort, int nFirstSite, int nRetrySite) {
    uint32_t dwPrimary, dwSecondary;
    {
        platform::TeskLockGuard guard(m_ConfigLock);
        dwPrimary = m_dwBroadcastIP;
        dwSecondary = m_dwBroadcastIP2;
    }
    if (Send_BrodAddrIP == 0) Send_BrodAddrIP = dwPrimary;
    if (SendOnce(record, Send_BrodAddrIP, wPort, nFirstSite)) return;
    Send_BrodAddrIP = Send_BrodAddrIP == dwPrimary ? dwSecondary : dwPrimary;
    if (Send_BrodAddrIP == 0) return;
    SendOnce(record, Send_BrodAddrIP, wPort, nRetrySite);
}

void TeskDhcpServer::SendReply(_socklist *record) {
    switch (record->nSocketType) {
        case SOCK_DHCP: {
            // A relay agent cannot pass broadcasts on: it gets the answer itself.
            uint32_t dwGiaddr;
            memcpy(&dwGiaddr, record->data + kDhcpGiaddrOffset, 4);
            if (dwGiaddr != 0)
                SendOnce(record, dwGiaddr, kPorts[SOCK_DHCP], 405);
            else
                SendBroadcast(record, kClientPort, 405, 414);
            break;
        }
        case SOCK_SELECT:
            SendBroadcast(record, 4455, 428, 437);
            break;
        default:
            if (platform::UdpSendTo(record->socket, record->data, record->nSendLen, record->peer) < 0)
                LogWrite(LOG_ERROR, "sendto data to %s error %s:%d:%s\n", "", kSourceName, 445,
                         platform::LastErrorText());
            break;
    }
}
