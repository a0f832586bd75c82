// TFTP through the exports: read requests, option acknowledgements and
// blocks, with real datagrams on loopback inside a namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Tavrel.h"
#include "support/dhcp_client.h"
#include "support/pxe_config.h"
#include "support/temp_tree.h"
#include "tftp/read_ahead_pool.h"
#include "tftp/tftp_responder.h"

namespace {

int TAVREL_CALLBACK NoChoice(const unsigned char *, char *) { return 0; }
int TAVREL_CALLBACK AcceptReport(SelectMirrorRecord *) { return 1; }

Bytes Rrq(const std::string &name, const std::vector<std::string> &options = {}) {
    Bytes m = {0, 1};
    auto add = [&m](const std::string &text) {
        m.insert(m.end(), text.begin(), text.end());
        m.push_back(0);
    };
    add(name);
    add("octet");
    for (const std::string &option : options) add(option);
    return m;
}

Bytes Ack(unsigned block) { return {0, 4, static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)}; }

// Option names and values, in pairs.
Bytes Oack(const std::vector<std::string> &pairs) {
    Bytes m = {0, 6};
    for (const std::string &text : pairs) {
        m.insert(m.end(), text.begin(), text.end());
        m.push_back(0);
    }
    return m;
}
Bytes Oack(const std::string &option, const std::string &value) { return Oack({option, value}); }

// The host's renderer: "=N" returns N, names it holds are rendered, the rest are not its own.
std::mutex g_RenderLock;
std::map<std::string, std::string> g_Rendered;
std::vector<std::string> g_RenderAsked;  // "file address:port"
int TAVREL_CALLBACK RenderFromMemory(const TftpRenderRecord *request, unsigned char *buffer, int) {
    std::lock_guard<std::mutex> guard(g_RenderLock);
    g_RenderAsked.push_back(std::string(request->file) + " " + request->address + ":" + std::to_string(request->port));
    if (request->file[0] == '=') return atoi(request->file + 1);
    if (!g_Rendered.count(request->file)) return TAVREL_RENDER_NOT_MINE;
    return static_cast<int>(g_Rendered[request->file].copy(reinterpret_cast<char *>(buffer), TAVREL_RENDER_MAX_BYTES));
}

class TftpTest : public testing::Test {
protected:
    void SetUp() override {
        m_Root = m_Files.Root() + "/boot";
        mkdir(m_Root.c_str(), 0755);
        Write("k1024", std::string(1024, 'a'));
        std::string thousand;
        for (int i = 0; i < 1000; ++i) thousand += static_cast<char>('0' + i % 10);
        Write("k1000", thousand);
        Write("empty", "");
        Write("other", std::string(600, 'o'));
        RegisterSelectPxeCallback(NoChoice, AcceptReport);
        m_Server = MakeServer("127.0.0.1", m_Root.c_str());
        ASSERT_EQ(StartPXE(&m_Server, nullptr, 0, nullptr, 0), 0);
    }
    void TearDown() override { StopPXE(); }
    void Write(const std::string &name, const std::string &bytes) {
        std::lock_guard<std::mutex> guard(g_RenderLock);
        if (m_bRendered) return void(g_Rendered[name] = bytes);
        std::ofstream(m_Root + "/" + name, std::ios::binary) << bytes;
    }
    // Requests go to UDP 69, the rest to the port the client's transfer
    // answered from last (its transfer identifier).
    void Send(TestSocket &client, const Bytes &datagram) {
        uint16_t port = datagram.size() >= 2 && datagram[1] == 1 ? 69 : TransferPort(client);
        client.SendTo("127.0.0.1", port, datagram.data(), datagram.size());
    }
    Bytes Receive(TestSocket &client, int timeoutMs, bool *ok) {
        sockaddr_in from{};
        Bytes answer = client.Receive(timeoutMs, ok, &from);
        if (*ok) m_Ports[client.Fd()] = ntohs(from.sin_port);
        return answer;
    }
    uint16_t TransferPort(TestSocket &client) { return m_Ports.count(client.Fd()) ? m_Ports[client.Fd()] : 69; }
    Bytes Exchange(TestSocket &client, const Bytes &request, int timeoutMs = 1500) {
        Send(client, request);
        bool ok = false;
        Bytes answer = Receive(client, timeoutMs, &ok);
        return ok ? answer : Bytes{0xde, 0xad};
    }
    bool Silent(TestSocket &client, const Bytes &request) {
        Send(client, request);
        bool ok = false;
        Receive(client, 400, &ok);
        return !ok;
    }
    static Bytes Data(unsigned block, const std::string &bytes) {
        Bytes m = {0, 3, static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)};
        m.insert(m.end(), bytes.begin(), bytes.end());
        return m;
    }

    bool m_bRendered = false;  // Write gives the bytes to the host's renderer
    TempTree m_Files;
    std::string m_Root;
    TeskPxeServerStruct m_Server{};
    std::map<int, uint16_t> m_Ports;  // by client descriptor
};

// The conformance cases, for files on disk and for files the host renders.
class TftpSourceTest : public TftpTest, public testing::WithParamInterface<bool> {
    void SetUp() override {
        m_bRendered = GetParam();
        RegisterRenderTftpFileCallback(RenderFromMemory);
        TftpTest::SetUp();
    }
    void TearDown() override {
        TftpTest::TearDown();
        RegisterRenderTftpFileCallback(nullptr);
        EXPECT_EQ(RenderedBytesHeld(), 0u) << "every transfer gave its rendered bytes back";
        std::lock_guard<std::mutex> guard(g_RenderLock);
        g_Rendered.clear(), g_RenderAsked.clear();
    }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(File, TftpSourceTest, testing::Values(false, true));

TEST_P(TftpSourceTest, OptionAcknowledgements) {
    TestSocket client("127.0.0.2", 2000);
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"tsize", "0"})), Oack("tsize", "1024"));
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"blksize", "1024"})), Oack("blksize", "1024"));
    EXPECT_EQ(Exchange(client, Ack(0)), Data(1, std::string(1024, 'a')));
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"blksize", "100"})), Oack("blksize", "100")) << "never more than asked";
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"blksize", "8192"})), Oack("blksize", "1500")) << "loopback MTU";
    // The namespace is this test's own: its loopback may take an Ethernet MTU
    // (asked by a client whose path was not probed yet).
    ASSERT_EQ(system("ip link set lo mtu 1500"), 0);
    TestSocket another("127.0.0.13", 2000);
    EXPECT_EQ(Exchange(another, Rrq("k1024", {"blksize", "8192"})), Oack("blksize", "1468")) << "no fragments";
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"timeout", "1"})), Oack("timeout", "1"));
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"windowsize", "4"})), Oack("windowsize", "4"));
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"windowsize", "65"})), Oack("windowsize", "64")) << "the largest served";
    // curl's request: every option acknowledged, unknown ones left out.
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"tsize", "0", "blksize", "1468", "x-opt", "1", "timeout", "1"})),
              Oack({"tsize", "1024", "blksize", "1468", "timeout", "1"}));
    // Nothing to acknowledge: the first block comes at once.
    for (auto options : std::vector<std::vector<std::string>>{{"blksize", ""}, {"blksize", "abc"}, {"BLKSIZE", "1024"},
                                                              {"timeout", "0"}, {"windowsize", "0"}})
        EXPECT_EQ(Exchange(client, Rrq("k1024", options)), Data(1, std::string(512, 'a'))) << options[0];
}

