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
