// What the TFTP service does with each datagram on UDP 69: read requests
// with option acknowledgement, then one DATA block per acknowledgement.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "log/logger.h"
#include "tftp/tftp_failure.h"
#include "tftp/tftp_packet_writer.h"
#include "tftp/tftp_server.h"

namespace {

const char *const kSourceName = "TeskTftpServer";
const char *const kRefusal = "No Such File/No Access";
constexpr int kDefaultBlockSize = 512;
enum Opcode { RRQ = 1, WRQ = 2, DATA = 3, ACK = 4, ERROR = 5, OACK = 6 };

// Strings of a received datagram, never read past its received bytes (the
// area holds a zero byte just after them).
class StringReader {
public:
    StringReader(const unsigned char *lpArea, int nLength, int nStart) : m_lpArea(lpArea), m_nLength(nLength), m_nPos(nStart) {}
    const char *Next() {
        if (m_nPos >= m_nLength) return "";
        const char *text = reinterpret_cast<const char *>(m_lpArea + m_nPos);
        m_nPos += static_cast<int>(strnlen(text, static_cast<size_t>(m_nLength - m_nPos))) + 1;
        return text;
    }

private:
    const unsigned char *m_lpArea;
    int m_nLength;
    int m_nPos;
};

// The absolute block a 16-bit acknowledgement stands for: the one nearest to
// the last block sent, so numbers keep counting after the wrap at 65535.
uint32_t NearestBlock(uint32_t dwLastBlock, unsigned wAck) {
    int64_t base = static_cast<int64_t>(dwLastBlock & ~0xFFFFu) + wAck;
    int64_t best = base;
    for (int64_t candidate : {base - 65536, base + 65536}) {
        if (candidate < 0) continue;
        if (llabs(candidate - dwLastBlock) < llabs(best - dwLastBlock)) best = candidate;
    }
    return static_cast<uint32_t>(best);
}

void PutRefusal(TftpPacketWriter &out) {
    out.PutWord(ERROR);
    out.PutWord(0);
    out.PutString(kRefusal);
}

}  // namespace

int TeskTftpServer::RecvPacket() {
    tag_TftpSend *lpSend = m_SendQueue->Mem_New();
    unsigned char area[kRecvSize + 1];
    if (!lpSend) {
        // Unread, the datagram would keep the socket from signalling again.
        platform::UdpRecvFrom(m_Socket, area, kRecvSize, nullptr);
        return LogTftpdFailure("lpTftpSend new Error", 430);
    }
    memset(area, 0, sizeof area);
    memset(lpSend->abData, 0, sizeof lpSend->abData);
    int nGot = platform::UdpRecvFrom(m_Socket, area, kRecvSize, &lpSend->stPeer);
    if (nGot <= 0) {
        m_SendQueue->Mem_Free(lpSend);
        return LogTftpdFailure("recvfrom", 235);
    }
    unsigned nOpcode = static_cast<unsigned>(area[0]) << 8 | area[1];
    clientinfo *lpClientInfo = nullptr;
    if (m_ClientHash->GetLastClient(&lpSend->stPeer.dwAddr, &lpClientInfo) != 0) {
        m_SendQueue->Mem_Free(lpSend);
        return LogTftpdFailure("m_ClientHash->GetLastClient NULL ", 247);
    }
    TftpPacketWriter out(lpSend->abData, kSendSize);
    switch (nOpcode) {
        case RRQ:
            OnReadRequest(lpClientInfo, area, nGot, out);
            break;
        case ACK:
            if (!lpClientInfo->lpBootFile) {
                m_SendQueue->Mem_Free(lpSend);
                return LogTftpdFailure("lpClientInfo->lpBootFile == NULL", 367);
            }
            PutBlock(lpClientInfo, NearestBlock(lpClientInfo->dwLastBlock, static_cast<unsigned>(area[2]) << 8 | area[3]) + 1, out);
            break;
        case ERROR: {
            StringReader strings(area, nGot, 4);
            const char *lpMessage = strings.Next();
            out.PutWord(ERROR);
            if (*lpMessage && strcmp(lpMessage, "TFTP Aborted") != 0)
                LogWriteText("error tag -%s- %s -- %d", lpMessage, kSourceName, 415);
            out.PutString(lpMessage);
            break;
        }
        case DATA:
            LogWriteText("recvfrom data %s -- %d", kSourceName, 405);
            m_SendQueue->Mem_Free(lpSend);
            return 0;
        default:
            m_SendQueue->Mem_Free(lpSend);
            LogWriteText("dont opcode %d-%s %s -- %d", static_cast<int>(nOpcode), strerror(errno), kSourceName, 424);
            return 0;
    }
    lpSend->nLength = out.Position();
    return SendPacket(lpSend);
}