// RFC 7440: an acknowledgement of block k draws blocks k+1 ... k+W; a
// repeated one restarts the window after the block it names.
TEST_P(TftpSourceTest, WindowedTransfer) {
    std::string big(4000, 0);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    Write("big", big);
    TestSocket client("127.0.0.12", 2000);
    EXPECT_EQ(Exchange(client, Rrq("big", {"blksize", "600", "windowsize", "3"})),
              Oack({"blksize", "600", "windowsize", "3"}));
    auto window = [&](unsigned acked, unsigned first, unsigned count) {
        Send(client, Ack(acked));
        for (unsigned block = first; block < first + count; ++block) {
            bool ok = false;
            Bytes data = Receive(client, 1500, &ok);
            size_t offset = 600 * (block - 1);
            EXPECT_EQ(data, Data(block, big.substr(offset, std::min<size_t>(600, big.size() - offset)))) << block;
        }
    };
    window(0, 1, 3);
    window(2, 3, 3) ;
    window(5, 6, 2);  // 7 blocks in all: the window stops at the last
    EXPECT_TRUE(Silent(client, Ack(7))) << "the transfer is over";
    EXPECT_TRUE(Silent(client, Ack(6)));
}

TEST_P(TftpSourceTest, BlocksFollowAcknowledgements) {
    TestSocket client("127.0.0.3", 2000);
    EXPECT_EQ(Exchange(client, Rrq("k1024")), Data(1, std::string(512, 'a')));
    EXPECT_EQ(Exchange(client, Ack(1)), Data(2, std::string(512, 'a')));
    EXPECT_EQ(Exchange(client, Ack(2)), Data(3, ""));
    EXPECT_TRUE(Silent(client, Ack(3))) << "the last block was acknowledged";

    Exchange(client, Rrq("k1000"));
    Bytes second = Exchange(client, Ack(1));
    ASSERT_EQ(second.size(), 4u + 488u);
    EXPECT_EQ(second[4], '2') << "offset 512";
    EXPECT_TRUE(Silent(client, Ack(2)));

    EXPECT_EQ(Exchange(client, Rrq("empty")), Data(1, ""));
    EXPECT_EQ(Exchange(client, Rrq("empty", {"tsize", "0"})), Oack("tsize", "0"));
    EXPECT_EQ(Exchange(client, Ack(0)), Data(1, ""));
    EXPECT_TRUE(Silent(client, Ack(1)));
}

TEST_P(TftpSourceTest, RepeatedAckAndBlockSizeRevert) {
    std::string big(8000, 'b');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    Write("big", big);
    TestSocket client("127.0.0.4", 2000);
    Exchange(client, Rrq("big", {"blksize", "600"}));
    Bytes first = Exchange(client, Ack(7));
    EXPECT_EQ(first, Data(8, big.substr(600 * 7, 600)));
    // A repeated acknowledgement draws its block again only after a timeout's
    // pause, as a client's retry does.
    EXPECT_TRUE(Silent(client, Ack(7))) << "at once";
    Bytes again;
    for (int tries = 0; tries < 10 && again.empty(); ++tries) {
        Send(client, Ack(7));
        bool ok = false;
        again = Receive(client, 300, &ok);
    }
    EXPECT_EQ(again, first) << "after the pause";
    Exchange(client, Rrq("big"));
    EXPECT_EQ(Exchange(client, Ack(1)), Data(2, big.substr(512, 512))) << "512 again without blksize";
}

TEST_P(TftpSourceTest, RefusalsAndUnansweredPackets) {
    TestSocket fresh("127.0.0.5", 2000);
    EXPECT_TRUE(Silent(fresh, Ack(0))) << "no read request yet";
    Bytes refusal = {0, 5, 0, 0};
    std::string text = "No Such File/No Access";
    refusal.insert(refusal.end(), text.begin(), text.end());
    refusal.push_back(0);
    EXPECT_EQ(Exchange(fresh, Rrq("missing.bin")), refusal);
    EXPECT_EQ(refusal.size(), 27u);
    EXPECT_TRUE(Silent(fresh, Ack(0)));
    EXPECT_EQ(Exchange(fresh, Rrq("")), refusal);
    EXPECT_EQ(Exchange(fresh, Rrq("../etc/passwd")), refusal);

    FileTail log(TodaysLogPath());
    testing::internal::CaptureStdout();  // this process's lines only
    Bytes aborted = {0, 5, 0, 0};
    std::string abortText = "TFTP Aborted";
    aborted.insert(aborted.end(), abortText.begin(), abortText.end());
    aborted.push_back(0);
    // An ERROR is never answered, so two servers cannot start a loop.
    EXPECT_TRUE(Silent(fresh, aborted));
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("error tag"), std::string::npos);
    EXPECT_TRUE(Silent(fresh, Bytes{0, 5, 0, 1, 'x', 1, 0}));
    EXPECT_NE(log.Read().find("error tag -x\\x01- TeskTftpServer -- 415"), std::string::npos) << "escaped";

    EXPECT_TRUE(Silent(fresh, Bytes{0, 2, 'f', 0, 'o', 0}));
    EXPECT_NE(log.Read().find("dont opcode 2-"), std::string::npos);
    EXPECT_TRUE(Silent(fresh, Bytes{0, 3, 0, 1}));
    EXPECT_NE(log.Read().find("recvfrom data TeskTftpServer -- 405"), std::string::npos);
    // A name that fills the datagram with no zero byte is read within it.
    Bytes unterminated = {0, 1};
    unterminated.insert(unterminated.end(), 1498, 'n');
    EXPECT_EQ(Exchange(fresh, unterminated), refusal);
}

