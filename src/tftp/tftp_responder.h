// The TFTP read protocol without sockets: a received datagram and the
// client's state in, answers out. The service frame feeds it from UDP 69
// and from the transfers' own ports; tests and the fuzzer feed it directly.
#pragma once

#include <cstdint>

#include <cstring>

#include "log/log_rate_cap.h"
#include "platform/platform.h"
#include "tftp/boot_file_table.h"
#include "tftp/read_ahead_pool.h"
#include "tftp/tftp_transfer_table.h"

constexpr int kTftpRecvSize = 1500;
constexpr int kTftpMaxBlockSize = 1500;
// RFC 7440 lets a server answer a larger window with a smaller one.
constexpr int kTftpMaxWindow = 64;
// Where a transfer's datagrams arrive and its answers leave: the service
// port, or a port of the transfer's own (RFC 1350's transfer identifier).
constexpr int32_t kTftpServicePort = 0;
// A transfer silent this long is over: its client has given up.
constexpr uint64_t kTftpIdleMs = 30000;
// A client acknowledges the first DATA or OACK, or asks again, within its
// first retransmission timeout (firmware waits 1 to 5 s): a transfer whose
// first answer stays unacknowledged this long was abandoned or forged, and
// such transfers give way first when ports or records run out.
constexpr uint64_t kTftpFirstAckMs = 6000;
// Unacknowledged transfers looked at, oldest first, for one to end to make
// room: one whose port holds a datagram from its client (among thousands
// of machines powering on at once, an ACK not read yet) is passed over,
// since firmware that had its answer never asks again and ending it would
// lose the machine. When all of these are such, the newcomer goes unanswered
// and asks again after its own timeout, which costs it time only. A forger
// never answers from the addresses it forges, so its transfers still give
// way at once.
constexpr int kTftpEvictionLooks = 64;
// Transfers one client address may hold at once. Firmware runs one, two
// while a size probe overlaps its fetch; a script fetching in parallel a
// dozen or so; one forger thousands.
constexpr int kTftpTransfersPerSource = 32;

// One answer datagram under construction: header plus the largest block.
struct TftpSend {
    unsigned char abData[4 + kTftpMaxBlockSize];
    int32_t nLength;  // -1 when building the answer overflowed
    IpEndpoint stPeer;
    int32_t nPort;  // the port it leaves from
};

// Where answers go: records come from the sink and go back through it.
class TftpAnswerSink {
public:
    // A record for one more answer; null when none can be had.
    virtual TftpSend *NewAnswer() = 0;
    // Sends nLength bytes of the record from its nPort to its stPeer, before
    // the next datagram is received, and takes the record back.
    virtual int SendAnswer(TftpSend *lpSend) = 0;

protected:
    ~TftpAnswerSink() = default;
};

// The ports transfers answer from.
class TftpTransferPorts {
public:
    static constexpr int32_t kAllTaken = -1;  // every port is held by a transfer
    static constexpr int32_t kNoPortToPeer = -2;  // none could be opened toward the peer
    // A port of its own for the transfer to peer (kTftpServicePort when
    // transfers share the service port), or one of the codes above. A port
    // closed while no answer from it waits to be sent is free again at once.
    virtual int32_t OpenPort(const IpEndpoint &peer) = 0;
    virtual void ClosePort(int32_t nPort) = 0;
    // Whether a datagram from the transfer's client waits on nPort.
    virtual bool DatagramWaiting(int32_t) { return false; }

protected:
    ~TftpTransferPorts() = default;
};

// The MTU of the path to a client.
class TftpPathMtu {
public:
    // 0 when it cannot be told.
    virtual int MtuTo(const IpAddress &address) = 0;

protected:
    ~TftpPathMtu() = default;
};

class TftpResponder {
public:
    using ClientTable = TftpTransferTable;

