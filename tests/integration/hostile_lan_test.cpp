// The service on a LAN it does not control: floods, junk, forged and
// spoofed datagrams, another server's answers. The service runs on
// 192.0.2.1, the attacker in the client namespace of a veth pair.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tavrel.h"
#include "support/dhcp_client.h"
#include "support/pxe_config.h"

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