TEST_P(TftpSourceTest, PxeClientSequence) {
    std::string image(100000, 0);
    std::mt19937 random(3);
    for (char &c : image) c = static_cast<char>(random());
    Write("boot.efi", image);
    TestSocket probe("127.0.0.7", 3001);
    EXPECT_EQ(Exchange(probe, Rrq("boot.efi", {"tsize", "0", "blksize", "1468"})),
              Oack({"tsize", "100000", "blksize", "1468"}));
    Bytes aborted = {0, 5, 0, 8};
    for (char c : std::string("TFTP Aborted")) aborted.push_back(static_cast<unsigned char>(c));
    aborted.push_back(0);
    Exchange(probe, aborted);
    TestSocket fetch("127.0.0.7", 3002);
    EXPECT_EQ(Exchange(fetch, Rrq("boot.efi", {"blksize", "1456"})), Oack("blksize", "1456"));
    std::string received;
    for (unsigned block = 0;; ++block) {
        Bytes data = Exchange(fetch, Ack(block));
        ASSERT_GE(data.size(), 4u);
        ASSERT_EQ(data[1], 3);
        ASSERT_EQ((data[2] << 8 | data[3]), static_cast<int>(block + 1));
        received.append(data.begin() + 4, data.end());
        if (data.size() < 4 + 1456) break;
    }
    EXPECT_EQ(received, image);
}

TEST_F(TftpTest, BlockNumbersRollOverPastBlock65535) {
    std::string large(65540u * 512u, 0);
    for (size_t i = 0; i < large.size(); i += 512) memcpy(&large[i], &i, sizeof i);
    Write("large", large);
    TestSocket client("127.0.0.8", 2000);
    EXPECT_EQ(Exchange(client, Rrq("large", {"tsize", "0"})), Oack("tsize", std::to_string(large.size())));
    // Acknowledgements are answered from the block number alone, so the test
    // may start just before the wrap (whole downloads are the interop tests').
    for (uint32_t block = 65530; block < 65541; ++block) {
        Bytes data = Exchange(client, Ack(block & 0xFFFF));
        ASSERT_GE(data.size(), 4u) << block;
        ASSERT_EQ((data[2] << 8 | data[3]), static_cast<int>((block + 1) & 0xFFFF)) << block;
        size_t offset = static_cast<size_t>(block) * 512;
        size_t length = std::min<size_t>(512, large.size() - std::min(offset, large.size()));
        EXPECT_EQ(std::string(data.begin() + 4, data.end()), large.substr(std::min(offset, large.size()), length))
            << "block " << block + 1;
        if (block == 65536) {
            EXPECT_TRUE(Silent(client, Ack(0))) << "a repeated acknowledgement after the wrap";
        }
    }
}

// Random datagrams, mutated from real requests, must leave nothing worse
// than dropped packets: afterwards a transfer still works.
TEST_F(TftpTest, RandomDatagramsLeaveTheServiceWorking) {
    std::vector<Bytes> seeds = {Rrq("k1024", {"blksize", "1428", "tsize", "0"}), Rrq("k1000"), Ack(1),
                                Bytes{0, 5, 0, 1, 'e', 'r', 'r', 0}, Rrq("other", {"tsize"})};
    std::mt19937 random(11);
    TestSocket noise("127.0.0.9", 2000);
    for (int round = 0; round < 20000; ++round) {
        Bytes data = seeds[random() % seeds.size()];
        for (int e = 0, edits = 1 + static_cast<int>(random() % 6); e < edits; ++e) {
            switch (random() % 3) {
                case 0: data[random() % data.size()] = static_cast<unsigned char>(random()); break;
                case 1: data.resize(1 + random() % 1500, static_cast<unsigned char>(random())); break;
                default: data[random() % data.size()] = 0;
            }
        }
        noise.SendTo("127.0.0.1", 69, data.data(), data.size());
        if (round % 200 == 199) {
            // Let the service catch up, so no queue overflows and drops noise
            // unread: UDP 69's one queue is read in order, so a request is
            // answered once all sent before it was read. No mutated seed asks
            // k1000's size, so its answer marks the sync.
            Bytes request = Rrq("k1000", {"tsize", "0"});
            noise.SendTo("127.0.0.1", 69, request.data(), request.size());
            bool ok = true;
            while (ok && noise.Receive(10000, &ok) != Oack("tsize", "1000")) {
            }
            ASSERT_TRUE(ok) << round;
            while (ok) noise.Receive(0, &ok);
        }
    }
    TestSocket client("127.0.0.10", 2000);
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"tsize", "0"}), 5000), Oack("tsize", "1024"));
    EXPECT_EQ(Exchange(client, Ack(0)), Data(1, std::string(512, 'a')));
}

// ---- A hostile LAN: spoofed, repeated and foreign datagrams.

namespace {

// A UDP socket with the option set, bound to host (network order) and port, or -1.
int BoundSocket(uint32_t dwHostNet, uint16_t wPort, int nOption) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0), on = 1;
    setsockopt(fd, SOL_SOCKET, nOption, &on, sizeof on);
    sockaddr_in local{AF_INET, htons(wPort), {dwHostNet}, {}};
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0) return fd;
    close(fd);
    return -1;
}

// Sends from any 127.0.0.0/8 address: all of them are local on loopback.
// Beside a socket holding the port on every address, that one takes the answers.
void SendSpoofed(uint32_t dwSourceHost, const Bytes &datagram, uint16_t wSourcePort = 0) {
    int fd = BoundSocket(htonl(dwSourceHost), wSourcePort, SO_REUSEADDR);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(69);
    to.sin_addr.s_addr = htonl(0x7f000001);
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    close(fd);
}

size_t OpenDescriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// The responder alone on a clock of the test's own, with the ports 1,024
// descriptors give: a datagram's answer comes back, and its port.
struct BareResponder final : TftpTransferPorts, TftpAnswerSink {
    explicit BareResponder(const std::string &root) : lpFiles(create_bootfile_table(root.c_str())) {
        responder.Attach(clients.get(), lpFiles);
    }
    ~BareResponder() { free_bootfile_table(lpFiles); delete lpFiles; }
    Bytes Send(uint32_t dwHost, uint16_t wPort, const Bytes &datagram, int32_t nPort, uint64_t qwMs) {
        answer.clear();
        platform::SockAddrV4 peer = platform::MakeSockAddr(htonl(dwHost), wPort);
        responder.Respond(datagram.data(), static_cast<int>(datagram.size()), peer, nPort, qwMs, *this);
        return answer;
    }
    int32_t OpenPort(const IpEndpoint &) override {
        return open.size() == 256 ? kAllTaken : *open.insert(++nLast).first;
    }
    void ClosePort(int32_t nPort) override { open.erase(nPort); }
    bool DatagramWaiting(int32_t nPort) override { return answered.count(nPort) != 0; }
    TftpSend *NewAnswer() override { return &send; }
    int SendAnswer(TftpSend *lpSend) override {
        answer.assign(lpSend->abData, lpSend->abData + lpSend->nLength);
        nAnswerPort = lpSend->nPort;
        return 0;
    }