    // Without ports every transfer shares the service port; without a probe
    // every path carries Ethernet frames.
    explicit TftpResponder(TftpTransferPorts *lpPorts = nullptr, TftpPathMtu *lpMtu = nullptr)
        : m_lpPorts(lpPorts), m_lpMtu(lpMtu) {}
    // Workers that serve UDP 69 together write its lines under one cap.
    void ShareLogCap(LogRateCap *lpCap) { m_lpLogCap = lpCap; }
    // The tables the answers are built from; the service owns them.
    // Fresh tables hold no transfer: every read-ahead area is free again.
    void Attach(ClientTable *lpClients, tag_BootFileTable *lpFiles) {
        m_lpClients = lpClients;
        m_lpFiles = lpFiles;
        m_ReadAhead.Reset();
    }
    int ReadAreasLent() const { return m_ReadAhead.Lent(); }
    // One datagram of nLength bytes from peer, received on nPort at qwNowMs.
    // Returns -1 after writing a failure line, else 0.
    int Respond(const unsigned char *lpData, int nLength, const IpEndpoint &peer, int32_t nPort,
                uint64_t qwNowMs, TftpAnswerSink &sink);
    int Respond(const unsigned char *lpData, int nLength, const IpEndpoint &peer, uint64_t qwNowMs,
                TftpAnswerSink &sink) {
        return Respond(lpData, nLength, peer, kTftpServicePort, qwNowMs, sink);
    }
    // The IPv4 forms the tests and the fuzzer drive.
    int Respond(const unsigned char *lpData, int nLength, const platform::SockAddrV4 &peer, int32_t nPort,
                uint64_t qwNowMs, TftpAnswerSink &sink) {
        return Respond(lpData, nLength, IpEndpoint::FromSockAddrV4(peer), nPort, qwNowMs, sink);
    }
    int Respond(const unsigned char *lpData, int nLength, const platform::SockAddrV4 &peer, uint64_t qwNowMs,
                TftpAnswerSink &sink) {
        return Respond(lpData, nLength, IpEndpoint::FromSockAddrV4(peer), kTftpServicePort, qwNowMs, sink);
    }
    // The client's port on nPort is closed (ICMP port unreachable): its
    // transfer ends.
    void PeerGone(const IpEndpoint &peer, int32_t nPort);
    // Ends the transfers silent for at least qwIdleMs, and those whose first
    // answer went unacknowledged for kTftpFirstAckMs, but none whose client's
    // datagram waits on its port unread.
    void EndIdleTransfers(uint64_t qwNowMs, uint64_t qwIdleMs);

private:
    int OnReadRequest(const char *const *lpStrings, int nStrings, const IpEndpoint &peer, uint64_t qwNowMs,
                      TftpAnswerSink &sink);
    enum class RequestedFile { kOpened, kRefused, kNotFound, kBusy };
    // The file a read request names, rendered by the host or from the boot
    // folder, with one more user; otherwise *lpnRefusal says why.
    // *lppServed is the folder's name for it (a Pi's serial folder may fall
    // back to the root).
    RequestedFile OpenRequested(const char *lpName, const IpEndpoint &peer, const char **lppServed,
                                tag_BootFile **lppBootFile, int *lpnRefusal);
    int OnAck(unsigned wAck, TftpClientInfo *lpClient, const IpEndpoint &peer, uint64_t qwNowMs,
              TftpAnswerSink &sink);
    void OnError(unsigned wCode, const char *lpMessage, TftpClientInfo *lpClient, const IpEndpoint &peer,
                 uint64_t qwNowMs);
    int UnacknowledgedOack(const IpEndpoint &peer, char *lpName, size_t nSize);
    TftpClientInfo *FindTransfer(const IpEndpoint &peer, int32_t nPort);
    TftpClientInfo *NewTransfer(const IpEndpoint &peer, uint64_t qwNowMs);
    TftpClientInfo *AddTransfer(const IpEndpoint &peer, uint64_t qwNowMs);
    enum class PortOutcome { kOpened, kBusy, kWait };
    // kWait: every port is held, and the transfers that could give one up
    // have their clients' answers waiting; the request is best left unanswered.
    PortOutcome OpenTransferPort(TftpClientInfo *lpClient, const IpEndpoint &peer, uint64_t qwNowMs);
    int SendWindow(TftpClientInfo *lpClient, const IpEndpoint &peer, uint64_t qwNowMs, TftpAnswerSink &sink);
    bool FillBlock(TftpClientInfo *lpClient, uint32_t dwBlock, TftpSend *lpSend);
    void SendError(const IpEndpoint &peer, const char *lpMessage, TftpAnswerSink &sink, unsigned wCode = 0);
    int RefuseBusy(const IpEndpoint &peer, const char *lpName, TftpAnswerSink &sink);
    void EndUnacknowledged(uint64_t qwNowMs);
    // A datagram from the transfer's client waits on its port, not read yet.
    bool ClientAnswered(const TftpClientInfo &client);
    // Ends the transfer that has waited longest for its first
    // acknowledgement and has no answer from its client waiting, lpExcept
    // left out; false when there is none (*lpbAnswered true when some had one).
    bool EvictUnacknowledged(const TftpClientInfo *lpExcept, bool *lpbAnswered = nullptr);
    // nReason (TAVREL_REASON_*, 0 for the whole file acknowledged) is told
    // to the host's boot-event observer.
    void EndTransfer(TftpClientInfo *lpClient, const IpEndpoint &peer, int nReason);
    // Gives back the transfer's file, read-ahead area and port.
    void ReleaseHoldings(TftpClientInfo *lpClient);
    int ReadBlock(TftpClientInfo *lpClient, uint32_t dwOffset, uint32_t dwLength, void *lpOut);
    void TellEnd(const TftpClientInfo &client, const IpEndpoint &peer, int nReason) const;
    // The bytes acknowledged so far, to the boot-event observer.
    void TellProgress(TftpClientInfo *lpClient, const IpEndpoint &peer, uint64_t qwNowMs) const;

    TftpTransferPorts *m_lpPorts;
    TftpPathMtu *m_lpMtu;
    ClientTable *m_lpClients = nullptr;
    tag_BootFileTable *m_lpFiles = nullptr;
    ReadAheadPool m_ReadAhead;
    TftpRenderScratch m_RenderScratch;
    uint64_t m_qwLastSweepMs = 0;
    // Lines that datagrams cause, read requests' refusals included.
    LogRateCap m_LogCap;
    LogRateCap *m_lpLogCap = &m_LogCap;
};
