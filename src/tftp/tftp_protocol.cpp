// The TFTP service's socket side: each datagram on UDP 69 is received into
// a pooled record and handed to the responder, whose answers leave from the
// same socket.
#include <cstring>

#include "tftp/tftp_failure.h"
#include "tftp/tftp_server.h"

namespace {

// Answers go out through the server's socket; the record the datagram was
// received into serves the first answer.
class SocketSink final : public TftpAnswerSink {
public:
    SocketSink(TeskTftpServer *lpServer, TeskMemQueue<TftpSend> *lpQueue, TftpSend *lpFirst)
        : m_lpServer(lpServer), m_lpQueue(lpQueue), m_lpFirst(lpFirst) {}
    ~SocketSink() {
        if (m_lpFirst) m_lpQueue->Mem_Free(m_lpFirst);
    }
    TftpSend *NewAnswer() override {
        TftpSend *lpSend = m_lpFirst ? m_lpFirst : m_lpQueue->Mem_New();
        m_lpFirst = nullptr;
        return lpSend;
    }
    int SendAnswer(TftpSend *lpSend) override { return m_lpServer->SendPacket(lpSend); }

private:
    TeskTftpServer *m_lpServer;
    TeskMemQueue<TftpSend> *m_lpQueue;
    TftpSend *m_lpFirst;
};

}  // namespace

int TeskTftpServer::RecvPacket() {
    tag_TftpSend *lpSend = m_SendQueue->Mem_New();
    unsigned char area[kRecvSize];
    if (!lpSend) {
        // Unread, the datagram would keep the socket from signalling again.
        platform::UdpRecvFrom(m_Socket, area, kRecvSize, nullptr);
        return LogTftpdFailure("lpTftpSend new Error", 430);
    }
    platform::SockAddrV4 peer{};
    int nGot = platform::UdpRecvFrom(m_Socket, area, kRecvSize, &peer);
    if (nGot <= 0) {
        m_SendQueue->Mem_Free(lpSend);
        return LogTftpdFailure("recvfrom", 235);
    }
    SocketSink sink(this, m_SendQueue, lpSend);
    return m_Responder.Respond(area, nGot, peer, platform::MonotonicMs(), sink);
}

int TeskTftpServer::SendPacket(tag_TftpSend *lpSend) {
    if (!lpSend) return 0;
    // A length of -1 marks an answer that overflowed its area: never sent.
    int nSent = lpSend->nLength < 0 ? -1 : platform::UdpSendTo(m_Socket, lpSend->abData, lpSend->nLength, lpSend->stPeer);
    m_SendQueue->Mem_Free(lpSend);
    if (nSent <= 0) return LogTftpdFailure("sendto", 449);
    return 0;
}
