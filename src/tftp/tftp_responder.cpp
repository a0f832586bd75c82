#include "tftp/tftp_responder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "boot/quirks.h"
#include "events/boot_events.h"
#include "log/logger.h"
#include "platform/byte_order.h"
#include "tftp/pi_serial_folder.h"
#include "tftp/tftp_failure.h"
#include "tftp/tftp_packet_writer.h"

namespace {

const char *const kSourceName = "TeskTftpServer";
const char *const kRefusal = "No Such File/No Access";
// What a request that finds no room for its transfer gets.
const char *const kBusy = "Server Busy";
// What a name the host's renderer knows nothing of gets (RFC 1350 error 1).
const char *const kNotFound = "File not found";
constexpr unsigned kErrorNotFound = 1;
enum Opcode { RRQ = 1, WRQ = 2, DATA = 3, ACK = 4, ERROR = 5, OACK = 6 };
// RFC 2347's ERROR code of a client that ends the transfer after the OACK.
constexpr unsigned kOptionRefusedCode = 8;
constexpr int kDefaultBlockSize = 512;
constexpr int kMinBlockSize = 8;        // RFC 2348
// IP, UDP and TFTP headers: an IPv6 header is 40 bytes, not 20.
constexpr int kPathHeadersV4 = 20 + 8 + 4;
constexpr int kPathHeadersV6 = 40 + 8 + 4;
constexpr int kEthernetMtu = 1500;      // when the interface cannot be told
constexpr int kMaxStrings = 2 + 2 * 16;  // name, mode and options
// With the table full, transfers silent this long give way to new ones, at
// most one sweep per period.
constexpr uint64_t kCrowdedIdleMs = 5000;
constexpr uint64_t kSweepPeriodMs = 1000;
// A repeated acknowledgement draws its window again at most once this
// often (RFC 1123's Sorcerer's Apprentice rule): a flood of forged ones
// cannot multiply the blocks, and a client whose blocks were lost gets them
// again on its next retry.
constexpr uint64_t kResendGapMs = 1000;

// The strings of a received datagram: the area holds a zero byte just after
// the received bytes, so none is read past them.
int SplitStrings(const unsigned char *lpArea, int nLength, int nStart, const char **lpStrings) {
    int n = 0;
    for (int nPos = nStart; nPos < nLength && n < kMaxStrings; ++n) {
        lpStrings[n] = reinterpret_cast<const char *>(lpArea + nPos);
        nPos += static_cast<int>(strnlen(lpStrings[n], static_cast<size_t>(nLength - nPos))) + 1;
    }
    return n;
}

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

// Blocks of a transfer: the last one is shorter than the block size, empty
// when the size is a multiple of it.
uint32_t BlockCount(const TftpClientInfo *lpClient) {
    return lpClient->dwSize / static_cast<uint32_t>(lpClient->dwBlockSize) + 1;
}

// ---- Options: each accepted one is acknowledged with the value written.

// What the rules may ask about the client beside its request.
struct OptionContext {
    IpAddress peer;
    TftpPathMtu *lpMtu;
};

using OptionRule = bool (*)(const char *lpValue, TftpClientInfo *lpClient, const OptionContext &context,
                            char *lpAck, size_t size);

// Never larger than asked, and no DATA larger than the path carries.
bool SetBlockSize(const char *lpValue, TftpClientInfo *lpClient, const OptionContext &context, char *lpAck,
                  size_t size) {
    int nAsked = atoi(lpValue);
    if (nAsked < kMinBlockSize) return false;
    int nMtu = context.lpMtu ? context.lpMtu->MtuTo(context.peer) : 0;
    int nCeiling = (nMtu > 0 ? nMtu : kEthernetMtu) - (context.peer.IsV6() ? kPathHeadersV6 : kPathHeadersV4);
    if (nCeiling > kTftpMaxBlockSize) nCeiling = kTftpMaxBlockSize;
    if (nCeiling < kMinBlockSize) return false;
    lpClient->dwBlockSize = nAsked < nCeiling ? nAsked : nCeiling;
    lpClient->nLoweredFrom = nAsked > nCeiling ? nAsked : 0;
    snprintf(lpAck, size, "%d", lpClient->dwBlockSize);
    return true;
}

bool ReportSize(const char *, TftpClientInfo *lpClient, const OptionContext &, char *lpAck, size_t size) {
    snprintf(lpAck, size, "%u", lpClient->dwSize);
    return true;
}

// The service keeps no timer: the value asked is acknowledged as RFC 2349
// requires, and the client's own retransmissions drive recovery.
bool EchoTimeout(const char *lpValue, TftpClientInfo *, const OptionContext &, char *lpAck, size_t size) {
    int nSeconds = atoi(lpValue);
    if (nSeconds < 1 || nSeconds > 255) return false;
    snprintf(lpAck, size, "%d", nSeconds);
    return true;
}

// A larger window is answered with the largest served: more would only flood
// a slow client.
bool SetWindow(const char *lpValue, TftpClientInfo *lpClient, const OptionContext &, char *lpAck, size_t size) {
    long nWindow = strtol(lpValue, nullptr, 10);
    if (nWindow < 1) return false;
    if (nWindow > kTftpMaxWindow) nWindow = kTftpMaxWindow;
    lpClient->wWindow = static_cast<uint16_t>(nWindow);
    snprintf(lpAck, size, "%d", lpClient->wWindow);
    return true;
}

// Names compare exactly, as the service always has.
const struct {
    const char *lpName;
    OptionRule Apply;
} kOptions[] = {{"blksize", SetBlockSize}, {"tsize", ReportSize}, {"timeout", EchoTimeout}, {"windowsize", SetWindow}};

// The blksize a request asks, 0 for none.
int AskedBlockSize(const char *const *lpStrings, int nStrings) {
    for (int i = 2; i + 1 < nStrings; i += 2)
        if (strcmp(lpStrings[i], "blksize") == 0) return atoi(lpStrings[i + 1]);
    return 0;
}

// ERROR 0 (or wCode) with its message, zero-terminated as RFC 1350 has it.
void PutRefusal(TftpSend *lpSend, const char *lpMessage = kRefusal, unsigned wCode = 0) {
    TftpPacketWriter out(lpSend->abData, static_cast<int>(sizeof lpSend->abData));
    out.PutWord(ERROR);
    out.PutWord(wCode);
    out.PutString(lpMessage);
    out.PutByte(0);
    lpSend->nLength = out.Position();
}

}  // namespace