    std::unique_ptr<TftpTransferTable> clients = std::make_unique<TftpTransferTable>();
    tag_BootFileTable *lpFiles;
    TftpResponder responder{this};
    TftpSend send{};
    Bytes answer;
    int32_t nAnswerPort = 0, nLast = 0;
    std::set<int32_t> open;
    std::set<int32_t> answered;  // ports an ACK waits on, not read yet
};

// A firmware's fetch of k1024 at qwMs: its request, then an ACK of each
// block, each answered at once; false when one goes unanswered.
bool Fetch(BareResponder &server, uint32_t dwHost, uint64_t qwMs) {
    Bytes data = server.Send(dwHost, 2000, Rrq("k1024"), 0, qwMs);
    for (unsigned block = 1; data.size() == 4 + 512; ++block)
        data = server.Send(dwHost, 2000, Ack(block), server.nAnswerPort, qwMs);
    return data == Bytes{0, 3, 0, 3} && server.Send(dwHost, 2000, Ack(3), server.nAnswerPort, qwMs).empty();
}

const Bytes kBusy = {0, 5, 0, 0, 'S', 'e', 'r', 'v', 'e', 'r', ' ', 'B', 'u', 's', 'y', 0};

std::vector<BootEventRecord> g_Ended;  // TFTP ended and refused events, by the delivery thread

void TAVREL_CALLBACK CollectEnds(const BootEventRecord *event) {
    if (event->kind == TAVREL_EVENT_TFTP_ENDED || event->kind == TAVREL_EVENT_TFTP_REFUSED) g_Ended.push_back(*event);
}

}  // namespace

namespace {

std::mutex g_ProgressLock;
std::vector<BootEventRecord> g_Progress;  // the progress events delivered

void TAVREL_CALLBACK KeepProgress(const BootEventRecord *event) {
    std::lock_guard<std::mutex> lock(g_ProgressLock);
    if (event->kind == TAVREL_EVENT_TFTP_PROGRESS) g_Progress.push_back(*event);
}

size_t ProgressTold() {
    std::lock_guard<std::mutex> lock(g_ProgressLock);
    return g_Progress.size();
}

}  // namespace

// A transfer under way tells the host its bytes so far, once a second of
// its own at most: an ACK every 100 ms for 3 s is three events, not thirty.
TEST_F(TftpTest, TransferUnderWayTellsItsProgress) {
    Write("large", std::string(512 * 40, 'l'));
    BareResponder server(m_Root);
    RegisterBootEventCallback(KeepProgress);
    ASSERT_EQ(server.Send(0x7f000050, 2000, Rrq("large"), 0, 0).size(), 4u + 512u);
    for (unsigned block = 1; block <= 30; ++block)
        ASSERT_FALSE(server.Send(0x7f000050, 2000, Ack(block), server.nAnswerPort, block * 100).empty()) << block;
    for (int i = 0; i < 500 && ProgressTold() < 3; ++i) usleep(10000);
    RegisterBootEventCallback(nullptr);
    std::lock_guard<std::mutex> lock(g_ProgressLock);
    ASSERT_EQ(g_Progress.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const BootEventRecord event = g_Progress[i];
        // Packed records: fields are copied out before they are compared.
        EXPECT_EQ(int64_t{event.bytes}, 512 * 10 * static_cast<int64_t>(i + 1)) << i;
        EXPECT_EQ(int{event.durationms}, 1000 * static_cast<int>(i + 1)) << i;
        EXPECT_EQ(int64_t{event.size}, 512 * 40);
        EXPECT_STREQ(event.file, "large");
        EXPECT_STREQ(event.address, "127.0.0.80");
    }
}

// A read request for a missing file, spoofed from a second server's port
// (69 is ours here, so another one stands in): that server answers every
// datagram with an ERROR, ours must not answer its ERROR.
TEST_F(TftpTest, HostileLanSpoofedErrorStartsNoLoop) {
    TestSocket second("127.0.0.40", 1069);
    second.SendTo("127.0.0.1", 69, Rrq("missing").data(), Rrq("missing").size());
    int exchanged = 0;
    for (bool ok = true; ok && exchanged < 100; ++exchanged) {
        sockaddr_in from{};
        Bytes got = second.Receive(500, &ok, &from);
        if (!ok) break;
        Bytes error = {0, 5, 0, 0, 'E', 0};  // what a naive server answers
        second.SendTo("127.0.0.1", ntohs(from.sin_port), error.data(), error.size());
    }
    EXPECT_LE(exchanged, 2) << "datagrams the second server received";
}

TEST_F(TftpTest, HostileLanDescriptorsStayFlat) {
    TestSocket client("127.0.0.41", 2000), probe("127.0.0.42", 2000);
    auto sync = [&] { ASSERT_EQ(Exchange(probe, Rrq("k1024", {"tsize", "0"}), 10000), Oack("tsize", "1024")); };
    sync();
    size_t before = OpenDescriptors();
    for (int i = 0; i < 2000; ++i) {
        std::string name;
        for (int bit = 0; bit < 11; ++bit) name += (i >> bit & 1) ? ".\\" : "./";
        client.SendTo("127.0.0.1", 69, Rrq(name + "k1000").data(), Rrq(name + "k1000").size());
        if (i % 100 == 99) sync();
    }
    for (int i = 0; i < 20000; ++i) {
        std::string name = "missing-" + std::to_string(i);
        client.SendTo("127.0.0.1", 69, Rrq(name).data(), Rrq(name).size());
        if (i % 200 == 199) sync();
    }
    sync();
    // One worker may still finish a request the sync overtook; each may hold a probe's transfer.
    for (int i = 0; i < 500 && OpenDescriptors() > before + 2; ++i) usleep(10000);
    EXPECT_LE(OpenDescriptors(), before + 2);
}

