// Configuration apply through StartPXE and RefreshPXE, read back from the
// running service's working state.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <vector>

#include "Tavrel.h"
#include "dhcp/dhcp_server.h"
#include "interface/library_state.h"
#include "support/net_client.h"
#include "support/pxe_config.h"

namespace {

int TAVREL_CALLBACK NoChoice(const unsigned char *, char *) { return 0; }
int TAVREL_CALLBACK AcceptReport(SelectMirrorRecord *) { return 1; }

using StaticEntry = TeskDhcpServer::tag_s_dhcp;
using Lease = TeskDhcpServer::tag_d_dhcp;

class ApplyTest : public testing::Test {
protected:
    void SetUp() override {
        RegisterSelectPxeCallback(NoChoice, AcceptReport);
        m_Subnets = {MakeSubNet("127.0.0.10", "127.0.0.20", 1), MakeSubNet("127.0.1.10", "127.0.1.20", 2)};
    }
    void TearDown() override { StopPXE(); }
    int Start(std::vector<TeskStaticDhcpStruct> &statics) {
        return StartPXE(&m_Server, m_Subnets.data(), static_cast<int>(m_Subnets.size()), statics.data(),
                        static_cast<int>(statics.size()));
    }
    int Refresh(std::vector<TeskStaticDhcpStruct> &statics) {
        return RefreshPXE(&m_Server, m_Subnets.data(), static_cast<int>(m_Subnets.size()), statics.data(),
                          static_cast<int>(statics.size()));
    }
    std::unique_ptr<StaticEntry> FindStatic(const unsigned char *mac) {
        StaticEntry entry{};
        return MyDhcpServer->Leases().FindStatic(mac, &entry) ? std::make_unique<StaticEntry>(entry) : nullptr;
    }
    bool HasLease(unsigned char last) {
        unsigned char mac[6] = {2, 0, 0, 0, 0, last};
        Lease lease{};
        return MyDhcpServer->Leases().FindLease(mac, &lease);
    }

    TeskPxeServerStruct m_Server = MakeServer("127.0.0.1");
    std::vector<TeskSubNetStruct> m_Subnets;
};

const unsigned char kMacA[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
const unsigned char kMacB[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x66};

}  // namespace

TEST_F(ApplyTest, StaticMacTextsAreLowerCasedAndBadLengthsSkipped) {
    std::vector<TeskStaticDhcpStruct> statics = {
        MakeStatic("00:1A:2B:3C:4D:5E", "127.0.0.50"), MakeStatic("00:11:22:33:44", "127.0.0.51"),
        MakeStatic("00:11:22:33:44:6", "127.0.0.52"), MakeStatic("00:11:22:33:44:666", "127.0.0.53"),
        MakeStatic("00:11:22:33:44:66", "127.0.0.54")};
    ASSERT_EQ(Start(statics), 0);
    EXPECT_STREQ(statics[0].mac, "00:1a:2b:3c:4d:5e");
    EXPECT_STREQ(statics[4].mac, "00:11:22:33:44:66");
    auto a = FindStatic(kMacA);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->ip, inet_addr("127.0.0.50"));
    EXPECT_EQ(a->gateway, inet_addr("192.0.2.254"));
    EXPECT_EQ(a->dns2, inet_addr("192.0.2.54"));
    auto b = FindStatic(kMacB);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->ip, inet_addr("127.0.0.54")) << "records after skipped ones are still read";
    EXPECT_EQ(MyDhcpServer->Leases().Statics().size(), 2u);
}

TEST_F(ApplyTest, RefreshDropsRemovedStaticsAndUpdatesKeptOnesInPlace) {
    std::vector<TeskStaticDhcpStruct> statics = {MakeStatic("00:1a:2b:3c:4d:5e", "127.0.0.50"),
                                                 MakeStatic("00:11:22:33:44:66", "127.0.0.51")};
    ASSERT_EQ(Start(statics), 0);
    ASSERT_NE(FindStatic(kMacA), nullptr);
    std::vector<TeskStaticDhcpStruct> kept = {MakeStatic("00:1A:2B:3C:4D:5E", "127.0.0.60")};
    EXPECT_EQ(Refresh(kept), 0);
    EXPECT_EQ(FindStatic(kMacB), nullptr);
    ASSERT_NE(FindStatic(kMacA), nullptr);
    EXPECT_EQ(FindStatic(kMacA)->ip, inet_addr("127.0.0.60"));
    std::vector<TeskStaticDhcpStruct> none;
    EXPECT_EQ(RefreshPXE(&m_Server, m_Subnets.data(), 2, nullptr, 0), 0);
    EXPECT_EQ(FindStatic(kMacA), nullptr) << "no static records empties the cache";
}

