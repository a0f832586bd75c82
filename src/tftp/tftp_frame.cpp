// The TFTP service frame: start, stop and the worker's wait loop.
#include <new>

#include "interface/address_text.h"
#include "log/logger.h"
#include "log/notices.h"
#include "tftp/tftp_failure.h"
#include "tftp/tftp_server.h"

namespace {
constexpr int kWaitPeriodMs = 5000;
constexpr int kStopWaitMs = 2000;
}  // namespace

TeskTftpServer *TeskTftpServer::Create() { return new TeskTftpServer(); }

void TeskTftpServer::Destroy() {
    if (!m_Relay.Abandoned()) delete this;
}

int TeskTftpServer::StartServer(TeskPxeServerStruct *IN_lpTeskPxeServerStruct) {
    LogWriteText(TESK_NOTICE_TFTP_START);
    if (!IN_lpTeskPxeServerStruct) return LogTftpdFailure("NULL == IN_lpTeskPxeServerStruct", 38);
    LogWriteText("Tftpd:ServerIP=%s", IN_lpTeskPxeServerStruct->ServerIP);
    m_ServerIP = platform::HostToNet32(TextToHostIp(IN_lpTeskPxeServerStruct->ServerIP));
    if (!m_ClientHash) {
        m_ClientHash = new (std::nothrow) TeskIpHash<clientinfo>();
        if (!m_ClientHash) {
            LogWriteText("new m_ClientHash fail --%s---%d---%d", "TFTPD", 47, platform::LastError());
            return -1;
        }
    }
    if (!m_SendQueue) {
        m_SendQueue = new (std::nothrow) TeskMemQueue<tag_TftpSend>(100);
        if (!m_SendQueue) return LogTftpdFailure("new m_SendQueue", 57);
    }
    if (!m_Bootfile) {
        m_Bootfile = create_bootfile_table(IN_lpTeskPxeServerStruct->rootpath);
        if (!m_Bootfile) return LogTftpdFailure("new m_Bootfile", 66);
    }
    m_Socket = platform::UdpOpen();
    if (m_Socket == platform::kInvalidSocket) return LogTftpdFailure("WSASocket", 73);
    m_hStopEvent = platform::EventCreate();
    if (!m_hStopEvent) return LogTftpdFailure("CreateEvent", 77);
    m_hSockEvent = platform::SocketEventCreate();
    if (!m_hSockEvent) return LogTftpdFailure("WSACreateEvent", 81);
    if (platform::UdpBind(m_Socket, m_ServerIP, 69) != 0) return LogTftpdFailure("bind", 91);
    if (platform::SocketEventSelect(m_Socket, m_hSockEvent) != 0) return LogTftpdFailure("WSAEventSelect", 95);
    if (!m_hThread) {
        m_Relay.Reset();
        m_hThread = platform::ThreadStart(WorkThread, this);
        if (!m_hThread) LogWriteText("CreateThread fail --%s--%d---%d", "TFTPD", 108, platform::LastError());
    }
    return 0;
}

int TeskTftpServer::StopServer() {
    LogWriteText(TESK_NOTICE_TFTP_STOP);
    platform::EventSet(m_hStopEvent);
    if (!m_Relay.Stop(m_hThread, kStopWaitMs, "Tftpd")) return 0;
    ReleaseResources();
    return 0;
}

void TeskTftpServer::ReleaseResources() {
    platform::EventClose(m_hStopEvent);
    m_hStopEvent = nullptr;
    delete m_SendQueue;
    m_SendQueue = nullptr;
    delete m_ClientHash;
    m_ClientHash = nullptr;
    platform::SocketEventClose(m_hSockEvent);
    m_hSockEvent = nullptr;
    if (m_Bootfile) {
        free_bootfile_table(m_Bootfile);
        delete m_Bootfile;
        m_Bootfile = nullptr;
    }
    platform::SocketClose(m_Socket);
    m_Socket = platform::kInvalidSocket;
}

unsigned TeskTftpServer::WorkThread(void *arg) {
    TeskTftpServer *server = static_cast<TeskTftpServer *>(arg);
    platform::WaitHandle handles[2] = {server->m_hSockEvent, server->m_hStopEvent};
    for (;;) {
        int nIndex = platform::WaitAny(handles, 2, kWaitPeriodMs);
        if (nIndex == 1) break;
        if (nIndex == 0 && platform::SocketEventTakeReadable(server->m_Socket, server->m_hSockEvent))
            server->RecvPacket();
    }
    if (server->m_Relay.WorkerEnding()) {
        server->ReleaseResources();
        delete server;
    }
    return 0;
}
