// TeskTftpServer: boot files served over TFTP on UDP 69 by one worker.
#pragma once

#include <cstdint>

#include "Tavrel.h"
#include "containers/mem_queue.h"
#include "platform/platform.h"
#include "service/service_frame.h"
#include "tftp/boot_file_table.h"
#include "tftp/tftp_responder.h"

class TeskTftpServer : public TeskServiceFrame {
public:
    static constexpr int kRecvSize = kTftpRecvSize;
    static constexpr int kMaxBlockSize = kTftpMaxBlockSize;

    // Transfer state of one client address.
    using clientinfo = TftpClientInfo;
    // One answer under construction.
    using tag_TftpSend = TftpSend;

    static TeskTftpServer *Create();

    int StartServer(TeskPxeServerStruct *IN_lpTeskPxeServerStruct);
    int StopServer() override;
    int RecvPacket();
    int SendPacket(tag_TftpSend *lpSend);

private:
    static constexpr int kSocket = 0;
    static constexpr int kWaitPeriod = 5000;

    TeskTftpServer() : TeskServiceFrame(1) {}
    // One readable notice, one receive.
    void ServeSocket(int) override { RecvPacket(); }
    int WaitPeriodMs() const override { return kWaitPeriod; }
    // A quiet service closes the files of transfers their clients gave up.
    void OnWaitPeriod() override { m_Responder.EndIdleTransfers(platform::MonotonicMs(), kTftpIdleMs); }
    void ReleaseService() override;

    TeskMemQueue<tag_TftpSend> *m_SendQueue = nullptr;
    TftpTransferTable *m_ClientHash = nullptr;  // keyed by address and port
    uint32_t m_ServerIP = 0;
    platform::Socket &m_Socket = m_Sockets[kSocket];
    tag_BootFileTable *m_Bootfile = nullptr;
    TftpResponder m_Responder;
};