int TftpResponder::Respond(const unsigned char *lpData, int nLength, const IpEndpoint &peer,
                           int32_t nPort, uint64_t qwNowMs, TftpAnswerSink &sink) {
    if (nLength <= 0) return 0;
    LogCapScope scope(*m_lpLogCap, qwNowMs);
    QuirkScope quirkScope;
    if (nLength > kTftpRecvSize) nLength = kTftpRecvSize;
    // The header is zero past the datagram, so a one-byte datagram reads as
    // its high byte. An acknowledgement, every block of a transfer, needs
    // nothing more; the strings of a request or an error are read from a
    // copy that ends in a zero byte.
    unsigned char header[4] = {};
    memcpy(header, lpData, static_cast<size_t>(nLength < 4 ? nLength : 4));
    unsigned nOpcode = platform::ReadNet16(header);
    if (nOpcode == ACK) return OnAck(platform::ReadNet16(header + 2), FindTransfer(peer, nPort), peer, qwNowMs, sink);
    unsigned char area[kTftpRecvSize + 1];
    memcpy(area, lpData, static_cast<size_t>(nLength));
    area[nLength] = 0;
    const char *lpStrings[kMaxStrings];
    switch (nOpcode) {
        case RRQ:
            // A transfer's own port takes no new request.
            if (nPort != kTftpServicePort) return 0;
            return OnReadRequest(lpStrings, SplitStrings(area, nLength, 2, lpStrings), peer, qwNowMs, sink);
        case ERROR:
            OnError(platform::ReadNet16(header + 2), SplitStrings(area, nLength, 4, lpStrings) > 0 ? lpStrings[0] : "",
                    FindTransfer(peer, nPort), peer, qwNowMs);
            return 0;
        case DATA:
            LogWriteText("recvfrom data %s -- %d", kSourceName, 405);
            return 0;
        default:
            LogWriteText("dont opcode %d-%s %s -- %d", static_cast<int>(nOpcode), strerror(errno), kSourceName, 424);
            return 0;
    }
}