// ACKs spoofed from 200,000 addresses create nothing: a new client is served.
TEST_F(TftpTest, HostileLanSpoofedAcksLeaveRoomForNewClients) {
    TestSocket probe("127.0.0.43", 2000);
    for (uint32_t i = 0; i < 200000; ++i) {
        SendSpoofed(0x7f100000 + i, Ack(1));
        if (i % 2000 == 1999) {
            ASSERT_EQ(Exchange(probe, Rrq("k1024", {"tsize", "0"}), 10000), Oack("tsize", "1024"));
        }
    }
    TestSocket fresh("127.0.0.44", 2000);
    EXPECT_EQ(Exchange(fresh, Rrq("k1024")), Data(1, std::string(512, 'a')));
}

// 300 forged requests a second from spoofed addresses, never acknowledged,
// beside a firmware's fetch each second: all 8 are served. One address then
// asking from 2,000 ports holds its share and is told no beyond it; a running
// transfer keeps its port, the unacknowledged end after their first timeout.
TEST_F(TftpTest, HostileLanForgedRequestsLeaveRoomForHonestFetches) {
    BareResponder server(m_Root);
    int nServed = 0;
    for (uint32_t tick = 1; tick <= 8 * 300; ++tick) {
        server.Send(0x0A000000 + tick, 2000, Rrq("k1024"), 0, tick * 10 / 3);
        if (tick % 300 == 0) nServed += Fetch(server, 0xC0000200 + tick / 300, tick * 10 / 3);
    }
    EXPECT_EQ(nServed, 8);
    server.Send(0x0C000001, 2000, Rrq("k1024"), 0, 8000);
    server.Send(0x0C000001, 2000, Ack(1), server.nAnswerPort, 8000);
    int nBusy = 0;
    for (uint16_t port = 1; port <= 2000; ++port)
        nBusy += server.Send(0x0B000001, port, Rrq("k1024"), 0, 8000) == kBusy;
    EXPECT_EQ(nBusy, 2000 - kTftpTransfersPerSource);
    server.Send(0x0C000002, 2000, Rrq("k1024"), 0, 8000 + kTftpFirstAckMs);
    EXPECT_EQ(server.open.size(), 2u) << "the running transfer and the new one";
}

// A transfer never acknowledged is taken back as such (for a newcomer's port),
// and a request told "Server Busy" for want of a port is a refusal, not an end.
TEST_F(TftpTest, HostileLanReclaimsAndBusyRefusalsAreToldAsSuch) {
    BareResponder server(m_Root);
    g_Ended.clear();
    RegisterBootEventCallback(CollectEnds);
    server.Send(0x0D000001, 2000, Rrq("k1024"), 0, 0);  // never acknowledged
    for (uint32_t i = 0; i < 256; ++i) {  // the ports BareResponder has, each transfer acknowledged
        server.Send(0x0E000000 + i, 2000, Rrq("k1024"), 0, 1000);
        server.Send(0x0E000000 + i, 2000, Ack(1), server.nAnswerPort, 1000);
    }
    EXPECT_EQ(server.Send(0x0F000001, 2000, Rrq("k1024"), 0, 1000), kBusy);
    StopPXE();  // delivers what is queued
    RegisterBootEventCallback(nullptr);
    std::string told;
    for (const BootEventRecord &e : g_Ended) told += std::to_string(e.kind * 100 + e.reason) + e.address + ";";
    EXPECT_EQ(told, "62713.0.0.1;72615.0.0.1;") << "ended (6) unacknowledged (27); refused (7) busy (26)";
}

// Ports all held by transfers whose clients' ACKs wait unread (a fleet
// powering on at once): a newcomer is left to ask again, not told "Server
// Busy", and none of them is ended for it; one whose client never answered is.
TEST_F(TftpTest, HostileLanAnsweredTransfersKeepTheirPorts) {
    BareResponder server(m_Root);
    for (uint32_t i = 0; i < 256; ++i) {
        server.Send(0x0E100000 + i, 2000, Rrq("k1024"), 0, 0);
        server.answered.insert(server.nAnswerPort);
    }
    EXPECT_TRUE(server.Send(0x0F100001, 2000, Rrq("k1024"), 0, 10).empty());
    EXPECT_EQ(server.open.size(), 256u);
    int32_t nSilent = *std::next(server.answered.begin(), 3);  // within the looks, not the oldest
    server.answered.erase(nSilent);
    EXPECT_EQ(server.Send(0x0F100001, 2000, Rrq("k1024"), 0, 20), Data(1, std::string(512, 'a')));
    EXPECT_EQ(server.open.count(nSilent), 0u) << "the one never answered gave its port up";
    server.Send(0x0F100002, 2000, Rrq("k1024"), 0, kTftpFirstAckMs + 20);
    EXPECT_EQ(server.open.count(*server.answered.begin()), 1u) << "its first answer is old, but its ACK waits";
}

// The transfer identifier: ACKs count only from the port that asked.
TEST_F(TftpTest, HostileLanForeignPortAcksGetNothing) {
    TestSocket owner("127.0.0.45", 2001), foreign("127.0.0.45", 2002);
    EXPECT_EQ(Exchange(owner, Rrq("k1024")), Data(1, std::string(512, 'a')));
    m_Ports[foreign.Fd()] = TransferPort(owner);
    EXPECT_TRUE(Silent(foreign, Ack(1)));
    EXPECT_TRUE(Silent(foreign, Ack(0)));
    EXPECT_EQ(Exchange(owner, Ack(1)), Data(2, std::string(512, 'a')));
    // Another port of the address runs a transfer of its own beside it.
    EXPECT_EQ(Exchange(foreign, Rrq("other")), Data(1, std::string(512, 'o')));
    EXPECT_EQ(Exchange(owner, Ack(2)), Data(3, ""));
    EXPECT_EQ(Exchange(foreign, Ack(1)), Data(2, std::string(88, 'o')));
}

