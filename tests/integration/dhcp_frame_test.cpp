// The DHCP frame with handlers the test injects: who receives what, where
// answers go, oversized datagrams, and stopping a worker that is stuck in a
// host callback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "Tavrel.h"
#include "dhcp/dhcp_server.h"
#include "interface/library_state.h"
#include "log/logger.h"
#include "support/net_client.h"
#include "support/pxe_config.h"

namespace {

// Answers every datagram with "echo:" and what it received, except its own
// answers, which broadcasts bring back to the server.
using Record = TeskDhcpServer::_socklist;
using Destination = TeskDhcpServer::AnswerDestination;

// Each socket's answers go where the protocol handlers send theirs.
void AnswerAsTheProtocolDoes(const Record *record, Destination *to) {
    const uint16_t ports[3] = {68, 0, 4455};
    *to = record->nSocketType == TeskDhcpServer::SOCK_PROXY
              ? Destination{false, record->peer.dwAddr, ntohs(record->peer.wPort)}
              : Destination{true, 0, ports[record->nSocketType]};
}

int EchoHandler(Record *record, Destination *to) {
    unsigned char copy[TeskDhcpServer::kDataSize];
    int len = record->nRecvLen;
    if (len >= 5 && memcmp(record->data, "echo:", 5) == 0) return -1;
    memcpy(copy, record->data, static_cast<size_t>(len));
    memcpy(record->data, "echo:", 5);
    memcpy(record->data + 5, copy, static_cast<size_t>(len));
    record->nSendLen = len + 5;
    AnswerAsTheProtocolDoes(record, to);
    return 0;
}

std::atomic<int> g_nCallbackCalls{0};
std::atomic<bool> g_bCallbackDone{false};
int TAVREL_CALLBACK SlowChoice(const unsigned char *, char *) {
    ++g_nCallbackCalls;
    std::this_thread::sleep_for(std::chrono::seconds(5));
    g_bCallbackDone = true;
    return 0;
}
int TAVREL_CALLBACK AcceptReport(SelectMirrorRecord *) { return 1; }

// Returns once the test has set a time to return at, and that time is past.
using Clock = std::chrono::steady_clock;
std::atomic<Clock::rep> g_nReturnAt{0};
int TAVREL_CALLBACK TimedChoice(const unsigned char *, char *) {
    ++g_nCallbackCalls;
    while (g_nReturnAt == 0 || Clock::now().time_since_epoch().count() < g_nReturnAt)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    g_bCallbackDone = true;
    return 0;
}

// Consults the host, as the real handlers do, before answering.
int AskingHandler(Record *record, Destination *) {
    char server[16] = {};
    g_HostHooks.selectPxeServer.load()(record->data + 28, server);
    return -1;
}

// The frame's answerer, one handler for all three sockets.
using Handler = int (*)(Record *record, Destination *to);
class HandlerAnswerer : public DhcpAnswerer {
public:
    std::atomic<Handler> m_Handler{nullptr};
    int Answer(Record *record, uint64_t, Destination *to) override { return m_Handler.load()(record, to); }
};

class FrameTest : public testing::Test {
protected:
    void Start(const char *ip, Handler handler) {
        RegisterSelectPxeCallback(SlowChoice, AcceptReport);
        LogInit();
        m_Server = MakeServer(ip);
        TeskSubNetStruct subnet = MakeSubNet("192.0.2.10", "192.0.2.20", 1);
        m_Answerer.m_Handler = handler;
        m_lpService = TeskDhcpServer::Create(g_HostHooks, &m_Answerer);
        ASSERT_EQ(m_lpService->StartServer(&m_Server, &subnet, 1, nullptr, 0), 0);
    }
    // StopServer's result: 1 when the busy worker was handed the service.
    int Stop() {
        int nResult = TeskServiceFrame::StopAndFree(m_lpService);
        m_lpService = nullptr;
        return nResult;
    }
    void TearDown() override { Stop(); }
    TeskPxeServerStruct m_Server{};
    // Outlives the service: a worker handed the service may still call it.
    static HandlerAnswerer m_Answerer;
    TeskDhcpServer *m_lpService = nullptr;
};

HandlerAnswerer FrameTest::m_Answerer;

}  // namespace