TEST_F(ApplyTest, OptionPayloadsAndServerAddressFollowTheRecord) {
    std::vector<TeskStaticDhcpStruct> statics;
    ASSERT_EQ(Start(statics), 0);
    const unsigned char expected[59] = {
        6,  1,   7,   8,   7,   0,   1,   1,   127, 0,   0,   1,  9,  13, 0,   1,   10,  'V', 'a', 'e',
        'l', 'd', 0, 0, 0, 0, 0, 10, 29, 0, 'V', 'a', 'e', 'l', 'd', 0,   0,   0,   0,   0,
        0,  0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,  0,  0,  0,   0,   0,   0,   255};
    ASSERT_EQ(MyDhcpServer->Config()->m_DiscoveryOptionsLen, 59);
    EXPECT_EQ(memcmp(MyDhcpServer->Config()->m_DiscoveryOptions, expected, 59), 0);
    const unsigned char item[7] = {71, 4, 0, 1, 0, 0, 255};
    ASSERT_EQ(MyDhcpServer->Config()->m_BootItemOptionsLen, 7);
    EXPECT_EQ(memcmp(MyDhcpServer->Config()->m_BootItemOptions, item, 7), 0);
    EXPECT_EQ(MyDhcpServer->Config()->m_dwBroadcastIP, 0xFFFFFFFFu);
    EXPECT_EQ(MyDhcpServer->Config()->m_dwBroadcastIP2, inet_addr("127.0.0.255"));

    SET_TEXT(m_Server.ServerIP, "10.9.8.7");
    SET_TEXT(m_Server.NetMask, "255.255.255.255");
    EXPECT_EQ(Refresh(statics), 0);
    const unsigned char servers[4] = {10, 9, 8, 7};
    EXPECT_EQ(memcmp(MyDhcpServer->Config()->m_DiscoveryOptions + 8, servers, 4), 0);
    EXPECT_EQ(MyDhcpServer->Config()->m_dwServerIP, inet_addr("10.9.8.7"));
    EXPECT_EQ(MyDhcpServer->Config()->m_dwNextServerIP, inet_addr("10.9.8.7"));
    EXPECT_EQ(MyDhcpServer->Config()->m_dwBroadcastIP2, 0u) << "a host mask has no directed broadcast";
    EXPECT_STREQ(MyDhcpServer->Config()->m_PxeServer.ServerIP, "10.9.8.7");
}

TEST_F(ApplyTest, RefreshWithTooManySubnetsChangesNothing) {
    std::vector<TeskStaticDhcpStruct> statics;
    ASSERT_EQ(Start(statics), 0);
    FileTail log(TodaysLogPath());
    std::vector<TeskSubNetStruct> many(10240, MakeSubNet("10.0.0.1", "10.0.0.2", 1));
    TeskPxeServerStruct other = MakeServer("10.1.1.1");
    EXPECT_EQ(RefreshPXE(&other, many.data(), 10240, nullptr, 0), 0);
    EXPECT_EQ(MyDhcpServer->Config()->SubCount(), 2);
    EXPECT_STREQ(MyDhcpServer->Config()->m_PxeServer.ServerIP, "127.0.0.1");
    EXPECT_EQ(MyDhcpServer->Config()->m_SubNet[0].begin, 0x7F00000Au);
    EXPECT_NE(log.Read().find("error m_SubCount >= 10*1024 || NULL !=IN_lpTeskPxeServerStruct"), std::string::npos);
}

// A file read half-written (no range) is refused while leases are live;
// a lease outside the ranges sleeps until a range covers it again.
TEST_F(ApplyTest, LeasesOutsideTheRangesSleepAndANoRangeRefreshIsRefused) {
    std::vector<TeskStaticDhcpStruct> statics;
    ASSERT_EQ(Start(statics), 0);
    unsigned char mac[6] = {2, 0, 0, 0, 0, 0};
    TeskDhcpServer::AddressGrant grant{};
    for (mac[5] = 1; mac[5] <= 3; ++mac[5]) MyDhcpServer->Leases().AssignAddress(mac, 1, 0, &grant);  // .10 to .12
    m_Subnets[0] = MakeSubNet("127.0.0.10", "127.0.0.11", 1);
    EXPECT_EQ(Refresh(statics), 0);
    FileTail log(TodaysLogPath());
    EXPECT_EQ(RefreshPXE(&m_Server, nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(MyDhcpServer->Config()->SubCount(), 2) << "refused";
    EXPECT_NE(log.Read().find("configuration refused: it names no range while leases are live"), std::string::npos);
    m_Server.dhcpmode = 1;
    EXPECT_EQ(RefreshPXE(&m_Server, nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(MyDhcpServer->Config()->SubCount(), 0);
    for (unsigned char client = 1; client <= 3; ++client) EXPECT_TRUE(HasLease(client)) << int(client);
    m_Server.dhcpmode = 0;
    m_Subnets[0] = MakeSubNet("127.0.0.10", "127.0.0.20", 1);
    EXPECT_EQ(Refresh(statics), 0);
    mac[5] = 3;
    LeaseBook::ClientRequest renewal{mac, 1, 0, inet_addr("127.0.0.12"), 0, 0};
    uint32_t ip = 0;
    std::shared_ptr<const ConfigSnapshot> config;
    EXPECT_EQ(MyDhcpServer->Leases().ConfirmRequest(renewal, &ip, &grant, &config), LeaseBook::RequestOutcome::kAck);
    EXPECT_EQ(ip, inet_addr("127.0.0.12")) << "the holder's renewal, once its range is back";
}