void TftpResponder::PeerGone(const IpEndpoint &peer, int32_t nPort) {
    if (TftpClientInfo *lpClient = FindTransfer(peer, nPort)) EndTransfer(lpClient, peer, TAVREL_REASON_CLIENT_ERROR);
}

// Only the address and port that asked for a transfer may drive it, and only
// through the port the transfer answers from.
TftpClientInfo *TftpResponder::FindTransfer(const IpEndpoint &peer, int32_t nPort) {
    TftpClientInfo *lpClient = nullptr;
    if (m_lpClients->Find(peer, &lpClient) != 0 || !lpClient || lpClient->nPort != nPort) return nullptr;
    return lpClient;
}

int TftpResponder::OnReadRequest(const char *const *lpStrings, int nStrings, const IpEndpoint &peer,
                                 uint64_t qwNowMs, TftpAnswerSink &sink) {
    const char *lpName = nStrings > 0 ? lpStrings[0] : "";
    char previous[kBootFileNameSize] = {};
    int nLoweredFrom = UnacknowledgedOack(peer, previous, sizeof previous);
    TftpClientInfo *lpClient = NewTransfer(peer, qwNowMs);
    if (!lpClient) return RefuseBusy(peer, lpName, sink);
    tag_BootFile *lpBootFile = nullptr;
    int nRefusal = TAVREL_REASON_NAME_REFUSED;
    const char *lpServed = lpName;
    RequestedFile opened = OpenRequested(lpName, peer, &lpServed, &lpBootFile, &nRefusal);
    if (opened != RequestedFile::kOpened) {
        if (BootEventsWanted()) EmitTftpRefused(peer.Address(), lpName, nRefusal);
        EndTransfer(lpClient, peer, nRefusal);
        if (opened == RequestedFile::kNotFound) SendError(peer, kNotFound, sink, kErrorNotFound);
        else SendError(peer, opened == RequestedFile::kBusy ? kBusy : kRefusal, sink);
        return 0;
    }
    lpClient->lpBootFile = lpBootFile;
    lpClient->dwSize = lpBootFile->dwSize;
    PortOutcome port = OpenTransferPort(lpClient, peer, qwNowMs);
    if (port != PortOutcome::kOpened) {
        if (port == PortOutcome::kBusy) SendError(peer, kBusy, sink);
        return -1;
    }
    // Noted once no other transfer can end in this datagram, so that no
    // other's event carries them.
    if (lpServed != lpName) NoteQuirk(Quirk::kPiSerialFolder, qwNowMs);
    // The client dropped an OACK with a smaller blksize than it asked and
    // asks the same again: it gets the file with none of the options.
    if (nLoweredFrom && strcmp(previous, lpServed) == 0 && AskedBlockSize(lpStrings, nStrings) == nLoweredFrom) {
        NoteQuirk(Quirk::kResentRequest, qwNowMs);
        nStrings = 2;
    }
    // Strings 2, 3 and on are option names and values; the mode is not
    // examined (every file goes out as stored).
    TftpSend *lpSend = sink.NewAnswer();
    if (!lpSend) return LogTftpdFailure("lpTftpSend new Error", 430);
    lpSend->stPeer = peer;
    lpSend->nPort = lpClient->nPort;
    TftpPacketWriter out(lpSend->abData, static_cast<int>(sizeof lpSend->abData));
    out.PutWord(OACK);
    unsigned nAccepted = 0;
    const OptionContext context{peer.Address(), m_lpMtu};
    for (int i = 2; i < nStrings; i += 2) {
        const char *lpValue = i + 1 < nStrings ? lpStrings[i + 1] : "";
        for (unsigned nRule = 0; nRule < sizeof kOptions / sizeof kOptions[0]; ++nRule) {
            char value[16];
            if (strcmp(lpStrings[i], kOptions[nRule].lpName) != 0 || (nAccepted & (1u << nRule))) continue;
            if (!kOptions[nRule].Apply(lpValue, lpClient, context, value, sizeof value)) continue;
            nAccepted |= 1u << nRule;
            out.PutString(lpStrings[i]);
            out.PutByte(0);
            out.PutString(value);
            out.PutByte(0);
        }
    }
    if (BootEventsWanted())
        EmitTftpStarted(peer.Address(), lpName, lpClient->dwSize, lpClient->dwBlockSize, lpClient->wWindow);
    if (nAccepted) {
        lpSend->nLength = out.Position();
        sink.SendAnswer(lpSend);
        return 0;
    }
    // Nothing to acknowledge: the transfer starts at once.
    lpClient->bWindowOut = true;
    lpClient->qwWindowOutMs = qwNowMs;
    bool bRead = FillBlock(lpClient, 1, lpSend);
    sink.SendAnswer(lpSend);
    if (!bRead) EndTransfer(lpClient, peer, TAVREL_REASON_READ_FAILED);
    return 0;
}

