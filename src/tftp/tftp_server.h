// TeskTftpServer: boot files served over TFTP by one worker. Requests come to
// UDP 69; each transfer answers from a port of its own, connected to its
// client (RFC 1350's transfer identifier), unless the settings ask for the
// single port (sites behind NAT). Where the system lets several threads
// wait on one socket, a few workers may read UDP 69's one socket: the worker
// that reads a request holds its transfer, file and port alone.
#pragma once

#include <cstdint>

#include "Tavrel.h"
#include "platform/platform.h"
#include "service/service_frame.h"
#include "tftp/boot_file_table.h"
#include "tftp/path_mtu_cache.h"
#include "tftp/tftp_responder.h"

class TeskTftpServer : public TeskServiceFrame, private TftpTransferPorts {
public:
    static constexpr int kRecvSize = kTftpRecvSize;
    static constexpr int kMaxBlockSize = kTftpMaxBlockSize;
    // Transfers with ports of their own at once, shared out among the
    // workers: a quarter of the process's descriptors, so that files, the
    // logger and the host keep the rest
    // (the host's HTTP server leaves this quarter alone). Machines powering
    // on all at once hold a transfer each, a UEFI one two while its size
    // probe overlaps its read: 5,000 of them need more than 5,000 ports.
    static int MaxTransferPorts(int nDescriptorLimit) {
        int nPorts = nDescriptorLimit / 4;
        return nPorts < 64 ? 64 : nPorts > 16384 ? 16384 : nPorts;
    }

    // Transfer state of one client address.
    using clientinfo = TftpClientInfo;
    // One answer under construction.
    using tag_TftpSend = TftpSend;

    // Worker nWorker of nWorkers; the first one logs the service's notices.
    static TeskTftpServer *Create(int nWorker = 0, int nWorkers = 1);
    static constexpr int kMostWorkers = 4;
    // Workers for UDP 69: TftpWorkers in the settings, else one per two
    // processors (the rest of the machine serves HTTP, DHCP and the host);
    // at most four, and one where the socket cannot be shared or transfers
    // share the port.
    static int WorkerCount();

    int StartServer(TeskPxeServerStruct *IN_lpTeskPxeServerStruct);
    // The same on an IPv6 address (a link-local one on dwInterface), port 69.
    int StartServerV6(const IpAddress &server, uint32_t dwInterface, const char *lpRootPath);
    int StopServer() override;

private:
    static constexpr int kSocket = 0;
    static constexpr int kWaitPeriod = 5000;
    // Answers of one datagram, sent together: a whole window and the refusal
    // that may end it.
    static constexpr int kBatchSize = kTftpMaxWindow + 1;
    static constexpr int kServiceBatch = 64;  // requests read from UDP 69 in one wake

    struct TransferPort {
        platform::Socket sock;
        IpEndpoint stPeer;
        int32_t nNextFree;  // index + 1 of the next free port, or 0
    };
    class BatchSink;

    TeskTftpServer(int nWorker, int nWorkers)
        : TeskServiceFrame(1), m_nWorker(nWorker), m_nWorkers(nWorkers), m_Responder(this, &m_PathMtu) {}
    int StartService(const char *lpRootPath);
    int OpenServicePort();
    // The wait of this service covers the transfers' ports too.
    void ServeUntilStopped() override;
    void ServeSocket(int) override { ServeServicePort(platform::MonotonicMs()); }
    // A quiet service closes the files of transfers their clients gave up.
    void OnWaitPeriod() override;
    void ReleaseService() override;

    int32_t OpenPort(const IpEndpoint &peer) override;
    void ClosePort(int32_t nPort) override;
    bool DatagramWaiting(int32_t nPort) override;
    // The datagrams of one wake share its time: a transfer's clocks count
    // milliseconds.
    void ServeServicePort(uint64_t qwNowMs);
    int ReceiveOnServicePort(unsigned char *lpArea, IpEndpoint *lpPeer);
    void ServeTransferPort(int32_t nPort, uint64_t qwNowMs);
    void SendBatch();
    void SendFromServicePort(const TftpSend *lpAnswers, int nCount);
    void SendFromTransferPort(int32_t nPort, const TftpSend *lpAnswers, int nCount);
    void FreePort(int32_t nPort);
    void CloseEndedPorts();

    const int m_nWorker, m_nWorkers;
    TftpTransferTable *m_ClientHash = nullptr;  // keyed by address and port
    uint32_t m_ServerIP = 0;
    IpAddress m_Server;         // m_ServerIP, or the IPv6 address served
    uint32_t m_dwInterface = 0;  // an IPv6 service's interface
    bool m_bSinglePort = false;
    platform::Socket &m_Socket = m_Sockets[kSocket];
    platform::SocketSet m_hSocketSet = nullptr;
    tag_BootFileTable *m_Bootfile = nullptr;
    int m_nMaxPorts = 0;
    TransferPort *m_lpPorts = nullptr;  // m_nMaxPorts; port n is m_lpPorts[n - 1]
    int32_t m_nFreePort = 0;            // index + 1 of the first free port, or 0
    int32_t *m_lpEnded = nullptr;       // ports whose transfers ended, closed after the batch
    int m_nEnded = 0;
    TftpSend *m_lpBatch = nullptr;  // kBatchSize
    int m_nBatched = 0;
    PathMtuCache m_PathMtu;
    TftpResponder m_Responder;
};
