// libFuzzer target: a sequence of datagrams from a few clients for the TFTP
// responder. Each record is [client][milliseconds to wait][length][bytes];
// bit 0x20 of the client byte sends the datagram where its client would not
// (a request to the transfer's port, the rest to the service port). Every
// answer must fit its record and go to the client that asked, from the
// service port or that client's own; an ERROR draws no answer; once every
// transfer has ended no file and no port stays open.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tftp/tftp_responder.h"

namespace {

tag_BootFileTable *Files() {
    static tag_BootFileTable *table = [] {
        static char root[] = "/tmp/tavrel-tftp-fuzz.XXXXXX";
        if (!mkdtemp(root)) abort();
        std::string folder = root;
        mkdir((folder + "/sub").c_str(), 0755);
        const struct {
            const char *lpName;
            size_t size;
        } files[] = {{"ipxe.0", 70000}, {"snponly.efi", 3000}, {"boot.ipxe", 1432}, {"second.ipxe", 0},
                     {"sub/k1024", 1024}};
        for (const auto &file : files) {
            FILE *out = fopen((folder + "/" + file.lpName).c_str(), "wb");
            for (size_t i = 0; i < file.size; ++i) fputc(static_cast<int>(i * 7), out);
            fclose(out);
        }
        if (symlink("/etc/hostname", (folder + "/out").c_str()) != 0) abort();
        return create_bootfile_table(root);
    }();
    return table;
}

bool SamePeer(const IpEndpoint &a, const IpEndpoint &b) { return a == b; }

// Few ports, so that requests also find them all taken.
class FakePorts final : public TftpTransferPorts {
public:
    static constexpr int kPorts = 6;
    int32_t OpenPort(const IpEndpoint &peer) override {
        for (int i = 0; i < kPorts; ++i) {
            if (m_abUsed[i]) continue;
            m_abUsed[i] = true;
            m_aPeers[i] = peer;
            return i + 1;
        }
        return -1;
    }
    void ClosePort(int32_t nPort) override {
        if (nPort < 1 || nPort > kPorts || !m_abUsed[nPort - 1]) abort();  // closed twice
        m_abUsed[nPort - 1] = false;
    }
    // The open port of the peer, or the service port.
    int32_t PortOf(const IpEndpoint &peer) const {
        for (int i = 0; i < kPorts; ++i)
            if (m_abUsed[i] && SamePeer(m_aPeers[i], peer)) return i + 1;
        return kTftpServicePort;
    }
    bool AnyOpen() const {
        for (bool bUsed : m_abUsed)
            if (bUsed) return true;
        return false;
    }

private:
    bool m_abUsed[kPorts] = {};
    IpEndpoint m_aPeers[kPorts];
};

struct FixedMtu final : TftpPathMtu {
    int MtuTo(const IpAddress &) override { return 1500; }
};

class CheckingSink final : public TftpAnswerSink {
public:
    explicit CheckingSink(const FakePorts &ports) : m_Ports(ports) {}
    IpEndpoint m_Peer;
    bool m_bError = false;
    int m_nAnswers = 0;

    TftpSend *NewAnswer() override { return &m_Record; }
    int SendAnswer(TftpSend *lpSend) override {
        if (lpSend != &m_Record || m_bError) abort();
        if (lpSend->nLength < 4 || lpSend->nLength > static_cast<int>(sizeof lpSend->abData)) abort();
        if (!SamePeer(lpSend->stPeer, m_Peer)) abort();
        if (lpSend->nPort != kTftpServicePort && lpSend->nPort != m_Ports.PortOf(m_Peer)) abort();
        if (++m_nAnswers > kTftpMaxWindow) abort();
        return 0;
    }

private:
    const FakePorts &m_Ports;
    TftpSend m_Record{};
};

// Where the datagram goes: requests to the service port, the rest to the
// client's transfer port, unless the record asks for the other.
int32_t PortFor(const FakePorts &ports, const IpEndpoint &peer, const uint8_t *datagram, size_t length,
                bool bOther) {
    bool bRequest = length >= 2 && datagram[0] == 0 && datagram[1] == 1;
    int32_t nOwn = ports.PortOf(peer);
    if (bRequest != bOther) return kTftpServicePort;
    return nOwn != kTftpServicePort ? nOwn : 1;
}

// Client c of the four addresses, IPv4 or (0x10) IPv6 link-local, and four ports.
IpEndpoint Client(unsigned c) {
    uint16_t wPort = static_cast<uint16_t>(2000 + (c >> 6));
    if (!(c & 0x10)) return IpEndpoint::FromV4Net(platform::HostToNet32(0x7f000010 + (c & 3)), wPort);
    const uint8_t abLinkLocal[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(c & 3)};
    return IpEndpoint(IpAddress::FromV6(abLinkLocal, 2), wPort);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static TftpResponder::ClientTable *clients = new TftpResponder::ClientTable();  // empty between inputs
    FakePorts ports;
    FixedMtu mtu;
    TftpResponder responder(&ports, &mtu);
    responder.Attach(clients, Files());
    uint64_t qwNowMs = 0;
    for (size_t at = 0; at + 3 <= size;) {
        CheckingSink sink(ports);
        sink.m_Peer = Client(data[at]);
        qwNowMs += static_cast<uint64_t>(data[at + 1]) * 250;
        size_t length = data[at + 2] == 255 ? size - at - 3 : data[at + 2];
        if (length > size - at - 3) length = size - at - 3;
        const uint8_t *datagram = data + at + 3;
        sink.m_bError = length >= 2 && datagram[0] == 0 && datagram[1] == 5;
        int32_t nPort = PortFor(ports, sink.m_Peer, datagram, length, data[at] & 0x20);
        responder.Respond(datagram, static_cast<int>(length), sink.m_Peer, nPort, qwNowMs, sink);
        at += 3 + length;
    }
    // An ERROR from its port ends every transfer (a sweep of the whole
    // table would cost more than the input).
    const unsigned char error[] = {0, 5, 0, 0, 0};
    for (unsigned c = 0; c < 256; c += 0x10)
        for (unsigned a = 0; a < 4; ++a) {
            CheckingSink sink(ports);
            sink.m_Peer = Client(c + a);
            sink.m_bError = true;
            responder.Respond(error, sizeof error, sink.m_Peer, ports.PortOf(sink.m_Peer), qwNowMs, sink);
        }
    for (unsigned c = 0; c < 256; c += 0x10)
        for (unsigned a = 0; a < 4; ++a) {
            TftpClientInfo *lpClient = nullptr;
            if (clients->Find(Client(c + a), &lpClient) == 0) abort();  // a transfer outlived its end
        }
    if (!clients->Empty()) abort();  // an address counted, or a transfer listed, past its end
    if (Files()->lpHead) abort();  // a file left open
    if (ports.AnyOpen()) abort();
    if (responder.ReadAreasLent() != 0) abort();  // a read-ahead area kept past its transfer
    return 0;
}