// A name the boot folder rules accept goes to the host's renderer first,
// then, unless the host renders it or knows it is none of its own, to the
// folder.
TftpResponder::RequestedFile TftpResponder::OpenRequested(const char *lpName, const IpEndpoint &peer,
                                                          const char **lppServed, tag_BootFile **lppBootFile,
                                                          int *lpnRefusal) {
    if (!*lpName) return RequestedFile::kRefused;
    if (TftpRenderRegistered() && !RefuseBootFileName(lpName)) {
        RenderedBytes rendered;
        switch (RenderTftpFile(lpName, peer, m_RenderScratch, &rendered)) {
        case TftpRenderOutcome::kRendered:
            if (add_rendered_bootfile(m_lpFiles, lpName, &rendered, lppBootFile) == 0) return RequestedFile::kOpened;
            *lpnRefusal = TAVREL_REASON_BUSY;
            return RequestedFile::kBusy;
        case TftpRenderOutcome::kNotFound: *lpnRefusal = TAVREL_REASON_NOT_FOUND; return RequestedFile::kNotFound;
        case TftpRenderOutcome::kBusy: *lpnRefusal = TAVREL_REASON_BUSY; return RequestedFile::kBusy;
        case TftpRenderOutcome::kNotMine: break;
        }
    }
    // A Raspberry Pi's "<serial>/" names fall back to the root.
    *lppServed = PiServedName(m_lpFiles, lpName);
    if (get_bootfile(m_lpFiles, *lppServed, lppBootFile, lpnRefusal) != 0 || !*lppBootFile)
        return RequestedFile::kRefused;
    return RequestedFile::kOpened;
}

int TftpResponder::OnAck(unsigned wAck, TftpClientInfo *lpClient, const IpEndpoint &peer, uint64_t qwNowMs,
                         TftpAnswerSink &sink) {
    if (!lpClient) return LogTftpdFailure("lpClientInfo->lpBootFile == NULL", 367);
    m_lpClients->Acknowledged(lpClient);
    uint32_t dwAcked = NearestBlock(lpClient->dwLastBlock, wAck);
    lpClient->qwLastSeenMs = qwNowMs;
    if (dwAcked >= BlockCount(lpClient)) {
        EndTransfer(lpClient, peer, TAVREL_REASON_NONE);
        return 0;
    }
    if (lpClient->bWindowOut) {
        // An older acknowledgement, overtaken by a later one, asks nothing.
        if (dwAcked < lpClient->dwAcked) return 0;
        if (dwAcked == lpClient->dwAcked && qwNowMs - lpClient->qwWindowOutMs < kResendGapMs) return 0;
    }
    lpClient->dwAcked = dwAcked;
    if (qwNowMs - lpClient->qwToldMs >= kTftpProgressMs && lpClient->lpBootFile && BootEventsWanted())
        TellProgress(lpClient, peer, qwNowMs);
    return SendWindow(lpClient, peer, qwNowMs, sink);
}

