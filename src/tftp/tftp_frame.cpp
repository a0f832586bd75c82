// The TFTP service frame: start, stop and the worker's wait loop.
#include <new>

#include "net/address_text.h"
#include "log/logger.h"
#include "log/notices.h"
#include "tftp/tftp_failure.h"
#include "tftp/tftp_server.h"

TeskTftpServer *TeskTftpServer::Create() { return new TeskTftpServer(); }

int TeskTftpServer::StartServer(TeskPxeServerStruct *IN_lpTeskPxeServerStruct) {
    LogWriteText(TESK_NOTICE_TFTP_START);
    if (!IN_lpTeskPxeServerStruct) return LogTftpdFailure("NULL == IN_lpTeskPxeServerStruct", 38);
    LogWriteText("Tftpd:ServerIP=%s", IN_lpTeskPxeServerStruct->ServerIP);
    m_ServerIP = platform::HostToNet32(TextToHostIp(IN_lpTeskPxeServerStruct->ServerIP));
    if (!m_ClientHash) {
        m_ClientHash = new (std::nothrow) TftpTransferTable();
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
    m_Responder.Attach(m_ClientHash, m_Bootfile);
    if (platform::UdpOpen(&m_Socket) != 0) return LogTftpdFailure("WSASocket", 73);
    if (!CreateStopEvent()) return LogTftpdFailure("CreateEvent", 77);
    if (!CreateSocketEvent(kSocket)) return LogTftpdFailure("WSACreateEvent", 81);
    if (platform::UdpBind(m_Socket, m_ServerIP, 69) != 0) return LogTftpdFailure("bind", 91);
    if (!SelectSocketEvent(kSocket)) return LogTftpdFailure("WSAEventSelect", 95);
    // A service without its worker would never read a datagram: that start failed.
    if (!StartWorker()) {
        LogWriteText("CreateThread fail --%s--%d---%d", "TFTPD", 108, platform::LastError());
        return -1;
    }
    return 0;
}

int TeskTftpServer::StopServer() {
    LogWriteText(TESK_NOTICE_TFTP_STOP);
    if (!StopWorker("Tftpd")) return 1;
    ReleaseFrame();
    ReleaseService();
    return 0;
}

void TeskTftpServer::ReleaseService() {
    delete m_SendQueue;
    m_SendQueue = nullptr;
    delete m_ClientHash;
    m_ClientHash = nullptr;
    if (m_Bootfile) {
        free_bootfile_table(m_Bootfile);
        delete m_Bootfile;
        m_Bootfile = nullptr;
    }
}
