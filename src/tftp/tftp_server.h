// TeskTftpServer: boot files served over TFTP on UDP 69 by one worker.
#pragma once

#include <cstdint>

#include "Tavrel.h"
#include "containers/ip_hash.h"
#include "containers/mem_queue.h"
#include "interface/worker_relay.h"
#include "platform/platform.h"
#include "tftp/boot_file_table.h"

class TftpPacketWriter;

class TeskTftpServer {
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
    void Destroy();

    int StartServer(TeskPxeServerStruct *IN_lpTeskPxeServerStruct);
    int StopServer();
    int RecvPacket();
    int SendPacket(tag_TftpSend *lpSend);

    tag_BootFileTable *BootFiles() { return m_Bootfile; }

private:
    TeskTftpServer() = default;
    static unsigned WorkThread(void *arg);
    void OnReadRequest(clientinfo *lpClientInfo, const unsigned char *area, int nGot, TftpPacketWriter &out);
    void PutBlock(clientinfo *lpClientInfo, uint32_t dwBlock, TftpPacketWriter &out);
    void ReleaseResources();

    TeskMemQueue<tag_TftpSend> *m_SendQueue = nullptr;
    TeskIpHash<clientinfo> *m_ClientHash = nullptr;
    uint32_t m_ServerIP = 0;
    platform::ThreadHandle m_hThread = nullptr;
    platform::WaitHandle m_hSockEvent = nullptr;
    platform::WaitHandle m_hStopEvent = nullptr;
    platform::Socket m_Socket = platform::kInvalidSocket;
    tag_BootFileTable *m_Bootfile = nullptr;
    TeskWorkerRelay m_Relay;
};