// The window after the block acknowledged last: an acknowledgement within
// the previous window restarts it there (RFC 7440).
int TftpResponder::SendWindow(TftpClientInfo *lpClient, const IpEndpoint &peer, uint64_t qwNowMs,
                              TftpAnswerSink &sink) {
    lpClient->bWindowOut = true;
    lpClient->qwWindowOutMs = qwNowMs;
    uint32_t dwBlocks = BlockCount(lpClient);
    uint32_t dwFirst = lpClient->dwAcked + 1;
    uint32_t dwLast = dwFirst - 1 + lpClient->wWindow < dwBlocks ? dwFirst - 1 + lpClient->wWindow : dwBlocks;
    for (uint32_t dwBlock = dwFirst; dwBlock <= dwLast; ++dwBlock) {
        TftpSend *lpSend = sink.NewAnswer();
        if (!lpSend) return LogTftpdFailure("lpTftpSend new Error", 430);
        lpSend->stPeer = peer;
        lpSend->nPort = lpClient->nPort;
        bool bRead = FillBlock(lpClient, dwBlock, lpSend);
        sink.SendAnswer(lpSend);
        if (!bRead) {
            EndTransfer(lpClient, peer, TAVREL_REASON_READ_FAILED);
            break;
        }
    }
    return 0;
}

// The file of peer's transfer whose OACK with a lowered blksize is still
// unacknowledged, by the name it was opened under, and the blksize it
// asked; 0 when there is none.
int TftpResponder::UnacknowledgedOack(const IpEndpoint &peer, char *lpName, size_t nSize) {
    TftpClientInfo *lpClient = nullptr;
    if (m_lpClients->Find(peer, &lpClient) != 0 || !lpClient || !lpClient->lpBootFile || lpClient->bWindowOut)
        return 0;
    snprintf(lpName, nSize, "%s", lpClient->lpBootFile->szFileName);
    return lpClient->nLoweredFrom;
}

void TftpResponder::OnError(unsigned wCode, const char *lpMessage, TftpClientInfo *lpClient, const IpEndpoint &peer,
                            uint64_t qwNowMs) {
    // Firmware that asks for the size, or probes whether the file exists,
    // ends the transfer before its first block: no failure.
    if (lpClient && lpClient->lpBootFile && lpClient->dwAcked == 0)
        NoteQuirk(wCode == kOptionRefusedCode && !lpClient->bWindowOut ? Quirk::kSizeProbe : Quirk::kEarlyAbort,
                  qwNowMs);
    // Compatibility: iPXE ends every transfer it no longer needs this way.
    if (*lpMessage && strcmp(lpMessage, "TFTP Aborted") != 0)
        LogWriteText("error tag -%s- %s -- %d", PrintableText(lpMessage).Text(), kSourceName, 415);
    // Never answered: an answer to an ERROR could start a loop between two
    // servers. It ends the transfer it reached.
    if (lpClient) EndTransfer(lpClient, peer, TAVREL_REASON_CLIENT_ERROR);
}