TEST_F(FrameTest, BroadcastRequestReachesServerAndAnswersReachClient) {
    Start("192.0.2.1", EchoHandler);
    TestSocket client68("0.0.0.0", 68, true, true);
    TestSocket client4455("0.0.0.0", 4455, true, true);
    TestSocket asker("192.0.2.2", 5000, true, true);
    bool ok = false;

    ASSERT_TRUE(client68.SendTo("255.255.255.255", 67, "discover", 8));
    sockaddr_in from{};
    auto answer = client68.Receive(3000, &ok, &from);
    ASSERT_TRUE(ok) << "a limited broadcast to 67 is received and answered by broadcast to 68";
    EXPECT_EQ(std::string(answer.begin(), answer.end()), "echo:discover");
    EXPECT_EQ(from.sin_addr.s_addr, inet_addr("192.0.2.1")) << "the answer leaves from the server address";
    EXPECT_EQ(ntohs(from.sin_port), 67);

    ASSERT_TRUE(client4455.SendTo("192.0.2.255", 4455, "select", 6));
    answer = client4455.Receive(3000, &ok, &from);
    if (ok && answer.size() == 6) answer = client4455.Receive(3000, &ok, &from);  // our own broadcast
    ASSERT_TRUE(ok) << "a subnet broadcast to 4455 is answered by broadcast to 4455";
    EXPECT_EQ(std::string(answer.begin(), answer.end()), "echo:select");

    ASSERT_TRUE(asker.SendTo("192.0.2.1", 4011, "proxy", 5));
    answer = asker.Receive(3000, &ok, &from);
    ASSERT_TRUE(ok) << "port-4011 answers go back to the sender";
    EXPECT_EQ(std::string(answer.begin(), answer.end()), "echo:proxy");
    EXPECT_EQ(ntohs(from.sin_port), 4011);
}