void TeskTftpServer::OnReadRequest(clientinfo *lpClientInfo, const unsigned char *area, int nGot,
                                   TftpPacketWriter &out) {
    StringReader strings(area, nGot, 2);
    const char *lpName = strings.Next();
    strings.Next();  // the mode: every file goes out as stored
    const char *lpOption = strings.Next();
    const char *lpValue = strings.Next();
    lpClientInfo->lpBootFile = nullptr;
    lpClientInfo->dwBlockSize = kDefaultBlockSize;
    tag_BootFile *lpBootFile = nullptr;
    if (!*lpName || get_bootfile(m_Bootfile, lpName, &lpBootFile) != 0 || !lpBootFile) {
        PutRefusal(out);
        return;
    }
    lpClientInfo->lpBootFile = lpBootFile;
    lpClientInfo->dwLastBlock = 0;
    char value[16];
    if (strcmp(lpOption, "blksize") == 0 && *lpValue) {
        int nSize = atoi(lpValue);
        lpClientInfo->dwBlockSize = nSize < kDefaultBlockSize ? kDefaultBlockSize : nSize > kMaxBlockSize ? kMaxBlockSize : nSize;
        snprintf(value, sizeof value, "%d", lpClientInfo->dwBlockSize);
    } else if (strcmp(lpOption, "tsize") == 0) {
        snprintf(value, sizeof value, "%u", lpBootFile->dwSize);
    } else if (strcmp(lpOption, "timeout") == 0) {
        snprintf(value, sizeof value, "5");  // no timer is kept, whatever was asked
    } else {
        // No option to acknowledge: the transfer starts at once, as without options.
        PutBlock(lpClientInfo, 1, out);
        return;
    }
    out.PutWord(OACK);
    out.PutString(lpOption);
    out.PutByte(0);
    out.PutString(value);
    out.PutByte(0);
}

// DATA for the absolute block n (1 is the first); its wire number rolls over
// to 0 after 65535.
void TeskTftpServer::PutBlock(clientinfo *lpClientInfo, uint32_t dwBlock, TftpPacketWriter &out) {
    lpClientInfo->dwLastBlock = dwBlock;
    unsigned wBlock = dwBlock & 0xFFFF;
    uint64_t qwOffset = static_cast<uint64_t>(lpClientInfo->dwBlockSize) * (dwBlock - 1);
    uint32_t dwSize = lpClientInfo->lpBootFile->dwSize;
    if (qwOffset > dwSize) {
        out.PutWord(DATA);
        out.PutWord(wBlock);
        return;
    }
    uint32_t dwOffset = static_cast<uint32_t>(qwOffset);
    uint32_t dwLength = dwSize - dwOffset < static_cast<uint32_t>(lpClientInfo->dwBlockSize)
                            ? dwSize - dwOffset
                            : static_cast<uint32_t>(lpClientInfo->dwBlockSize);
    unsigned char block[kMaxBlockSize];
    if (read_bootfile(lpClientInfo->lpBootFile, dwOffset, dwLength, block) != 0) {
        PutRefusal(out);
        return;
    }
    out.MakeData(wBlock, block, static_cast<int>(dwLength));
}

int TeskTftpServer::SendPacket(tag_TftpSend *lpSend) {
    if (!lpSend) return 0;
    // A length of -1 marks an answer that overflowed its area: never sent.
    int nSent = lpSend->nLength < 0 ? -1 : platform::UdpSendTo(m_Socket, lpSend->abData, lpSend->nLength, lpSend->stPeer);
    m_SendQueue->Mem_Free(lpSend);
    if (nSent <= 0) return LogTftpdFailure("sendto", 449);
    return 0;
}
