// The TFTP read protocol without sockets: a received datagram and the
// client's state in, answers out. The service frame feeds it from UDP 69;
// tests and the fuzzer feed it directly.
#pragma once

#include <cstdint>

#include "containers/ip_hash.h"
#include "platform/platform.h"
#include "tftp/boot_file_table.h"

constexpr int kTftpRecvSize = 1500;
constexpr int kTftpMaxBlockSize = 1500;
// A transfer silent this long is over: its client has given up.
constexpr uint64_t kTftpIdleMs = 30000;

// One transfer, kept under the client's IPv4 address. Only a read request
// creates it; the end of the transfer, an ERROR from its port or a long
// silence removes it.
struct TftpClientInfo {
    int32_t dwBlockSize;
    tag_BootFile *lpBootFile;
    uint32_t dwLastBlock;  // absolute number of the highest block sent
    uint32_t dwSize;       // the file's size when the transfer began
    uint16_t wPort;        // the transfer identifier: the port that asked (network order)
    uint16_t wWindow;      // blocks sent per acknowledgement
    uint64_t qwLastSeenMs;
};

// One answer datagram under construction: header plus the largest block.
struct TftpSend {
    unsigned char abData[4 + kTftpMaxBlockSize];
    int32_t nLength;  // -1 when building the answer overflowed
    platform::SockAddrV4 stPeer;
};

// Where answers go: records come from the sink and go back through it.
class TftpAnswerSink {
public:
    // A record for one more answer; null when none can be had.
    virtual TftpSend *NewAnswer() = 0;
    // Sends nLength bytes of the record to its stPeer and takes it back.
    virtual int SendAnswer(TftpSend *lpSend) = 0;

protected:
    ~TftpAnswerSink() = default;
};

class TftpResponder {
public:
    using ClientTable = TeskIpHash<TftpClientInfo>;

    // The tables the answers are built from; the service owns them.
    void Attach(ClientTable *lpClients, tag_BootFileTable *lpFiles) {
        m_lpClients = lpClients;
        m_lpFiles = lpFiles;
    }
    // One datagram of nLength bytes from peer, received at qwNowMs. Returns
    // -1 after writing a failure line, else 0.
    int Respond(const unsigned char *lpData, int nLength, const platform::SockAddrV4 &peer, uint64_t qwNowMs,
                TftpAnswerSink &sink);
    // Ends the transfers silent for at least qwIdleMs.
    void EndIdleTransfers(uint64_t qwNowMs, uint64_t qwIdleMs);

private:
    int OnReadRequest(const char *const *lpStrings, int nStrings, const platform::SockAddrV4 &peer, uint64_t qwNowMs,
                      TftpAnswerSink &sink);
    int OnAck(unsigned wAck, const platform::SockAddrV4 &peer, uint64_t qwNowMs, TftpAnswerSink &sink);
    void OnError(const char *lpMessage, const platform::SockAddrV4 &peer, uint64_t qwNowMs);
    bool MayLog(uint64_t qwNowMs);
    TftpClientInfo *NewTransfer(const platform::SockAddrV4 &peer, uint64_t qwNowMs);
    bool FillBlock(TftpClientInfo *lpClient, uint32_t dwBlock, TftpSend *lpSend);
    void SendRefusal(const platform::SockAddrV4 &peer, TftpAnswerSink &sink);
    void EndTransfer(TftpClientInfo *lpClient, uint32_t dwAddr);

    ClientTable *m_lpClients = nullptr;
    tag_BootFileTable *m_lpFiles = nullptr;
    uint64_t m_qwLastSweepMs = 0;
    uint64_t m_qwLogWindowMs = 0;
    int m_nLogLines = 0;
};
