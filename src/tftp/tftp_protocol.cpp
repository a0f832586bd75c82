// What the TFTP service does with each datagram on UDP 69.
#include "log/logger.h"
#include "tftp/tftp_server.h"

// The transfer protocol is not written yet: each datagram is read and dropped.
int TeskTftpServer::RecvPacket() {
    unsigned char area[kRecvSize];
    platform::SockAddrV4 peer{};
    platform::UdpRecvFrom(m_Socket, area, sizeof area, &peer);
    return -1;
}

int TeskTftpServer::SendPacket(tag_TftpSend *lpSend) {
    if (!lpSend) return 0;
    int nSent = platform::UdpSendTo(m_Socket, lpSend->abData, lpSend->nLength, lpSend->stPeer);
    m_SendQueue->Mem_Free(lpSend);
    if (nSent <= 0) {
        LogWriteText("Tftpd:%s:lasterror:%d line %d", "sendto", platform::SocketLastError(), 449);
        return -1;
    }
    return 0;
}