TEST_F(FrameTest, OversizedDatagramIsDroppedAndTheWorkerGoesOn) {
    Start("192.0.2.1", EchoHandler);
    TestSocket asker("192.0.2.2", 5001, true);
    FileTail log(TodaysLogPath());
    std::vector<unsigned char> big(1501, 'x');
    ASSERT_TRUE(asker.SendTo("192.0.2.1", 4011, big.data(), big.size()));
    ASSERT_TRUE(asker.SendTo("192.0.2.1", 4011, "after", 5));
    bool ok = false;
    auto answer = asker.Receive(3000, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::string(answer.begin(), answer.end()), "echo:after");
    EXPECT_NE(log.Read().find("recvfrom error RecvSize:-1,socket_type:1, ---TeskDhcpServer---327"), std::string::npos);
    // Exactly 1500 bytes still fit.
    std::vector<unsigned char> full(1500, 'y');
    ASSERT_TRUE(asker.SendTo("192.0.2.1", 4011, full.data(), full.size()));
    answer = asker.Receive(3000, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(answer.size(), 1505u);
}

TEST_F(FrameTest, StopReturnsWhileAHostCallbackBlocksTheWorker) {
    Start("192.0.2.1", AskingHandler);
    TestSocket asker("192.0.2.2", 5002, true);
    g_nCallbackCalls = 0;
    g_bCallbackDone = false;
    ASSERT_TRUE(asker.SendTo("192.0.2.1", 4011, "wake", 4));
    for (int i = 0; i < 100 && g_nCallbackCalls == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(g_nCallbackCalls, 1);
    EXPECT_EQ(Stop(), 1) << "the busy worker owns the service now";
    EXPECT_FALSE(g_bCallbackDone) << "the stop returned while the callback still ran";
    // The worker frees its service once the callback returns; sanitizers
    // watch for use after free. Give it the time to get there.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    EXPECT_FALSE(UdpPortHeld("192.0.2.1", 4011)) << "the abandoned worker closed its sockets";
}

TEST_F(FrameTest, StopIsRepeatableAndFreesThePorts) {
    for (int round = 0; round < 3; ++round) {
        Start("192.0.2.1", EchoHandler);
        EXPECT_EQ(m_lpService->StopServer(), 0);
        EXPECT_FALSE(UdpPortHeld("192.0.2.1", 67));
        EXPECT_EQ(Stop(), 0);
    }
}

// The host gives a stuck worker the service at the stop deadline. Callbacks
// that return just before, at and just after it land some rounds between the
// host's timed-out wait and the hand-over; the sanitizers watch both threads.
TEST_F(FrameTest, StuckWorkerHandOverIsSafeWhenTheCallbackReturnsAtTheDeadline) {
    constexpr int kWaitMs = 10, kRounds = 150;
    std::mt19937 random(11);
    TestSocket asker("192.0.2.2", 5003, true);
    for (int round = 0; round < kRounds; ++round) {
        Start("192.0.2.1", AskingHandler);
        if (HasFatalFailure()) return;
        RegisterSelectPxeCallback(TimedChoice, AcceptReport);
        m_lpService->SetStopWaitMs(kWaitMs);
        g_nCallbackCalls = 0;
        g_bCallbackDone = false;
        g_nReturnAt = 0;
        ASSERT_TRUE(asker.SendTo("192.0.2.1", 4011, "wake", 4));
        while (g_nCallbackCalls == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
        auto offset = std::chrono::microseconds(static_cast<int>(random() % 1500) - 600);
        g_nReturnAt = (Clock::now() + std::chrono::milliseconds(kWaitMs) + offset).time_since_epoch().count();
        Stop();
        while (!g_bCallbackDone) std::this_thread::sleep_for(std::chrono::microseconds(100));
        // A handed-over worker closes the ports on its way out: all three must
        // be free before the next round binds them again.
        for (uint16_t port : {67, 4011, 4455})
            for (int i = 0; i < 5000 && UdpPortHeld("192.0.2.1", port); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// ---- DHCPv6 on UDP 547 -----------------------------------------------------

#include <net/if.h>
#include <netinet/icmp6.h>
#include <poll.h>
#include <sched.h>

#include <fcntl.h>
#include <mutex>

#include "dhcp6/dhcp6_frame.h"
#include "support/shell.h"

namespace {

// Answers a SOLICIT (1) with an ADVERTISE (2) of its transaction to its
// sender, and remembers where the SOLICIT came from and went.
class SolicitAnswerer : public Dhcp6Answerer {
public:
    int Answer(const Dhcp6Datagram &datagram, uint64_t, Dhcp6Reply *lpReply) override {
        if (datagram.nLen < 4 || datagram.lpData[0] != 1) return -1;
        memcpy(lpReply->abData, datagram.lpData, 4);
        lpReply->abData[0] = 2;
        lpReply->nLen = 4;
        lpReply->to = datagram.from;
        std::lock_guard<std::mutex> guard(m_Mutex);
        m_Seen.push_back(datagram.to);
        m_dwInterface = datagram.dwInterface;
        return 0;
    }
    int Reconfigure(const Dhcp6Start &) override { return 0; }
    std::vector<IpAddress> Seen(uint32_t *lpInterface) {
        std::lock_guard<std::mutex> guard(m_Mutex);
        *lpInterface = m_dwInterface;
        return m_Seen;
    }

private:
    std::mutex m_Mutex;
    std::vector<IpAddress> m_Seen;
    uint32_t m_dwInterface = 0;
};

std::string ClientNs() { return std::string(basename(getenv("TAVREL_CLIENT_NETNS"))); }

// Both sides of the pair with their IPv6 addresses past duplicate detection.
void AddIpv6Addresses() {
    ASSERT_EQ(Shell("ip addr add 2001:db8::1/64 dev tv0 nodad && ip -n " + ClientNs() +
                    " addr add 2001:db8::2/64 dev tv1 nodad"),
              0);
    ASSERT_EQ(Shell("for i in $(seq 100); do [ -z \"$(ip -6 addr show tentative)$(ip -n " + ClientNs() +
                    " -6 addr show tentative)\" ] && exit 0; sleep 0.1; done; exit 1"),
              0)
        << "link-local addresses still tentative";
}

// A socket of the client namespace on tv1: UDP on PORT, or raw ICMPv6.
int ClientSocket6(int type, int protocol, uint16_t port, uint32_t *lpIndex) {
    int fd = -1;
    std::thread([&] {
        int ns = open(getenv("TAVREL_CLIENT_NETNS"), O_RDONLY);
        if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0) {
            fd = socket(AF_INET6, type, protocol);
            *lpIndex = if_nametoindex("tv1");
        }
        if (ns >= 0) close(ns);
    }).join();
    if (fd < 0) return fd;
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, "tv1", 4);
    int on = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(port);
    if (type == SOCK_DGRAM) bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    return fd;
}

sockaddr_in6 To6(const char *lpText, uint16_t port, uint32_t dwScope) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    to.sin6_scope_id = dwScope;
    inet_pton(AF_INET6, lpText, &to.sin6_addr);
    return to;
}

// The next datagram within 5 s, its sender and hop limit; empty on none.
std::vector<unsigned char> Receive6(int fd, sockaddr_in6 *from, int *lpHops = nullptr) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return {};
    std::vector<unsigned char> data(2048);
    char control[256];
    iovec iov{data.data(), data.size()};
    msghdr msg{};
    msg.msg_name = from;
    msg.msg_namelen = sizeof *from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got = recvmsg(fd, &msg, 0);
    data.resize(got > 0 ? static_cast<size_t>(got) : 0);
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c && lpHops; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT) memcpy(lpHops, CMSG_DATA(c), sizeof *lpHops);
    return data;
}

IpAddress Address6Of(const sockaddr_in6 &addr) { return IpAddress::FromV6(addr.sin6_addr.s6_addr, addr.sin6_scope_id); }

struct Frame6 {
    TeskPxeServerV6Struct server{};
    Dhcp6Start start;
    SolicitAnswerer *lpAnswerer = new SolicitAnswerer();
    Dhcp6Frame *lpFrame = new Dhcp6Frame(std::unique_ptr<Dhcp6Answerer>(lpAnswerer));
    explicit Frame6(const char *lpPrefix = nullptr) {
        SET_TEXT(server.ServerIP, "2001:db8::1");
        if (lpPrefix) {
            SET_TEXT(server.raprefix, lpPrefix);
            server.routeradvert = 1;
        }
        start.lpServer = &server;
        ParseIpAddress("2001:db8::1", &start.server);
        start.dwInterface = if_nametoindex("tv0");
        start.bHasInterfaceMac = platform::InterfaceMacOf(start.dwInterface, start.abInterfaceMac) == 0;
    }
    ~Frame6() { EXPECT_EQ(TeskServiceFrame::StopAndFree(lpFrame), 0); }
};

}  // namespace

// A SOLICIT to ff02::1:2 reaches the responder with where it went and the
// interface; the answer leaves from the interface's link-local address for
// the client's link-local :546, and a unicast from a global address is
// answered from the server's.
TEST(Dhcp6FrameTest, SolicitIsAnsweredFromTheRightSource) {
    AddIpv6Addresses();
    Frame6 frame;
    ASSERT_EQ(frame.lpFrame->StartServer(frame.start), 0);
    IpAddress linkLocal;
    ASSERT_EQ(platform::LinkLocalAddressOf(frame.start.dwInterface, &linkLocal), 0);
    uint32_t dwClientIf = 0;
    int fd = ClientSocket6(SOCK_DGRAM, 0, Dhcp6Frame::kClientPort, &dwClientIf);
    ASSERT_GE(fd, 0);
    const unsigned char solicit[] = {1, 0xaa, 0xbb, 0xcc, 0, 1, 0, 0};
    sockaddr_in6 group = To6("ff02::1:2", 547, dwClientIf);
    ASSERT_EQ(sendto(fd, solicit, sizeof solicit, 0, reinterpret_cast<sockaddr *>(&group), sizeof group), 8);
    sockaddr_in6 from{};
    std::vector<unsigned char> answer = Receive6(fd, &from);
    ASSERT_EQ(answer, (std::vector<unsigned char>{2, 0xaa, 0xbb, 0xcc}));
    EXPECT_EQ(ntohs(from.sin6_port), 547);
    EXPECT_EQ(memcmp(from.sin6_addr.s6_addr, linkLocal.Bytes(), 16), 0) << IpText(Address6Of(from)).c_str();
    sockaddr_in6 server = To6("2001:db8::1", 547, 0);
    ASSERT_EQ(sendto(fd, solicit, sizeof solicit, 0, reinterpret_cast<sockaddr *>(&server), sizeof server), 8);
    answer = Receive6(fd, &from);
    ASSERT_EQ(answer.size(), 4u);
    EXPECT_EQ(IpText(Address6Of(from)).c_str(), std::string("2001:db8::1"));
    uint32_t dwInterface = 0;
    std::vector<IpAddress> seen = frame.lpAnswerer->Seen(&dwInterface);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(IpText(seen[0]).c_str(), std::string("ff02::1:2%") + std::to_string(frame.start.dwInterface));
    EXPECT_EQ(IpText(seen[1]).c_str(), std::string("2001:db8::1"));
    EXPECT_EQ(dwInterface, frame.start.dwInterface);
    close(fd);
}

// The advertisement a lab without a router gets: from the link-local
// address, hop limit 255, M and O set, router lifetime 0, the prefix
// on-link without autonomous addresses; and one more for a solicitation.
TEST(Dhcp6FrameTest, RouterAdvertisementIsManagedAndNeverADefaultRouter) {
    AddIpv6Addresses();
    uint32_t dwClientIf = 0;
    int fd = ClientSocket6(SOCK_RAW, IPPROTO_ICMPV6, 0, &dwClientIf);
    ASSERT_GE(fd, 0);
    Frame6 frame("2001:db8:1::5/64");
    ASSERT_EQ(frame.lpFrame->StartServer(frame.start), 0);
    IpAddress linkLocal;
    ASSERT_EQ(platform::LinkLocalAddressOf(frame.start.dwInterface, &linkLocal), 0);
    sockaddr_in6 from{};
    int nHops = 0;
    std::vector<unsigned char> advert;
    // Other ICMPv6 (neighbour discovery) may come first.
    for (int i = 0; i < 20 && (advert.empty() || advert[0] != 134); ++i) advert = Receive6(fd, &from, &nHops);
    ASSERT_EQ(advert.size(), 16u + 8 + 32);
    EXPECT_EQ(nHops, 255);
    EXPECT_EQ(memcmp(from.sin6_addr.s6_addr, linkLocal.Bytes(), 16), 0);
    EXPECT_EQ(advert[5], 0xC0) << "managed and other";
    EXPECT_EQ(advert[6] | advert[7], 0) << "router lifetime 0";
    EXPECT_EQ(advert[16], 1) << "source link-layer address";
    const unsigned char *prefix = advert.data() + 24;
    EXPECT_EQ(prefix[0], 3);
    EXPECT_EQ(prefix[2], 64);
    EXPECT_EQ(prefix[3], 0x80) << "on-link, not autonomous";
    const unsigned char expected[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 1};
    EXPECT_EQ(memcmp(prefix + 16, expected, 16), 0);
    const unsigned char solicitation[8] = {133};
    sockaddr_in6 routers = To6("ff02::2", 0, dwClientIf);
    int nHopLimit = 255;
    setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &nHopLimit, sizeof nHopLimit);
    uint64_t nBefore = frame.lpFrame->AdvertsSent();
    advert.clear();
    // Answered once the 3 s since the last advertisement have passed.
    for (int i = 0; i < 5 && frame.lpFrame->AdvertsSent() == nBefore; ++i) {
        sendto(fd, solicitation, sizeof solicitation, 0, reinterpret_cast<sockaddr *>(&routers), sizeof routers);
        advert = Receive6(fd, &from);
    }
    EXPECT_GT(frame.lpFrame->AdvertsSent(), nBefore);
    close(fd);
}