// Bytes that were not read from the file never go out.
TEST_F(TftpTest, HostileLanChangedFilesYieldNoForeignBytes) {
    Write("shrinks", std::string(3 * ReadAheadPool::kAreaSize, 's'));
    TestSocket client("127.0.0.46", 2000);
    EXPECT_EQ(Exchange(client, Rrq("shrinks")), Data(1, std::string(512, 's')));
    ASSERT_EQ(truncate((m_Root + "/shrinks").c_str(), 600), 0);
    // Blocks read ahead before the cut may still go out; the first read after it fails.
    unsigned block = 1;
    Bytes answer;
    for (; block <= 3 * ReadAheadPool::kAreaSize / 512; ++block) {
        answer = Exchange(client, Ack(block));
        if (answer.size() >= 2 && answer[1] == 5) break;
        ASSERT_EQ(answer, Data(block + 1, std::string(512, 's'))) << block;
    }
    EXPECT_LE(block, ReadAheadPool::kAreaSize / 512) << "a short read ends the transfer with an ERROR";
    EXPECT_TRUE(Silent(client, Ack(block)));

    Write("swapped", std::string(1000, 'a'));
    EXPECT_EQ(Exchange(client, Rrq("swapped", {"tsize", "0"})), Oack("tsize", "1000"));
    std::ofstream(m_Root + "/swapped.new", std::ios::binary) << std::string(700, 'b');
    ASSERT_EQ(rename((m_Root + "/swapped.new").c_str(), (m_Root + "/swapped").c_str()), 0);
    TestSocket next("127.0.0.47", 2000);
    EXPECT_EQ(Exchange(next, Rrq("swapped", {"tsize", "0"})), Oack("tsize", "700"));
    EXPECT_EQ(Exchange(next, Ack(0)), Data(1, std::string(512, 'b')));
    EXPECT_EQ(Exchange(client, Ack(0)), Data(1, std::string(512, 'a'))) << "the earlier transfer keeps its file";
}

TEST_F(TftpTest, HostileLanLinksLeavingTheFolderAreRefused) {
    std::string outside = m_Files.Root() + "/outside";
    mkdir(outside.c_str(), 0755);
    std::ofstream(outside + "/secret") << "secret";
    ASSERT_EQ(symlink((outside + "/secret").c_str(), (m_Root + "/secret").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (m_Root + "/outdir").c_str()), 0);
    ASSERT_EQ(symlink("k1000", (m_Root + "/alias").c_str()), 0);
    TestSocket client("127.0.0.48", 2000);
    for (const char *name : {"secret", "outdir/secret"}) {
        Bytes answer = Exchange(client, Rrq(name));
        ASSERT_GE(answer.size(), 2u);
        EXPECT_EQ(answer[1], 5) << name;
    }
    EXPECT_EQ(Exchange(client, Rrq("alias", {"tsize", "0"})), Oack("tsize", "1000")) << "links within the folder work";
}

namespace {

// A UDP datagram from a port no socket holds (a raw socket writes the
// header), so the answer to it draws an ICMP port unreachable.
void SendFromClosedPort(const char *from, uint16_t wFromPort, uint16_t wToPort, const Bytes &payload) {
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    ASSERT_GE(fd, 0);
    sockaddr_in source{}, target{};
    source.sin_family = target.sin_family = AF_INET;
    source.sin_addr.s_addr = inet_addr(from);
    target.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source), 0);
    size_t length = 8 + payload.size();
    Bytes udp = {static_cast<unsigned char>(wFromPort >> 8), static_cast<unsigned char>(wFromPort),
                 static_cast<unsigned char>(wToPort >> 8),   static_cast<unsigned char>(wToPort),
                 static_cast<unsigned char>(length >> 8),    static_cast<unsigned char>(length), 0, 0};
    udp.insert(udp.end(), payload.begin(), payload.end());
    sendto(fd, udp.data(), udp.size(), 0, reinterpret_cast<sockaddr *>(&target), sizeof target);
    close(fd);
}

// Datagrams that arrive until the line has been quiet for a while.
int CountUntilQuiet(TestSocket &client) {
    int count = 0;
    for (bool ok = true; ok; ++count) client.Receive(500, &ok);
    return count - 1;
}

}  // namespace

// RFC 1350's transfer identifier: each transfer answers from a port of its
// own, so ACKs sent to UDP 69 draw nothing, and a client port that closes
// (ICMP port unreachable) ends the transfer and frees its port.
TEST_F(TftpTest, HostileLanTransfersAnswerFromPortsOfTheirOwn) {
    TestSocket client("127.0.0.49", 2000);
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"tsize", "0"})), Oack("tsize", "1024"));
    uint16_t port = TransferPort(client);
    EXPECT_NE(port, 69);
    EXPECT_EQ(Exchange(client, Ack(0)), Data(1, std::string(512, 'a')));
    EXPECT_EQ(TransferPort(client), port);
    m_Ports[client.Fd()] = 69;
    EXPECT_TRUE(Silent(client, Ack(1))) << "an ACK sent to UDP 69";

    auto leaver = std::make_unique<TestSocket>("127.0.0.50", 2000);
    EXPECT_EQ(Exchange(*leaver, Rrq("k1024")), Data(1, std::string(512, 'a')));
    uint16_t leaverPort = TransferPort(*leaver);
    EXPECT_NE(leaverPort, 69);
    ASSERT_TRUE(UdpPortHeld("127.0.0.1", leaverPort));
    leaver.reset();
    SendFromClosedPort("127.0.0.50", 2000, leaverPort, Ack(1));
    bool freed = false;
    for (int i = 0; i < 300 && !freed; ++i) {
        freed = !UdpPortHeld("127.0.0.1", leaverPort);
        if (!freed) usleep(10000);
    }
    EXPECT_TRUE(freed) << "the transfer outlived its client's port";
    EXPECT_EQ(Exchange(client, Rrq("other")), Data(1, std::string(512, 'o')));
}

// A storm on a busy server holds many transfers at once, each on a port of
// its own: the ports follow the descriptor limit (a quarter of it), not a
// fixed 512. Each client has an address of its own, as machines do.
TEST_F(TftpTest, StormHoldsMoreTransfersThanTheOldFixedPorts) {
    constexpr int kClients = 700;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    rlimit raised = limit;
    raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
    if (raised.rlim_cur < 4 * kClients) GTEST_SKIP() << "the descriptor limit is below " << 4 * kClients;
    StopPXE();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    ASSERT_EQ(StartPXE(&m_Server, nullptr, 0, nullptr, 0), 0);
    std::vector<std::unique_ptr<TestSocket>> clients;
    std::set<uint16_t> ports;
    for (int i = 0; i < kClients; ++i) {
        std::string address = "127.1." + std::to_string((i + 1) / 256) + "." + std::to_string((i + 1) % 256);
        clients.push_back(std::make_unique<TestSocket>(address.c_str(), static_cast<uint16_t>(20000 + i)));
        ASSERT_EQ(Exchange(*clients.back(), Rrq("k1024")), Data(1, std::string(512, 'a'))) << "client " << i;
        ports.insert(TransferPort(*clients.back()));
    }
    EXPECT_EQ(ports.size(), static_cast<size_t>(kClients));
    EXPECT_EQ(ports.count(69), 0u);
    setrlimit(RLIMIT_NOFILE, &limit);
}