// A fresh record for the address and port, null when there is no room for
// it; an earlier transfer of theirs on this responder ends, but its port
// stays theirs: a request repeated while the first answer was on its way
// (iPXE asks again after 0.25 s) is answered from the port the client has
// already taken as the transfer's, so its ACK reaches the new transfer.
TftpClientInfo *TftpResponder::NewTransfer(const IpEndpoint &peer, uint64_t qwNowMs) {
    if (qwNowMs - m_qwLastSweepMs >= kTftpIdleMs)
        EndIdleTransfers(qwNowMs, kTftpIdleMs);
    else
        EndUnacknowledged(qwNowMs);
    TftpClientInfo *lpClient = nullptr;
    int32_t nKeptPort = kTftpServicePort;
    if (m_lpClients->Find(peer, &lpClient) == 0 && lpClient) {
        nKeptPort = lpClient->nPort;
        lpClient->nPort = kTftpServicePort;
        ReleaseHoldings(lpClient);
        m_lpClients->Remove(peer);
    }
    if (m_lpClients->TransfersFrom(peer.Address()) >= kTftpTransfersPerSource) {
        LogTftpdFailure("transfers per source", 248);
        lpClient = nullptr;
    } else {
        lpClient = AddTransfer(peer, qwNowMs);
    }
    if (!lpClient) {
        if (m_lpPorts && nKeptPort != kTftpServicePort) m_lpPorts->ClosePort(nKeptPort);
        return nullptr;
    }
    // Pool slots keep their last user's bytes: every field is set here.
    *lpClient = TftpClientInfo{};
    lpClient->dwBlockSize = kDefaultBlockSize;
    lpClient->wWindow = 1;
    lpClient->qwLastSeenMs = qwNowMs;
    lpClient->qwStartMs = qwNowMs;
    lpClient->qwToldMs = qwNowMs;
    lpClient->nPort = nKeptPort;
    return lpClient;
}

// With the table full, a transfer whose first answer is still
// unacknowledged gives its record up first, else transfers silent for a
// while do.
TftpClientInfo *TftpResponder::AddTransfer(const IpEndpoint &peer, uint64_t qwNowMs) {
    TftpClientInfo *lpClient = nullptr;
    if (m_lpClients->Add(peer, &lpClient) == 0) return lpClient;
    if (EvictUnacknowledged(nullptr) && m_lpClients->Add(peer, &lpClient) == 0) return lpClient;
    if (qwNowMs - m_qwLastSweepMs >= kSweepPeriodMs) {
        EndIdleTransfers(qwNowMs, kCrowdedIdleMs);
        if (m_lpClients->Add(peer, &lpClient) == 0) return lpClient;
    }
    LogTftpdFailure("m_ClientHash->GetLastClient NULL ", 247);
    return nullptr;
}

// With the ports all taken, a transfer whose first answer is still
// unacknowledged gives its port up, else transfers silent for a while do;
// while those have their clients' answers waiting the request waits for its
// resend.
// A port that cannot be opened toward the peer (an address no route
// reaches) costs no other transfer its port.
TftpResponder::PortOutcome TftpResponder::OpenTransferPort(TftpClientInfo *lpClient, const IpEndpoint &peer,
                                                           uint64_t qwNowMs) {
    if (!m_lpPorts || lpClient->nPort != kTftpServicePort) return PortOutcome::kOpened;
    int32_t nPort = m_lpPorts->OpenPort(peer);
    bool bAnswered = false;
    if (nPort == TftpTransferPorts::kAllTaken && EvictUnacknowledged(lpClient, &bAnswered))
        nPort = m_lpPorts->OpenPort(peer);
    if (nPort == TftpTransferPorts::kAllTaken && qwNowMs - m_qwLastSweepMs >= kSweepPeriodMs) {
        EndIdleTransfers(qwNowMs, kCrowdedIdleMs);
        nPort = m_lpPorts->OpenPort(peer);
    }
    if (nPort < 0) {
        // Refused before it started, as a request without a record is.
        if (BootEventsWanted()) EmitTftpRefused(peer.Address(), lpClient->lpBootFile->szFileName, TAVREL_REASON_BUSY);
        ReleaseHoldings(lpClient);
        m_lpClients->Remove(peer);
        LogTftpdFailure("no transfer port", 250);
        return nPort == TftpTransferPorts::kAllTaken && bAnswered ? PortOutcome::kWait : PortOutcome::kBusy;
    }
    lpClient->nPort = nPort;
    return PortOutcome::kOpened;
}