#include "interface/pxe_v6.h"
#include "support/temp_tree.h"

namespace {
std::unique_ptr<Dhcp6Answerer> MakeSolicitAnswerer(const Dhcp6Start &, const DhcpHostHooks &) {
    return std::make_unique<SolicitAnswerer>();
}
std::mutex g_EventsMutex;
std::vector<BootEventRecordV6> g_EventsV6;
std::atomic<int> g_nEventsV4{0};
void TAVREL_CALLBACK OnEventV6(const BootEventRecordV6 *event) {
    std::lock_guard<std::mutex> guard(g_EventsMutex);
    g_EventsV6.push_back(*event);
}
void TAVREL_CALLBACK OnEventV4(const BootEventRecord *) { ++g_nEventsV4; }
int TAVREL_CALLBACK NoChoice6(const unsigned char *, char *) { return 0; }
}  // namespace

// StartPXEV6 serves TFTP on its IPv6 address: a client of the link reads a
// file byte for byte with the block fitted to the IPv6 path (1500 - 40 - 8
// - 4), and the transfer's events reach the IPv6 observer alone.
TEST(Dhcp6FrameTest, StartPxeV6ServesTftpOverIpv6) {
    AddIpv6Addresses();
    TempTree tree;
    std::string root = tree.Root() + "/boot";
    ASSERT_EQ(Shell("mkdir -p " + root + " && head -c 300000 /dev/urandom > " + root + "/six.bin"), 0);
    g_pfnMakeDhcp6Answerer = MakeSolicitAnswerer;
    RegisterSelectPxeCallback(NoChoice6, AcceptReport);
    RegisterBootEventCallback(OnEventV4);
    RegisterBootEventCallbackV6(OnEventV6);
    TeskPxeServerV6Struct server{};
    SET_TEXT(server.ServerIP, "2001:db8::1");
    SET_TEXT(server.ifname, "tv0");
    SET_TEXT(server.rootpath, root.c_str());
    ASSERT_EQ(StartPXEV6(&server, nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(StartPXEV6(&server, nullptr, 0, nullptr, 0), 0) << "a second start reconfigures";
    EXPECT_EQ(Shell("cd " + tree.Root() + " && ip netns exec " + ClientNs() +
                    " curl -s --tftp-blksize 1468 -o got.bin 'tftp://[2001:db8::1]/six.bin' && cmp got.bin " + root +
                    "/six.bin"),
              0);
    EXPECT_EQ(StopPXE(), 0);
    RegisterBootEventCallback(nullptr);
    RegisterBootEventCallbackV6(nullptr);
    g_pfnMakeDhcp6Answerer = nullptr;
    EXPECT_EQ(g_nEventsV4.load(), 0);
    std::lock_guard<std::mutex> guard(g_EventsMutex);
    ASSERT_FALSE(g_EventsV6.empty());
    const BootEventRecordV6 &started = g_EventsV6.front();
    EXPECT_EQ(int{started.base.kind}, TAVREL_EVENT_TFTP_STARTED);
    EXPECT_EQ(int{started.base.blksize}, 1448);
    EXPECT_STREQ(started.address, "2001:db8::2");
    EXPECT_EQ(int{g_EventsV6.back().base.kind}, TAVREL_EVENT_TFTP_ENDED);
    EXPECT_EQ(int{g_EventsV6.back().base.result}, 1);
}