// Under load iPXE asks again after 0.25 s, from the same port, while its
// first answer is on the way, and then heeds only the port that answered
// first: the repeated request is answered from that port, which serves on.
TEST_F(TftpTest, StormResentRequestIsAnsweredFromTheFirstPort) {
    BareResponder server(m_Root);
    const Bytes request = Rrq("k1024", {"tsize", "0"});
    EXPECT_EQ(server.Send(0x0A000001, 2000, request, 0, 0), Oack("tsize", "1024"));
    int32_t nFirst = server.nAnswerPort;
    EXPECT_EQ(server.Send(0x0A000001, 2000, request, 0, 250), Oack("tsize", "1024"));
    EXPECT_EQ(server.nAnswerPort, nFirst);
    EXPECT_EQ(server.Send(0x0A000001, 2000, Ack(0), nFirst, 260), Data(1, std::string(512, 'a')));
    EXPECT_EQ(server.Send(0x0A000001, 2000, Rrq("k1024"), 0, 300), Data(1, std::string(512, 'a')));
    EXPECT_EQ(server.nAnswerPort, nFirst);
    EXPECT_EQ(server.open.size(), 1u) << "one transfer, one port";
}

// 2,000 requests from as many addresses, whose ports take the answers and
// never acknowledge, hold every transfer port: the next request is served.
TEST_F(TftpTest, HostileLanAbandonedRequestsLeaveRoomForTheNext) {
    StopPXE();
    rlimit limit{};  // the descriptors a service gets by default
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 1024);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_EQ(StartPXE(&m_Server, nullptr, 0, nullptr, 0), 0);
    int catcher = BoundSocket(INADDR_ANY, 4000, SO_REUSEADDR);
    ASSERT_GE(catcher, 0);
    for (uint32_t i = 0; i < 2000; ++i) SendSpoofed(0x7f200000 + i, Rrq("k1024"), 4000);
    TestSocket fresh("127.0.0.54", 2000);
    EXPECT_EQ(Exchange(fresh, Rrq("k1024"), 10000), Data(1, std::string(512, 'a')));
    close(catcher);
}

// No other socket joins UDP 69 while the service holds it, whatever its
// user: several workers read the service's one socket.
TEST_F(TftpTest, HostileLanNoSocketJoinsTheServicePort) {
    StopPXE();
    m_Files.WriteSettings("[Tavrel]\nLogLevel=1\nTftpWorkers=2\n");
    m_Files.UseAsHost();
    ASSERT_EQ(StartPXE(&m_Server, nullptr, 0, nullptr, 0), 0);
    EXPECT_LT(BoundSocket(htonl(0x7f000001), 69, SO_REUSEPORT), 0) << "a socket of the same user joined UDP 69";
    for (uint16_t port = 2001; port <= 2010; ++port) {
        TestSocket client("127.0.0.55", port);
        EXPECT_EQ(Exchange(client, Rrq("k1024")), Data(1, std::string(512, 'a'))) << port;
    }
}

// One forged read request with windowsize 64, then 100 forged ACK 0s: at most
// two windows reach the victim (RFC 1123's Sorcerer's Apprentice rule), from
// the transfer's port and from UDP 69 in single-port mode alike.
TEST_F(TftpTest, HostileLanRepeatedAcksDrawAtMostTwoWindows) {
    Write("big", std::string(200000, 'w'));
    for (bool bSinglePort : {false, true}) {
        if (bSinglePort) {
            StopPXE();
            m_Files.WriteSettings("[Tavrel]\nLogLevel=1\nTftpSinglePort=1\n");
            m_Files.UseAsHost();
            ASSERT_EQ(StartPXE(&m_Server, nullptr, 0, nullptr, 0), 0);
        }
        TestSocket victim(bSinglePort ? "127.0.0.53" : "127.0.0.51", 2000);
        int size = 32 << 20;  // room for every answer a flood could draw
        ASSERT_EQ(setsockopt(victim.Fd(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size), 0);
        EXPECT_EQ(Exchange(victim, Rrq("big", {"blksize", "512", "windowsize", "64"})),
                  Oack({"blksize", "512", "windowsize", "64"}));
        EXPECT_EQ(TransferPort(victim) == 69, bSinglePort);
        for (int i = 0; i < 100; ++i) Send(victim, Ack(0));
        EXPECT_LE(CountUntilQuiet(victim), 2 * 64) << (bSinglePort ? "single port" : "own port");
    }
}

// Only regular files are served: a FIFO would block the opening thread until
// a writer came, and every other transfer with it.
TEST_F(TftpTest, HostileLanOnlyRegularFilesAreServed) {
    std::string fifo = m_Root + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(mknod((m_Root + "/zero").c_str(), S_IFCHR | 0644, makedev(1, 5)), 0);
    TestSocket client("127.0.0.52", 2000);
    for (const char *name : {"fifo", "zero"}) {
        Bytes answer = Exchange(client, Rrq(name));
        ASSERT_GE(answer.size(), 2u);
        EXPECT_EQ(answer[1], 5) << name;
    }
    EXPECT_EQ(Exchange(client, Rrq("k1024")), Data(1, std::string(512, 'a'))) << "other transfers run";
    int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // frees a reader stuck in open
    if (writer >= 0) close(writer);
}

// The host's results; a fetch told alike from either source; rendered
// transfers each hold a copy of their file, all of them at most the cap.
TEST_P(TftpSourceTest, RendererResultsFetchesAndTheCap) {
    std::ofstream(m_Root + "/disk.cfg") << "on disk";
    Write("big", std::string(TAVREL_RENDER_MAX_BYTES, 'b'));
    m_bRendered = true;
    Write("grub/grub.cfg", "set timeout=1\n");
    TestSocket client("127.0.0.60", 2600);
    EXPECT_EQ(Exchange(client, Rrq("\\grub\\grub.cfg")), Data(1, "set timeout=1\n")) << "named as the folder reads it";
    Bytes notFound = {0, 5, 0, 1, 'F', 'i', 'l', 'e', ' ', 'n', 'o', 't', ' ', 'f', 'o', 'u', 'n', 'd', 0};
    for (const char *name : {"=-2", "=-7", "=1048577"}) EXPECT_EQ(Exchange(client, Rrq(name)), notFound) << name;
    EXPECT_EQ(Exchange(client, Rrq("disk.cfg")), Data(1, "on disk")) << "not the host's: from the folder";
    Exchange(client, Rrq("../etc/passwd"));
    g_Ended.clear();
    RegisterBootEventCallback(CollectEnds);
    BareResponder server(m_Root);
    EXPECT_TRUE(Fetch(server, 0x0A000001, 0));
    // The running server's first transfer may still hold its render: the cap counts it too.
    size_t nRoom = (kTftpRenderedBytesCap - RenderedBytesHeld()) / TAVREL_RENDER_MAX_BYTES;
    for (uint32_t i = 0; GetParam() && i < nRoom; ++i)
        ASSERT_EQ(server.Send(0x0B000000 + i, 2000, Rrq("big"), 0, 0).size(), 516u) << i;
    EXPECT_EQ(server.Send(0x0C000001, 2000, Rrq("big"), 0, 0).size(), GetParam() ? kBusy.size() : 516u);
    StopPXE();  // delivers what is queued
    RegisterBootEventCallback(nullptr);
    EXPECT_EQ(g_Ended.front().size + g_Ended.front().bytes + g_Ended.front().result, 1024 + 1024 + 1);
    EXPECT_EQ(g_Ended.back().reason, GetParam() ? TAVREL_REASON_BUSY : TAVREL_REASON_NONE);
    EXPECT_EQ(g_RenderAsked.at(0), "grub/grub.cfg 127.0.0.60:2600");
    EXPECT_EQ(g_RenderAsked.at(5), "k1024 10.0.0.1:2000") << "a name the folder rules refuse never reaches the host";
}

namespace {

std::mutex g_QuirkLock;
std::vector<std::string> g_QuirkEvents;  // "kind file reason quirks" of the TFTP events

void TAVREL_CALLBACK KeepQuirks(const BootEventRecordEx *event) {
    if (event->base.kind == TAVREL_EVENT_TFTP_PROGRESS) return;
    std::lock_guard<std::mutex> lock(g_QuirkLock);
    g_QuirkEvents.push_back(std::to_string(event->base.kind) + " " + event->base.file + " " +
                            std::to_string(event->base.reason) + " " + event->quirknames);
}

std::vector<std::string> QuirkEventsTold(size_t nWanted) {
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> lock(g_QuirkLock);
            if (g_QuirkEvents.size() >= nWanted) return g_QuirkEvents;
        }
        usleep(10000);
    }
    std::lock_guard<std::mutex> lock(g_QuirkLock);
    return g_QuirkEvents;
}

}  // namespace