bool TftpResponder::ClientAnswered(const TftpClientInfo &client) {
    return m_lpPorts && client.nPort != kTftpServicePort && m_lpPorts->DatagramWaiting(client.nPort);
}

// Oldest first: the list is in the order the requests came. One whose ACK
// waits unread (a worker behind a fleet's requests) is not over.
void TftpResponder::EndUnacknowledged(uint64_t qwNowMs) {
    IpEndpoint peer{}, next{};
    TftpClientInfo *lpClient = m_lpClients->OldestUnacknowledged(nullptr, &peer);
    for (int nPassed = 0; lpClient && qwNowMs - lpClient->qwStartMs >= kTftpFirstAckMs;) {
        TftpClientInfo *lpNext = m_lpClients->NextUnacknowledged(lpClient, nullptr, &next);
        if (!ClientAnswered(*lpClient)) EndTransfer(lpClient, peer, TAVREL_REASON_UNACKNOWLEDGED);
        else if (++nPassed >= kTftpEvictionLooks) return;
        lpClient = lpNext;
        peer = next;
    }
}

// Ended to make room, whatever its age, unless its client's answer waits
// to be read (see kTftpEvictionLooks).
bool TftpResponder::EvictUnacknowledged(const TftpClientInfo *lpExcept, bool *lpbAnswered) {
    IpEndpoint peer{};
    TftpClientInfo *lpClient = m_lpClients->OldestUnacknowledged(lpExcept, &peer);
    for (int nLook = 0; lpClient && nLook < kTftpEvictionLooks; ++nLook) {
        if (!ClientAnswered(*lpClient)) {
            EndTransfer(lpClient, peer, TAVREL_REASON_UNACKNOWLEDGED);
            return true;
        }
        if (lpbAnswered) *lpbAnswered = true;
        lpClient = m_lpClients->NextUnacknowledged(lpClient, lpExcept, &peer);
    }
    return false;
}

void TftpResponder::EndIdleTransfers(uint64_t qwNowMs, uint64_t qwIdleMs) {
    EndUnacknowledged(qwNowMs);
    m_qwLastSweepMs = qwNowMs;
    HashCursor cursor{};
    ClientTable::Entry *lpEntry = nullptr;
    for (int found = m_lpClients->First(&cursor, &lpEntry); found == 0; found = m_lpClients->Next(&cursor, &lpEntry))
        if (qwNowMs - lpEntry->payload.info.qwLastSeenMs >= qwIdleMs && !ClientAnswered(lpEntry->payload.info))
            EndTransfer(&lpEntry->payload.info, ClientTable::PeerOf(*lpEntry), TAVREL_REASON_TIMEOUT);
}

void TftpResponder::EndTransfer(TftpClientInfo *lpClient, const IpEndpoint &peer, int nReason) {
    if (lpClient->lpBootFile && BootEventsWanted()) TellEnd(*lpClient, peer, nReason);
    ReleaseHoldings(lpClient);
    m_lpClients->Remove(peer);
}

void TftpResponder::ReleaseHoldings(TftpClientInfo *lpClient) {
    release_bootfile(m_lpFiles, lpClient->lpBootFile);
    lpClient->lpBootFile = nullptr;
    m_ReadAhead.Give(lpClient->nReadArea);
    lpClient->nReadArea = 0;
    if (m_lpPorts && lpClient->nPort != kTftpServicePort) m_lpPorts->ClosePort(lpClient->nPort);
    lpClient->nPort = kTftpServicePort;
}

// The bytes of the file the client acknowledged: all of it for a transfer
// that ended well, else its acknowledged blocks.
void TftpResponder::TellEnd(const TftpClientInfo &client, const IpEndpoint &peer, int nReason) const {
    uint64_t qwBytes = static_cast<uint64_t>(client.dwAcked) * static_cast<uint32_t>(client.dwBlockSize);
    if (nReason == TAVREL_REASON_NONE || qwBytes > client.dwSize) qwBytes = client.dwSize;
    EmitTftpEnded(peer.Address(), client.lpBootFile->szFileName, client.dwSize, client.dwBlockSize, client.wWindow,
                  qwBytes, client.qwLastSeenMs - client.qwStartMs, nReason);
}

