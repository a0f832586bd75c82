// The TFTP service's socket side: one wait covers UDP 69 and every
// transfer's port; each datagram goes to the responder, whose answers are
// gathered and sent together, a whole window in one call where the system
// has one.
#include "tftp/tftp_failure.h"
#include "tftp/tftp_server.h"

// The answers of one datagram, kept in the server's batch until it is sent.
class TeskTftpServer::BatchSink final : public TftpAnswerSink {
public:
    explicit BatchSink(TeskTftpServer *lpServer) : m_lpServer(lpServer) {}
    ~BatchSink() { m_lpServer->SendBatch(); }
    // A datagram draws at most a window and a refusal, which the batch holds.
    TftpSend *NewAnswer() override {
        return m_lpServer->m_nBatched < kBatchSize ? &m_lpServer->m_lpBatch[m_lpServer->m_nBatched] : nullptr;
    }
    int SendAnswer(TftpSend *lpSend) override {
        if (lpSend == &m_lpServer->m_lpBatch[m_lpServer->m_nBatched]) ++m_lpServer->m_nBatched;
        return 0;
    }

private:
    TeskTftpServer *m_lpServer;
};

// The stop event comes first in every wait; ready ports are served one
// datagram each, in turn, before the next wait.
void TeskTftpServer::ServeUntilStopped() {
    uint32_t aReady[64];
    for (;;) {
        int nReady = platform::SocketSetWait(m_hSocketSet, kWaitPeriod, aReady, 64);
        if (nReady == 0) return;
        if (nReady == platform::kWaitTimedOut) OnWaitPeriod();
        const uint64_t qwNowMs = nReady > 0 ? platform::MonotonicMs() : 0;
        for (int i = 0; i < nReady; ++i) {
            if (aReady[i] == kTftpServicePort)
                ServeServicePort(qwNowMs);
            else
                ServeTransferPort(static_cast<int32_t>(aReady[i]), qwNowMs);
        }
        CloseEndedPorts();
    }
}

// IPv4 as it always was; IPv6 learns the sender's scope too.
int TeskTftpServer::ReceiveOnServicePort(unsigned char *lpArea, IpEndpoint *lpPeer) {
    if (m_Server.IsV6()) {
        platform::UdpArrival arrival;
        int nGot = platform::UdpReceive(m_Socket, lpArea, kRecvSize, &arrival);
        *lpPeer = arrival.stFrom;
        return nGot;
    }
    platform::SockAddrV4 peer{};
    int nGot = platform::UdpRecvFrom(m_Socket, lpArea, kRecvSize, &peer);
    *lpPeer = IpEndpoint::FromSockAddrV4(peer);
    return nGot;
}

// Up to kServiceBatch requests a wake: UDP 69 is one of the thousands of
// ports ready at once while a fleet powers on, and one request per wake
// would let the requests overflow its buffer while the ACKs are served.
void TeskTftpServer::ServeServicePort(uint64_t qwNowMs) {
    unsigned char area[kRecvSize];
    for (int i = 0; i < kServiceBatch; ++i) {
        IpEndpoint peer;
        int nGot = ReceiveOnServicePort(area, &peer);
        if (nGot == platform::kNothingToRead) return;  // another worker read it first
        if (nGot <= 0) {
            if (i == 0) LogTftpdFailure("recvfrom", 235);  // after the first: none left
            return;
        }
        BatchSink sink(this);
        m_Responder.Respond(area, nGot, peer, kTftpServicePort, qwNowMs, sink);
    }
}

void TeskTftpServer::ServeTransferPort(int32_t nPort, uint64_t qwNowMs) {
    if (nPort < 1 || nPort > m_nMaxPorts) return;
    TransferPort &port = m_lpPorts[nPort - 1];
    if (port.sock == platform::kInvalidSocket) return;
    unsigned char area[kRecvSize];
    int nGot = platform::UdpRecv(port.sock, area, kRecvSize);
    if (nGot == platform::kPeerRefused) {
        m_Responder.PeerGone(port.stPeer, nPort);
        return;
    }
    if (nGot <= 0) return;  // nothing after all, or a datagram too long for any client
    BatchSink sink(this);
    m_Responder.Respond(area, nGot, port.stPeer, nPort, qwNowMs, sink);
}

// Runs of answers for one transfer port go out in one call; answers from
// UDP 69 one by one, each to its own client. A length of -1 marks an answer
// that overflowed its area: never sent.
void TeskTftpServer::SendBatch() {
    for (int nStart = 0; nStart < m_nBatched;) {
        int32_t nPort = m_lpBatch[nStart].nPort;
        int nEnd = nStart;
        while (nEnd < m_nBatched && m_lpBatch[nEnd].nPort == nPort) ++nEnd;
        if (nPort == kTftpServicePort)
            SendFromServicePort(m_lpBatch + nStart, nEnd - nStart);
        else
            SendFromTransferPort(nPort, m_lpBatch + nStart, nEnd - nStart);
        nStart = nEnd;
    }
    m_nBatched = 0;
}

void TeskTftpServer::SendFromServicePort(const TftpSend *lpAnswers, int nCount) {
    for (int i = 0; i < nCount; ++i) {
        const TftpSend &answer = lpAnswers[i];
        if (answer.nLength < 0 || platform::UdpSendFrom(m_Socket, answer.abData, answer.nLength, answer.stPeer, IpAddress()) <= 0)
            LogTftpdFailure("sendto", 449);
    }
}

// A closed client port (ICMP port unreachable) may show here first.
void TeskTftpServer::SendFromTransferPort(int32_t nPort, const TftpSend *lpAnswers, int nCount) {
    platform::OutDatagram datagrams[kBatchSize];
    int nReady = 0;
    for (int i = 0; i < nCount; ++i)
        if (lpAnswers[i].nLength >= 0) datagrams[nReady++] = platform::OutDatagram{lpAnswers[i].abData, lpAnswers[i].nLength};
    const TransferPort &port = m_lpPorts[nPort - 1];
    if (nReady == 0 || port.sock == platform::kInvalidSocket) return;
    int nResult = platform::UdpSendBatch(port.sock, datagrams, nReady);
    if (nResult == platform::kPeerRefused)
        m_Responder.PeerGone(port.stPeer, nPort);
    else if (nResult < nReady)
        LogTftpdFailure("sendto", 449);
}