// UEFI's size probe, the iDRAC8's request re-sent past our OACK, and a
// Raspberry Pi 4 and 5 as the bootloader's documentation and the traces of
// its public bug reports show them (no emulator runs the Pi bootloader):
// tsize 0 and blksize 1024, a probe aborted after the OACK and asked again
// from a new port, "<serial>/" first.
TEST_F(TftpTest, FirmwareQuirksAreWorkedAroundAndNamed) {
    Write("start4.elf", std::string(3000, 's'));
    mkdir((m_Root + "/2c9fb1e4").c_str(), 0755);
    Write("2c9fb1e4/config.txt", "arm_64bit=1\n");
    BareResponder server(m_Root);
    RegisterBootEventCallbackEx(KeepQuirks);
    const uint32_t uefi = 0x7f000060, idrac = 0x7f000061, pi4 = 0x7f000062, pi5 = 0x7f000063;
    EXPECT_EQ(server.Send(uefi, 3000, Rrq("k1024", {"tsize", "0", "blksize", "1468", "windowsize", "4"}), 0, 0),
              Oack({"tsize", "1024", "blksize", "1468", "windowsize", "4"}));
    const Bytes abort = {0, 5, 0, 8, 'U', 's', 'e', 'r', ' ', 'a', 'b', 'o', 'r', 't', 'e', 'd', 0};
    EXPECT_TRUE(server.Send(uefi, 3000, abort, server.nAnswerPort, 1).empty());
    const Bytes idracRrq = Rrq("k1024", {"blksize", "2048"});
    EXPECT_EQ(server.Send(idrac, 3001, idracRrq, 0, 2), Oack("blksize", "1468"));
    EXPECT_EQ(server.Send(idrac, 3001, idracRrq, 0, 3), Data(1, std::string(512, 'a'))) << "no options again";
    const Bytes piRrq = Rrq("dca63201/start4.elf", {"tsize", "0", "blksize", "1024"});
    const Bytes piOack = Oack({"tsize", "3000", "blksize", "1024"});
    EXPECT_EQ(server.Send(pi4, 49152, piRrq, 0, 4), piOack);
    const Bytes early = {0, 5, 0, 0, 'E', 'a', 'r', 'l', 'y', ' ', 't', 'e', 'r', 'm', 'i', 'n', 'a', 't', 'e', 0};
    EXPECT_TRUE(server.Send(pi4, 49152, early, server.nAnswerPort, 5).empty());
    EXPECT_EQ(server.Send(pi4, 49153, piRrq, 0, 6), piOack);
    for (unsigned block = 0; block < 3; ++block)
        EXPECT_EQ(server.Send(pi4, 49153, Ack(block), server.nAnswerPort, 7).size(), 4u + (block < 2 ? 1024 : 952));
    EXPECT_TRUE(server.Send(pi4, 49153, Ack(3), server.nAnswerPort, 8).empty());
    // A Pi 5 whose serial has a folder: from there alone.
    EXPECT_EQ(server.Send(pi5, 49154, Rrq("2c9fb1e4/config.txt", {"tsize", "0", "blksize", "1024"}), 0, 9),
              Oack({"tsize", "12", "blksize", "1024"}));
    EXPECT_EQ(server.Send(pi5, 49154, Ack(0), server.nAnswerPort, 10), Data(1, "arm_64bit=1\n"));
    EXPECT_TRUE(server.Send(pi5, 49154, Ack(1), server.nAnswerPort, 11).empty());
    EXPECT_EQ(server.Send(pi5, 49155, Rrq("2c9fb1e4/start4.elf", {"tsize", "0"}), 0, 12)[1], 5) << "not the root's";
    const std::vector<std::string> expected = {
        "5 k1024 0 ", "6 k1024 23 size-probe", "5 k1024 0 ", "5 k1024 0 resent-request",
        "5 dca63201/start4.elf 0 pi-serial-folder", "6 start4.elf 23 early-abort",
        "5 dca63201/start4.elf 0 pi-serial-folder", "6 start4.elf 0 ",
        "5 2c9fb1e4/config.txt 0 ", "6 2c9fb1e4/config.txt 0 ", "7 2c9fb1e4/start4.elf 20 ",
    };
    EXPECT_EQ(QuirkEventsTold(expected.size()), expected);
    RegisterBootEventCallbackEx(nullptr);
}
