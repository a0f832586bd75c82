// libFuzzer target: a sequence of datagrams from a few clients for the TFTP
// responder. Each record is [client][milliseconds to wait][length][bytes].
// Every answer must fit its record and go to the client that asked; an
// ERROR draws no answer; once every transfer has ended no file stays open.
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

class CheckingSink final : public TftpAnswerSink {
public:
    platform::SockAddrV4 m_Peer{};
    bool m_bError = false;
    int m_nAnswers = 0;

    TftpSend *NewAnswer() override { return &m_Record; }
    int SendAnswer(TftpSend *lpSend) override {
        if (lpSend != &m_Record || m_bError) abort();
        if (lpSend->nLength < 4 || lpSend->nLength > static_cast<int>(sizeof lpSend->abData)) abort();
        if (lpSend->stPeer.dwAddr != m_Peer.dwAddr || lpSend->stPeer.wPort != m_Peer.wPort) abort();
        if (++m_nAnswers > 64) abort();
        return 0;
    }

private:
    TftpSend m_Record{};
};

// Client c of the four addresses and four ports.
platform::SockAddrV4 Client(unsigned c) {
    return platform::MakeSockAddr(platform::HostToNet32(0x7f000010 + (c & 3)), static_cast<uint16_t>(2000 + (c >> 6)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static TftpResponder::ClientTable *clients = new TftpResponder::ClientTable();  // empty between inputs
    TftpResponder responder;
    responder.Attach(clients, Files());
    uint64_t qwNowMs = 0;
    for (size_t at = 0; at + 3 <= size;) {
        CheckingSink sink;
        sink.m_Peer = Client(data[at]);
        qwNowMs += static_cast<uint64_t>(data[at + 1]) * 250;
        size_t length = data[at + 2] == 255 ? size - at - 3 : data[at + 2];
        if (length > size - at - 3) length = size - at - 3;
        const uint8_t *datagram = data + at + 3;
        sink.m_bError = length >= 2 && datagram[0] == 0 && datagram[1] == 5;
        responder.Respond(datagram, static_cast<int>(length), sink.m_Peer, qwNowMs, sink);
        at += 3 + length;
    }
    // An ERROR from its port ends every transfer (a sweep of the whole
    // table would cost more than the input).
    const unsigned char error[] = {0, 5, 0, 0, 0};
    for (unsigned c = 0; c < 256; c += 0x40)
        for (unsigned a = 0; a < 4; ++a) {
            CheckingSink sink;
            sink.m_Peer = Client(c + a);
            sink.m_bError = true;
            responder.Respond(error, sizeof error, sink.m_Peer, qwNowMs, sink);
        }
    for (unsigned c = 0; c < 256; c += 0x40)
        for (unsigned a = 0; a < 4; ++a) {
            TftpClientInfo *lpClient = nullptr;
            if (clients->Find(Client(c + a), &lpClient) == 0) abort();  // a transfer outlived its end
        }
    if (Files()->lpHead) abort();  // a file left open
    return 0;
}
