// The TFTP service frame: start, stop, and the ports of the transfers.
#include <cstdio>
#include <new>

#include "log/app_folders.h"
#include "log/logger.h"
#include "net/address_text.h"
#include "log/notices.h"
#include "tftp/tftp_failure.h"
#include "tftp/tftp_server.h"

TeskTftpServer *TeskTftpServer::Create(int nWorker, int nWorkers) {
    return new TeskTftpServer(nWorker, nWorkers < 1 ? 1 : nWorkers);
}

// One cap on the lines of UDP 69 for all workers, so that a flood spread
// over them writes no more than one worker would. It outlives the service:
// a worker handed over at a stop may still write.
static LogRateCap &ServicePortLogCap() {
    static LogRateCap *s_lpCap = new LogRateCap();
    return *s_lpCap;
}

static int TftpSetting(const char *lpKey, int nDefault) {
    char data[platform::kMaxPath], settings[platform::kMaxPath];
    if (!AppFolderPath("data", data, sizeof data)) return nDefault;
    if (snprintf(settings, sizeof settings, "%sLogSettings.ini", data) >= static_cast<int>(sizeof settings))
        return nDefault;
    return platform::ReadIniInt(settings, "Tavrel", lpKey, nDefault);
}

// TftpSinglePort=1 in the settings serves every transfer from port 69, for
// sites whose NAT passes that port alone.
static bool SinglePortSetting() { return TftpSetting("TftpSinglePort", 0) != 0; }

// The worker that bound UDP 69, while it serves: the others read its socket.
static TeskTftpServer *s_lpFirstWorker = nullptr;

// Two workers on two processors beside lock-step clients cost a fifth more
// CPU per block (fewer datagrams per wake); windowed transfers gain a third.
// A single port has one worker: its ACKs must reach the worker that holds
// their transfer, and any worker may read a datagram of UDP 69.
int TeskTftpServer::WorkerCount() {
    if (!platform::kCanShareUdpSocket || SinglePortSetting()) return 1;
    int nCount = TftpSetting("TftpWorkers", 0);
    if (nCount <= 0) nCount = platform::ProcessorCount() / 2;
    return nCount < 1 ? 1 : nCount > kMostWorkers ? kMostWorkers : nCount;
}

int TeskTftpServer::StartServer(TeskPxeServerStruct *IN_lpTeskPxeServerStruct) {
    if (m_nWorker == 0) LogWriteText(TESK_NOTICE_TFTP_START);
    if (!IN_lpTeskPxeServerStruct) return LogTftpdFailure("NULL == IN_lpTeskPxeServerStruct", 38);
    if (m_nWorker == 0) LogWriteText("Tftpd:ServerIP=%s", IN_lpTeskPxeServerStruct->ServerIP);
    m_ServerIP = platform::HostToNet32(TextToHostIp(IN_lpTeskPxeServerStruct->ServerIP));
    m_Server = IpAddress::FromV4Net(m_ServerIP);
    return StartService(IN_lpTeskPxeServerStruct->rootpath);
}

// One worker: the IPv6 service port is its own and shares no socket.
int TeskTftpServer::StartServerV6(const IpAddress &server, uint32_t dwInterface, const char *lpRootPath) {
    LogWriteText("Tftpd:ServerIP=%s", IpText(server).c_str());
    m_Server = server;
    m_dwInterface = dwInterface;
    return StartService(lpRootPath);
}

int TeskTftpServer::StartService(const char *lpRootPath) {
    m_bSinglePort = SinglePortSetting();
    if (!m_ClientHash) {
        m_ClientHash = new (std::nothrow) TftpTransferTable();
        if (!m_ClientHash) {
            LogWriteText("new m_ClientHash fail --%s---%d---%d", "TFTPD", 47, platform::LastError());
            return -1;
        }
    }
    if (!m_lpBatch) {
        m_lpBatch = new (std::nothrow) TftpSend[kBatchSize];
        if (!m_lpBatch) return LogTftpdFailure("new m_SendQueue", 57);
    }
    if (!m_lpPorts) {
        m_nMaxPorts = MaxTransferPorts(platform::DescriptorLimit()) / m_nWorkers;
        m_lpPorts = new (std::nothrow) TransferPort[m_nMaxPorts];
        m_lpEnded = new (std::nothrow) int32_t[m_nMaxPorts];
        if (!m_lpPorts || !m_lpEnded) return LogTftpdFailure("new transfer ports", 60);
        for (int i = 0; i < m_nMaxPorts; ++i)
            m_lpPorts[i] = TransferPort{platform::kInvalidSocket, {}, i + 1 < m_nMaxPorts ? i + 2 : 0};
        m_nFreePort = 1;
        m_nEnded = 0;
    }
    if (!m_Bootfile) {
        m_Bootfile = create_bootfile_table(lpRootPath);
        if (!m_Bootfile) return LogTftpdFailure("new m_Bootfile", 66);
    }
    m_Responder.Attach(m_ClientHash, m_Bootfile);
    m_Responder.ShareLogCap(&ServicePortLogCap());
    if (m_nWorker == 0 && platform::UdpOpenFamily(m_Server.Family(), &m_Socket) != 0)
        return LogTftpdFailure("WSASocket", 73);
    if (!CreateStopEvent()) return LogTftpdFailure("CreateEvent", 77);
    if (!m_hSocketSet && platform::SocketSetCreate(m_hStopEvent, m_nMaxPorts + 1, &m_hSocketSet) != 0)
        return LogTftpdFailure("WSACreateEvent", 81);
    if (OpenServicePort() != 0) return LogTftpdFailure("bind", 91);
    if (platform::SocketSetAdd(m_hSocketSet, m_Socket, kTftpServicePort) != 0)
        return LogTftpdFailure("WSAEventSelect", 95);
    // A service without its worker would never read a datagram: that start failed.
    if (!StartWorker()) {
        LogWriteText("CreateThread fail --%s--%d---%d", "TFTPD", 108, platform::LastError());
        return -1;
    }
    if (m_nWorker == 0 && !m_Server.IsV6()) s_lpFirstWorker = this;
    return 0;
}

