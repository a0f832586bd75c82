// TeskTftpServer: boot files served over TFTP on UDP 69 by one worker.
#pragma once

#include <cstdint>

#include "Tavrel.h"
#include "containers/ip_hash.h"
#include "containers/mem_queue.h"
#include "platform/platform.h"
#include "service/service_frame.h"
#include "tftp/boot_file_table.h"

class TftpPacketWriter;

class TeskTftpServer : public TeskServiceFrame {
public:
    static constexpr int kRecvSize = 1500;
    static constexpr int kMaxBlockSize = 1500;
    // Header plus the largest negotiable block.
    static constexpr int kSendSize = 4 + kMaxBlockSize;

    // Transfer state of one client address.
    struct clientinfo {
        int32_t dwBlockSize;
        tag_BootFile *lpBootFile;
        uint32_t dwLastBlock;  // absolute number of the last block sent
    };

    // One answer under construction.
    struct tag_TftpSend {
        unsigned char abData[kSendSize];
        int32_t nLength;
        platform::SockAddrV4 stPeer;
    };

    static TeskTftpServer *Create();

    int StartServer(TeskPxeServerStruct *IN_lpTeskPxeServerStruct);
    int StopServer() override;
    int RecvPacket();
    int SendPacket(tag_TftpSend *lpSend);

    tag_BootFileTable *BootFiles() { return m_Bootfile; }

private:
    static constexpr int kSocket = 0;
    static constexpr int kWaitPeriod = 5000;

    TeskTftpServer() : TeskServiceFrame(1) {}
    // One readable notice, one receive.
    void ServeSocket(int) override { RecvPacket(); }
    // The period drives nothing: no timer work in this service.
    int WaitPeriodMs() const override { return kWaitPeriod; }
    void ReleaseService() override;
    void OnReadRequest(clientinfo *lpClientInfo, const unsigned char *area, int nGot, TftpPacketWriter &out);
    void PutBlock(clientinfo *lpClientInfo, uint32_t dwBlock, TftpPacketWriter &out);

    TeskMemQueue<tag_TftpSend> *m_SendQueue = nullptr;
    TeskIpHash<clientinfo> *m_ClientHash = nullptr;
    uint32_t m_ServerIP = 0;
    platform::Socket &m_Socket = m_Sockets[kSocket];
    tag_BootFileTable *m_Bootfile = nullptr;
};