void TftpResponder::TellProgress(TftpClientInfo *lpClient, const IpEndpoint &peer, uint64_t qwNowMs) const {
    lpClient->qwToldMs = qwNowMs;
    uint64_t qwBytes = static_cast<uint64_t>(lpClient->dwAcked) * static_cast<uint32_t>(lpClient->dwBlockSize);
    EmitTftpProgress(peer.Address(), lpClient->lpBootFile->szFileName, lpClient->dwSize, lpClient->dwBlockSize,
                     lpClient->wWindow, qwBytes < lpClient->dwSize ? qwBytes : lpClient->dwSize,
                     qwNowMs - lpClient->qwStartMs);
}

// DATA for the absolute block (1 is the first), read straight into the
// answer; its wire number rolls over to 0 after 65535. A file that no
// longer holds the block's bytes yields the refusal instead (false).
bool TftpResponder::FillBlock(TftpClientInfo *lpClient, uint32_t dwBlock, TftpSend *lpSend) {
    if (dwBlock > lpClient->dwLastBlock) lpClient->dwLastBlock = dwBlock;
    uint64_t qwOffset = static_cast<uint64_t>(lpClient->dwBlockSize) * (dwBlock - 1);
    uint32_t dwLength = 0;
    if (qwOffset < lpClient->dwSize) {
        uint64_t qwLeft = lpClient->dwSize - qwOffset;
        dwLength = qwLeft < static_cast<uint32_t>(lpClient->dwBlockSize) ? static_cast<uint32_t>(qwLeft)
                                                                        : static_cast<uint32_t>(lpClient->dwBlockSize);
    }
    platform::WriteNet16(lpSend->abData, DATA);
    platform::WriteNet16(lpSend->abData + 2, dwBlock);
    lpSend->nLength = 4 + static_cast<int32_t>(dwLength);
    if (ReadBlock(lpClient, static_cast<uint32_t>(qwOffset), dwLength, lpSend->abData + 4) != 0) {
        PutRefusal(lpSend);
        return false;
    }
    return true;
}

// Through a read-ahead area where one can be had, else straight from the
// file; rendered bytes are in memory already.
int TftpResponder::ReadBlock(TftpClientInfo *lpClient, uint32_t dwOffset, uint32_t dwLength, void *lpOut) {
    if (lpClient->lpBootFile->bRendered) return read_bootfile(lpClient->lpBootFile, dwOffset, dwLength, lpOut);
    if (lpClient->nReadArea == 0 && dwLength > 0) lpClient->nReadArea = m_ReadAhead.Take();
    if (lpClient->nReadArea == 0) return read_bootfile(lpClient->lpBootFile, dwOffset, dwLength, lpOut);
    return m_ReadAhead.Read(lpClient->nReadArea, lpClient->lpBootFile, dwOffset, dwLength,
                            static_cast<uint32_t>(lpClient->dwBlockSize), lpClient->dwSize, lpOut);
}

void TftpResponder::SendError(const IpEndpoint &peer, const char *lpMessage, TftpAnswerSink &sink, unsigned wCode) {
    TftpSend *lpSend = sink.NewAnswer();
    if (!lpSend) {
        LogTftpdFailure("lpTftpSend new Error", 430);
        return;
    }
    lpSend->stPeer = peer;
    lpSend->nPort = kTftpServicePort;
    PutRefusal(lpSend, lpMessage, wCode);
    sink.SendAnswer(lpSend);
}

// No room for the transfer: told to the client, which may ask again, rather
// than left to its timeouts.
int TftpResponder::RefuseBusy(const IpEndpoint &peer, const char *lpName, TftpAnswerSink &sink) {
    if (BootEventsWanted()) EmitTftpRefused(peer.Address(), lpName, TAVREL_REASON_BUSY);
    SendError(peer, kBusy, sink);
    return -1;
}
