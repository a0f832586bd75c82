// The service on a LAN it does not control: floods, junk, forged and
// spoofed datagrams, another server's answers. The service runs on
// 192.0.2.1, the attacker in the client namespace of a veth pair.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tavrel.h"
#include "support/dhcp_client.h"
#include "support/pxe_config.h"
#include "support/shell.h"

namespace {

std::atomic<int> g_nChoiceCalls{0};
std::mutex g_HostLock;
std::vector<SelectMirrorRecord> g_Reports;
const unsigned char kFloodMac[6] = {0x02, 0xF1, 0x00, 0x00, 0x00, 0x01};

// The flooding MAC belongs to another server: every flood datagram reaches
// the host and is answered by nobody.
int TAVREL_CALLBACK HostChoice(const unsigned char *mac, char *server) {
    ++g_nChoiceCalls;
    if (memcmp(mac, kFloodMac, 6) != 0) return 0;
    strcpy(server, "192.0.2.99");
    return 1;
}

int TAVREL_CALLBACK HostReport(SelectMirrorRecord *record) {
    std::lock_guard<std::mutex> guard(g_HostLock);
    g_Reports.push_back(*record);
    return 1;
}

// Sends one datagram to 192.0.2.1:67 from the client side as fast as it can.
class Flood {
public:
    Flood() {
        DhcpRequest request;
        memcpy(request.abMac, kFloodMac, 6);
        request.vendor = "";
        m_Message = BuildDhcp(request);
        m_Thread = std::thread([this] {
            while (!m_bStop) m_Sender.SendTo("192.0.2.1", 67, m_Message.data(), m_Message.size());
        });
        // Until the service's queue is full and stays full.
        for (int i = 0; i < 200 && g_nChoiceCalls < 500; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~Flood() {
        m_bStop = true;
        m_Thread.join();
    }

private:
    TestSocket m_Sender{"192.0.2.2", 6767, true};
    Bytes m_Message;
    std::atomic<bool> m_bStop{false};
    std::thread m_Thread;
};

class HostileLan : public testing::Test {
protected:
    void SetUp() override {
        g_nChoiceCalls = 0;
        g_Reports.clear();
        RegisterSelectPxeCallback(HostChoice, HostReport);
    }
    void TearDown() override { StopPXE(); }
    int Start() {
        return StartPXE(&m_Server, m_Subnets.data(), static_cast<int>(m_Subnets.size()), m_Statics.data(),
                        static_cast<int>(m_Statics.size()));
    }

    TeskPxeServerStruct m_Server = MakeServer("192.0.2.1");
    std::vector<TeskSubNetStruct> m_Subnets = {MakeSubNet("192.0.2.10", "192.0.2.14", 1)};
    std::vector<TeskStaticDhcpStruct> m_Statics;
};

}  // namespace

TEST_F(HostileLan, StopWinsOverAFloodAndTheServiceStartsAgainAtOnce) {
    ASSERT_EQ(Start(), 0);
    Flood flood;
    ASSERT_GE(g_nChoiceCalls, 500) << "the flood reaches the host";
    EXPECT_EQ(StopPXE(), 0);
    int nAtReturn = g_nChoiceCalls;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(g_nChoiceCalls, nAtReturn) << "no callback after StopPXE returned";
    for (uint16_t port : {67, 69, 4011, 4455}) EXPECT_FALSE(UdpPortHeld("192.0.2.1", port)) << port;
    EXPECT_EQ(Start(), 0) << "the ports are free for the next start";
}

TEST_F(HostileLan, BootServerIsAnsweredDuringAFloodOnPort67) {
    ASSERT_EQ(Start(), 0);
    Flood flood;
    TestSocket asker("192.0.2.2", 4011, true);
    DhcpRequest request;
    int nAnswered = 0;
    for (int i = 0; i < 5; ++i) {
        request.dwXid = 9000 + i;
        Bytes message = BuildDhcp(request);
        ASSERT_TRUE(asker.SendTo("192.0.2.1", 4011, message.data(), message.size()));
        if (AwaitXid(asker, request.dwXid, 1000).size() == 273) ++nAnswered;
    }
    EXPECT_EQ(nAnswered, 5);
}

namespace {

// One message sent up to three times as a client retries (a fresh link may
// lose the first); the answer, empty when there is none.
Bytes Exchange(TestSocket &client, const DhcpRequest &request) {
    Bytes message = BuildDhcp(request), answer;
    for (int attempt = 0; attempt < 3 && answer.empty(); ++attempt) {
        client.SendTo("255.255.255.255", 67, message.data(), message.size());
        answer = AwaitXid(client, request.dwXid, 700);
    }
    return answer;
}

// DISCOVER, then the REQUEST of a client in SELECTING; the acknowledged
// address, 0 when unanswered.
uint32_t Acquire(TestSocket &client, unsigned char last, uint32_t dwXid) {
    DhcpRequest request;
    request.abMac[5] = last;
    request.dwXid = dwXid;
    Bytes offer = Exchange(client, request);
    if (offer.empty()) return 0;
    Bytes ack = Exchange(client, SelectingRequest(request, offer));
    return ack.size() > 242 && ack[242] == 5 ? AddrAt(ack, 16) : 0;
}

}  // namespace

TEST_F(HostileLan, JunkDatagramsTakeNoAddress) {
    ASSERT_EQ(Start(), 0);
    TestSocket client("0.0.0.0", 68, true, true);
    uint32_t dwVictim = Acquire(client, 0x01, 1);
    ASSERT_EQ(dwVictim, Ip("192.0.2.10"));
    // 34 bytes: a BOOTREQUEST head and a MAC, no cookie, no message type.
    for (unsigned char last = 0xF1; last <= 0xF4; ++last) {
        unsigned char junk[34] = {1, 1, 6};
        junk[33] = last;
        ASSERT_TRUE(client.SendTo("255.255.255.255", 67, junk, sizeof junk));
    }
    DhcpRequest release;
    release.abMac[5] = 0xF5;
    release.byType = 7;
    Bytes message = BuildDhcp(release);
    client.SendTo("255.255.255.255", 67, message.data(), message.size());
    for (unsigned char last = 0x02; last <= 0x05; ++last) {
        uint32_t dwGot = Acquire(client, last, last);
        EXPECT_NE(dwGot, 0u) << "the pool still has room for client " << int(last);
        EXPECT_NE(dwGot, dwVictim) << "nobody took the acknowledged client's address";
    }
    EXPECT_EQ(Acquire(client, 0x01, 100), dwVictim) << "the victim keeps its address";
}

TEST_F(HostileLan, AFreshLeaseIsNotTakenOver) {
    ASSERT_EQ(Start(), 0);
    TestSocket client("0.0.0.0", 68, true, true);
    uint32_t held[6] = {};
    for (unsigned char last = 1; last <= 5; ++last) ASSERT_NE(held[last] = Acquire(client, last, last), 0u);
    EXPECT_EQ(Acquire(client, 6, 6), 0u) << "a full pool answers nobody new within the lease time";
    for (unsigned char last = 1; last <= 5; ++last)
        EXPECT_EQ(Acquire(client, last, 10 + last), held[last]) << "client " << int(last) << " keeps its address";
}

// A relayed answer goes to giaddr, port 67: only a relay inside the
// network of the client's address may have it, whatever the address's kind.
TEST_F(HostileLan, ForgedRelayAddressGetsNoAnswerForAStaticOrRenewedClient) {
    m_Subnets = {MakeSubNet("10.7.0.10", "10.7.0.20", 1)};
    m_Statics = {MakeStatic("52:54:00:12:34:77", "10.7.0.50")};
    ASSERT_EQ(Start(), 0);
    TestSocket relay("192.0.2.2", 67, true);
    DhcpRequest request;
    request.abMac[5] = 0x77;
    request.dwGiaddr = Ip("192.0.2.2");  // not the network of 10.7.0.50
    request.dwXid = 501;
    Bytes message = BuildDhcp(request);
    ASSERT_TRUE(relay.SendTo("192.0.2.1", 67, message.data(), message.size()));
    EXPECT_TRUE(AwaitXid(relay, 501, 700).empty()) << "static client";

    request.abMac[5] = 0x78;
    request.dwGiaddr = Ip("10.7.0.1");  // a lease through a real relay
    request.dwXid = 502;
    message = BuildDhcp(request);
    ASSERT_TRUE(relay.SendTo("192.0.2.1", 67, message.data(), message.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    request.dwGiaddr = Ip("192.0.2.2");
    request.dwXid = 503;
    message = BuildDhcp(request);
    ASSERT_TRUE(relay.SendTo("192.0.2.1", 67, message.data(), message.size()));
    EXPECT_TRUE(AwaitXid(relay, 503, 700).empty()) << "renewing client";
}

TEST_F(HostileLan, SelectionPortAnswersOnlyWholeAddressRequestsAndTakesNoServersAnswer) {
    ASSERT_EQ(Start(), 0);
    TestSocket peer("0.0.0.0", 4455, true, true);
    Bytes pack(292, 0);
    pack[0] = 0x75;
    pack[1] = 0x6d;
    pack[12] = 1;
    ASSERT_TRUE(peer.SendTo("192.0.2.255", 4455, pack.data(), 16));
    EXPECT_EQ(DatagramsFrom(peer, "192.0.2.1", 400), 0) << "a 16-byte request";
    pack[12] = 2;
    ASSERT_TRUE(peer.SendTo("192.0.2.255", 4455, pack.data(), pack.size()));
    EXPECT_EQ(DatagramsFrom(peer, "192.0.2.1", 400), 0) << "a report";
    // Another server's answer: it names its sender as the server.
    const unsigned char other[4] = {192, 0, 2, 2};
    memcpy(&pack[28], other, 4);
    ASSERT_TRUE(peer.SendTo("192.0.2.255", 4455, pack.data(), pack.size()));
    EXPECT_EQ(DatagramsFrom(peer, "192.0.2.1", 400), 0);
    std::lock_guard<std::mutex> guard(g_HostLock);
    EXPECT_EQ(g_Reports.size(), 1u) << "only the client's report reached the host";
}

TEST_F(HostileLan, NetworkTextCannotForgeALogLine) {
    ASSERT_EQ(Start(), 0);
    TestSocket client("0.0.0.0", 68, true, true);
    DhcpRequest request;
    request.vendor = "PXEClient\nmurboot: 2026-01-01 00:00:00 INFO  :FORGED";
    request.dwXid = 601;
    Bytes message = BuildDhcp(request);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(client.SendTo("255.255.255.255", 67, message.data(), message.size()));
    bool bAnswered = !AwaitXid(client, 601, 1000).empty();
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(bAnswered);
    EXPECT_NE(text.find("ClientIdentifie:PXEClient\\x0amurboot: 2026-01-01"), std::string::npos) << text;
    EXPECT_EQ(text.find("\nmurboot: 2026-01-01"), std::string::npos) << "no line of the datagram's making";
}

namespace {

// test_host in a folder tree of its own (its data/ and log/ beside its
// bin/), run as a separate process that can be killed outright.
class HostProcess {
public:
    HostProcess() {
        char pattern[] = "/tmp/tavrel-host-XXXXXX";
        m_Root = mkdtemp(pattern);
        m_Exe = m_Root + "/app/bin/test_host";
        Shell("mkdir -p '" + m_Root + "/app/bin' && cp '" TAVREL_TEST_HOST "' '" + m_Exe + "'");
    }
    ~HostProcess() {
        Stop(SIGKILL);
        Shell("rm -rf '" + m_Root + "'");
    }
    std::string LogDir() const { return m_Root + "/app/log"; }
    bool Start() {
        int out[2];
        if (pipe(out) != 0) return false;
        m_Pid = fork();
        if (m_Pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            execl(m_Exe.c_str(), m_Exe.c_str(), "--wait-signal", "192.0.2.1", "/tmp", "192.0.2.10,192.0.2.14,255.255.255.0,1",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE *lines = fdopen(out[0], "r");
        char line[256] = {};
        bool bReady = false;
        while (!bReady && fgets(line, sizeof line, lines)) bReady = strncmp(line, "ready", 5) == 0;
        // The rest of its output goes nowhere: the host must never block on a full pipe.
        m_Drain = std::thread([lines] {
            char rest[256];
            while (fgets(rest, sizeof rest, lines)) {
            }
            fclose(lines);
        });
        return bReady;
    }
    void Stop(int sig) {
        if (m_Pid <= 0) return;
        kill(m_Pid, sig);
        waitpid(m_Pid, nullptr, 0);
        m_Pid = -1;
        if (m_Drain.joinable()) m_Drain.join();
    }

private:
    std::string m_Root, m_Exe;
    pid_t m_Pid = -1;
    std::thread m_Drain;
};

// A REQUEST of a client that holds ADDRESS: RENEWING (ciaddr) or INIT-REBOOT (option 50).
uint32_t Reconfirm(TestSocket &client, unsigned char last, uint32_t dwAddress, bool bRenewing, uint32_t dwXid) {
    DhcpRequest request;
    request.byType = 3;
    request.abMac[5] = last;
    request.dwXid = dwXid;
    (bRenewing ? request.dwCiaddr : request.dwRequested) = dwAddress;
    Bytes ack = Exchange(client, request);
    return ack.size() > 242 && ack[242] == 5 ? AddrAt(ack, 16) : 0;
}

}  // namespace

TEST_F(HostileLan, LeasesSurviveAKilledAndAStoppedHost) {
    HostProcess host;
    ASSERT_TRUE(host.Start());
    TestSocket client("0.0.0.0", 68, true, true);
    uint32_t dwFirst = Acquire(client, 0x01, 1);
    ASSERT_EQ(dwFirst, Ip("192.0.2.10"));
    host.Stop(SIGKILL);
    ASSERT_TRUE(host.Start());
    uint32_t dwSecond = Acquire(client, 0x02, 2);
    EXPECT_NE(dwSecond, 0u);
    EXPECT_NE(dwSecond, dwFirst) << "a killed server's lease is not offered again";
    EXPECT_EQ(Reconfirm(client, 0x01, dwFirst, true, 3), dwFirst) << "RENEWING";
    EXPECT_EQ(Reconfirm(client, 0x01, dwFirst, false, 4), dwFirst) << "INIT-REBOOT";
    host.Stop(SIGTERM);
    ASSERT_TRUE(host.Start());
    uint32_t dwThird = Acquire(client, 0x03, 5);
    EXPECT_NE(dwThird, 0u);
    EXPECT_NE(dwThird, dwFirst);
    EXPECT_NE(dwThird, dwSecond);
    EXPECT_EQ(Reconfirm(client, 0x02, dwSecond, true, 6), dwSecond);
    EXPECT_EQ(Reconfirm(client, 0x04, dwFirst, false, 7), 0u) << "another client's address";
}

TEST_F(HostileLan, JunkOnEveryPortWritesAFewHundredLines) {
    HostProcess host;
    ASSERT_TRUE(host.Start());
    TestSocket sender("192.0.2.2", 6868, true);
    DhcpRequest reply;  // a BOOTREPLY with a vendor class: two lines each, before the cap
    reply.byOp = 2;
    Bytes bootReply = BuildDhcp(reply);
    Bytes pack(292, 0);  // bad magic
    const char rrq[] = "\0\1missing.bin\0octet";
    struct Junk {
        uint16_t wPort;
        const void *lpData;
        size_t nLen;
    } junk[] = {{67, bootReply.data(), bootReply.size()},
                {4011, bootReply.data(), bootReply.size()},
                {4455, pack.data(), pack.size()},
                {69, rrq, sizeof rrq}};
    for (const Junk &kind : junk)
        for (int i = 0; i < 20000; ++i) sender.SendTo("192.0.2.1", kind.wPort, kind.lpData, kind.nLen);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    host.Stop(SIGTERM);
    std::string log = Capture("cat '" + host.LogDir() + "'/murboot_*.log");
    size_t lines = 0;
    for (char c : log) lines += c == '\n';
    EXPECT_LT(lines, 600u) << log.substr(0, 4000);
    EXPECT_NE(log.find("similar lines suppressed"), std::string::npos);
    for (const char *line : {"ClientIdentifie:", "Dhcpd:op not BOOTREQUEST", "dwMagic dwOp  miss"})
        EXPECT_NE(log.find(line), std::string::npos) << "the first lines of each kind are written: " << line;
}

// A start from a folder without a lease file, as after the upgrade from a
// release that kept none: a machine still using 192.0.2.10 answers its
// probe, and the address is offered to nobody.
TEST_F(HostileLan, AnAddressInUseIsSkippedAfterAStartWithoutALeaseFile) {
    Shell("sysctl -qw net.ipv4.ping_group_range='0 2147483647'");  // this namespace only
    const char *lpClientNs = getenv("TAVREL_CLIENT_NETNS");
    ASSERT_NE(lpClientNs, nullptr);
    Shell(std::string("ip -n \"$(basename '") + lpClientNs + "')\" addr add 192.0.2.10/24 dev tv1");
    HostProcess host;
    ASSERT_TRUE(host.Start());
    TestSocket client("0.0.0.0", 68, true, true);
    EXPECT_EQ(Acquire(client, 0x01, 1), Ip("192.0.2.11"));
    host.Stop(SIGTERM);
    std::string log = Capture("cat '" + host.LogDir() + "'/murboot_*.log");
    EXPECT_NE(log.find("192.0.2.10 answers ICMP echo: in use, offered to nobody for 600 s"), std::string::npos) << log;
}