// One binding of UDP 69, never shared (SO_REUSEPORT would let any process
// of the same user join the port and take requests): the first worker binds
// it, the others wait on the same socket, and whichever reads a request
// first serves it from a port of its own.
int TeskTftpServer::OpenServicePort() {
    if (m_Server.IsV6()) return platform::UdpBindEndpoint(m_Socket, IpEndpoint(m_Server, 69), m_dwInterface);
    if (m_nWorker == 0) return platform::UdpBind(m_Socket, m_ServerIP, 69);
    return s_lpFirstWorker ? platform::UdpShareSocket(s_lpFirstWorker->m_Socket, &m_Socket) : -1;
}

int TeskTftpServer::StopServer() {
    if (s_lpFirstWorker == this) s_lpFirstWorker = nullptr;
    if (m_nWorker == 0) LogWriteText(TESK_NOTICE_TFTP_STOP);
    if (!StopWorker("Tftpd")) return 1;
    ReleaseFrame();
    ReleaseService();
    return 0;
}

void TeskTftpServer::ReleaseService() {
    delete m_ClientHash;  // the transfers' files are closed with the table below
    m_ClientHash = nullptr;
    if (m_lpPorts) {
        for (int i = 0; i < m_nMaxPorts; ++i) platform::SocketClose(m_lpPorts[i].sock);
    }
    delete[] m_lpPorts;
    m_lpPorts = nullptr;
    delete[] m_lpEnded;
    m_lpEnded = nullptr;
    delete[] m_lpBatch;
    m_lpBatch = nullptr;
    platform::SocketSetClose(m_hSocketSet);
    m_hSocketSet = nullptr;
    if (m_Bootfile) {
        free_bootfile_table(m_Bootfile);
        delete m_Bootfile;
        m_Bootfile = nullptr;
    }
}

// Port n is slot n - 1, kept on a free list; its socket is connected to the
// client, so the system hands it only that client's datagrams.
int32_t TeskTftpServer::OpenPort(const IpEndpoint &peer) {
    if (m_bSinglePort) return kTftpServicePort;
    int32_t nPort = m_nFreePort;
    if (nPort == 0) return kAllTaken;
    TransferPort &port = m_lpPorts[nPort - 1];
    platform::Socket sock = platform::kInvalidSocket;
    if (platform::UdpOpenConnectedTo(m_Server, peer, &sock) != 0) return kNoPortToPeer;
    if (platform::SocketSetAdd(m_hSocketSet, sock, static_cast<uint32_t>(nPort)) != 0) {
        platform::SocketClose(sock);
        return kNoPortToPeer;
    }
    m_nFreePort = port.nNextFree;
    port = TransferPort{sock, peer, 0};
    return nPort;
}

// Answers to the port may still wait in the batch: then it closes after it.
// Otherwise at once, so that a request that made another transfer give up
// its port can have it.
void TeskTftpServer::ClosePort(int32_t nPort) {
    if (nPort < 1 || nPort > m_nMaxPorts) return;
    for (int i = 0; i < m_nBatched; ++i) {
        if (m_lpBatch[i].nPort != nPort) continue;
        if (m_nEnded < m_nMaxPorts) m_lpEnded[m_nEnded++] = nPort;
        return;
    }
    FreePort(nPort);
}

bool TeskTftpServer::DatagramWaiting(int32_t nPort) {
    if (nPort < 1 || nPort > m_nMaxPorts) return false;
    const TransferPort &port = m_lpPorts[nPort - 1];
    return port.sock != platform::kInvalidSocket && platform::UdpHasDatagram(port.sock);
}

void TeskTftpServer::FreePort(int32_t nPort) {
    TransferPort &port = m_lpPorts[nPort - 1];
    if (port.sock == platform::kInvalidSocket) return;
    platform::SocketSetRemove(m_hSocketSet, port.sock);
    platform::SocketClose(port.sock);
    port.sock = platform::kInvalidSocket;
    port.nNextFree = m_nFreePort;
    m_nFreePort = nPort;
}

void TeskTftpServer::CloseEndedPorts() {
    for (int i = 0; i < m_nEnded; ++i) FreePort(m_lpEnded[i]);
    m_nEnded = 0;
}

void TeskTftpServer::OnWaitPeriod() {
    m_Responder.EndIdleTransfers(platform::MonotonicMs(), kTftpIdleMs);
    CloseEndedPorts();
}
