// Address assignment on a service object that is configured but not
// started: the same calls the request handlers make.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>
#include <random>
#include <set>
#include <vector>

#include "dhcp/config_snapshot.h"
#include "dhcp/lease_book.h"
#include "support/pxe_config.h"

namespace {

using Grant = LeaseBook::AddressGrant;
using Lease = LeaseBook::tag_d_dhcp;
using Outcome = LeaseBook::RequestOutcome;

// The book's clock: tests move time instead of editing leases.
int64_t g_nNow = 1000000;
int64_t TestClock() { return g_nNow; }

class AssignTest : public testing::Test {
protected:
    void SetUp() override {
        g_nNow = 1000000;
        ASSERT_TRUE(m_Leases.CreateCaches());
        m_Subnets = {MakeSubNet("10.0.0.10", "10.0.0.20", 1)};
    }
    void Apply() {
        ASSERT_EQ(m_Leases.Install(BuildConfigSnapshot(&m_Server, m_Subnets.data(), static_cast<int>(m_Subnets.size()),
                                                       m_Statics.data(), static_cast<int>(m_Statics.size()))),
                  0);
    }
    static std::vector<unsigned char> Mac(int n) { return {2, 0, 0, 0, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)}; }
    static std::string Text(uint32_t ip) { return ip == 0 ? "none" : inet_ntoa(in_addr{ip}); }
    std::string Assign(int client, int kind, Grant *grant = nullptr, uint32_t giaddr = 0, bool bOfferOnly = false) {
        Grant local{};
        return Text(m_Leases.AssignAddress(Mac(client).data(), kind, giaddr, grant ? grant : &local, nullptr, bOfferOnly));
    }
    std::unique_ptr<Lease> LeaseOf(int client) {
        Lease lease{};
        return m_Leases.FindLease(Mac(client).data(), &lease) ? std::make_unique<Lease>(lease) : nullptr;
    }
    void SetLease(int client, const Lease &lease) { ASSERT_TRUE(m_Leases.RestoreLease(Mac(client).data(), lease)); }
    // A REQUEST of the client: its outcome, and the address acknowledged.
    std::pair<Outcome, std::string> Request(int client, const char *requested, const char *ciaddr = nullptr,
                                            const char *server = nullptr, int kind = 1) {
        std::vector<unsigned char> mac = Mac(client);
        LeaseBook::ClientRequest request{mac.data(), kind, 0, ciaddr ? inet_addr(ciaddr) : 0u,
                                         requested ? inet_addr(requested) : 0u, server ? inet_addr(server) : 0u};
        uint32_t ip = 0;
        Grant grant{};
        std::shared_ptr<const ConfigSnapshot> config;
        Outcome outcome = m_Leases.ConfirmRequest(request, &ip, &grant, &config);
        return {outcome, outcome == Outcome::kAck ? Text(ip) : "-"};
    }

    LeaseBook m_Leases{TestClock};
    TeskPxeServerStruct m_Server = MakeServer("10.0.0.1");
    std::vector<TeskSubNetStruct> m_Subnets;
    std::vector<TeskStaticDhcpStruct> m_Statics;
};

}  // namespace

TEST_F(AssignTest, StaticEntryWinsOverModeAndLease) {
    Apply();
    EXPECT_EQ(Assign(1, 1), "10.0.0.10");
    m_Statics = {MakeStatic("02:00:00:00:00:01", "10.9.9.9")};
    m_Server.dhcpmode = 1;
    Apply();
    Grant grant{};
    EXPECT_EQ(Assign(1, 2, &grant), "10.9.9.9");
    EXPECT_EQ(grant.gateway, inet_addr("192.0.2.254"));
    EXPECT_EQ(Assign(2, 1), "none") << "static entries only";
}

TEST_F(AssignTest, LowestFreeSkipsServerAndStaticAddresses) {
    m_Server = MakeServer("10.0.0.10");
    m_Statics = {MakeStatic("02:00:00:00:09:09", "10.0.0.11")};
    Apply();
    EXPECT_EQ(Assign(1, 1), "10.0.0.12");
    EXPECT_EQ(Assign(2, 1), "10.0.0.13");
    EXPECT_EQ(Assign(1, 1), "10.0.0.12") << "renewal";
}

TEST_F(AssignTest, RenewalTakesCurrentRangeValues) {
    Apply();
    Assign(1, 1);
    Assign(2, 1);
    Assign(3, 1);  // 10.0.0.12
    g_nNow += 5;
    m_Subnets[0] = MakeSubNet("10.0.0.10", "10.0.0.20", 1, "10.0.0.254");
    Apply();
    Grant grant{};
    EXPECT_EQ(Assign(3, 1, &grant), "10.0.0.12");
    EXPECT_EQ(grant.gateway, inet_addr("10.0.0.254"));
    EXPECT_EQ(LeaseOf(3)->time, g_nNow);
    EXPECT_EQ(LeaseOf(3)->gateway, inet_addr("192.0.2.254")) << "the stored values stay";
}

TEST_F(AssignTest, LeasesOnRangeEdgesAreReissued) {
    m_Subnets = {MakeSubNet("10.0.0.10", "10.0.0.12", 1), MakeSubNet("10.0.1.10", "10.0.1.12", 2)};
    Apply();
    EXPECT_EQ(Assign(1, 1), "10.0.0.10");
    EXPECT_EQ(Assign(2, 1), "10.0.0.11");
    EXPECT_EQ(Assign(3, 1), "10.0.0.12");
    EXPECT_EQ(Assign(1, 1), "10.0.0.10") << "first address: dropped, then the lowest free again";
    EXPECT_EQ(Assign(1, 2), "10.0.1.10") << "client 1 moves to the other kind and frees 10.0.0.10";
    EXPECT_EQ(Assign(3, 1), "10.0.0.10") << "last address: dropped for the lowest free one";
}

TEST_F(AssignTest, TakeOverTakesTheLeaseUnrenewedLongestAndOnlyAfterALeaseTime) {
    m_Subnets = {MakeSubNet("10.0.0.10", "10.0.0.11", 1)};
    Apply();
    EXPECT_EQ(Assign(1, 1), "10.0.0.10");
    EXPECT_EQ(Assign(2, 1), "10.0.0.11");
    EXPECT_EQ(Assign(3, 1), "none") << "both leases are younger than the advertised lease time";
    Lease second = *LeaseOf(2);
    second.time -= 45;
    second.gateway = inet_addr("10.0.0.99");
    SetLease(2, second);
    g_nNow += LeaseBook::kLeaseSeconds + 5;
    Grant grant{};
    EXPECT_EQ(Assign(3, 1, &grant), "10.0.0.11") << "the least recently renewed goes first";
    EXPECT_EQ(grant.gateway, inet_addr("10.0.0.99")) << "with the old client's values";
    EXPECT_EQ(LeaseOf(2), nullptr);
    g_nNow = -1;
    EXPECT_EQ(Assign(4, 1), "none") << "a clock failure stops a take-over";
}

TEST_F(AssignTest, AnAddressOfferedButNeverRequestedIsHeldOnlyBriefly) {
    m_Subnets = {MakeSubNet("10.0.0.10", "10.0.0.12", 1)};
    Apply();
    for (int client = 1; client <= 3; ++client) EXPECT_NE(Assign(client, 1, nullptr, 0, true), "none");
    EXPECT_EQ(Assign(2, 1), "10.0.0.11") << "client 2 requests its offer";
    EXPECT_EQ(Assign(2, 1, nullptr, 0, true), "10.0.0.11") << "a later DISCOVER keeps the requested lease held";
    EXPECT_EQ(Assign(4, 1, nullptr, 0, true), "none") << "the offers are still held";
    g_nNow += LeaseBook::kOfferHoldSeconds + 1;
    EXPECT_NE(Assign(4, 1), "none") << "an unrequested offer is free once its hold is over";
    EXPECT_NE(Assign(5, 1), "none");
    EXPECT_EQ(Assign(6, 1), "none") << "a requested lease belongs to its client for the lease time";
    EXPECT_EQ(Assign(2, 1), "10.0.0.11");
}

TEST_F(AssignTest, KindsAreServedByTheirOwnRanges) {
    Apply();
    EXPECT_EQ(Assign(1, 1), "10.0.0.10");
    EXPECT_EQ(Assign(1, 2), "none") << "no range of kind 2";
    ASSERT_NE(LeaseOf(1), nullptr) << "the lease stays";
    m_Subnets.push_back(MakeSubNet("10.0.0.10", "10.0.0.20", 2));
    Apply();
    EXPECT_EQ(Assign(2, 2), "10.0.0.10") << "a lease of the other kind does not block";
    EXPECT_EQ(Assign(3, 1), "10.0.0.11");
}

TEST_F(AssignTest, RelayedClientsUseTheirNetworkOnly) {
    m_Subnets = {MakeSubNet("10.0.0.10", "10.0.0.11", 1), MakeSubNet("10.1.0.10", "10.1.0.10", 1)};
    Apply();
    EXPECT_EQ(Assign(1, 1, nullptr, inet_addr("10.1.0.1")), "10.1.0.10");
    g_nNow += LeaseBook::kLeaseSeconds;
    EXPECT_EQ(Assign(2, 1, nullptr, inet_addr("10.1.0.1")), "10.1.0.10") << "take-over within the network";
    EXPECT_EQ(Assign(3, 1, nullptr, inet_addr("10.5.0.1")), "none");
    EXPECT_EQ(Assign(4, 1), "10.0.0.10");
    EXPECT_EQ(Assign(4, 1, nullptr, inet_addr("10.5.0.1")), "none") << "renewed only inside the relay's network";
    EXPECT_NE(LeaseOf(4), nullptr) << "a forged relay address moves nobody";
    m_Statics = {MakeStatic("02:00:00:00:00:05", "10.0.0.50")};
    Apply();
    EXPECT_EQ(Assign(5, 1, nullptr, inet_addr("10.5.0.1")), "none") << "a static address only in its network";
    EXPECT_EQ(Assign(5, 1, nullptr, inet_addr("10.0.0.1")), "10.0.0.50");
}

// The index against a literal search: every address of every range, tested
// by walking both caches.
TEST_F(AssignTest, IndexedSearchMatchesTheLiteralSearch) {
    std::mt19937 random(20261207);
    std::set<uint32_t> staticTaken;
    std::set<std::pair<int, uint32_t>> leaseTaken;
    auto collect = [&] {
        staticTaken.clear();
        leaseTaken.clear();
        for (const auto &entry : m_Leases.Statics()) staticTaken.insert(ntohl(entry.ip));
        for (const auto &view : m_Leases.Leases()) leaseTaken.insert({view.lease.kind, view.lease.ip});
    };
    auto reference = [&](const LeaseBook::SubNetSlot &subnet, int kind) -> uint32_t {
        for (uint64_t ip = subnet.begin; ip <= subnet.end; ++ip) {
            uint32_t host = static_cast<uint32_t>(ip);
            if (htonl(host) == m_Leases.Config()->m_dwServerIP) continue;
            if (staticTaken.count(host) || leaseTaken.count({kind, host})) continue;
            return host;
        }
        return 0;
    };
    auto randomSubnets = [&] {
        m_Subnets.clear();
        for (int i = 0; i < 3; ++i) {
            int low = 10 + static_cast<int>(random() % 20);
            std::string begin = "10.0.0." + std::to_string(low);
            std::string end = "10.0.0." + std::to_string(low + static_cast<int>(random() % 15));
            m_Subnets.push_back(MakeSubNet(begin.c_str(), end.c_str(), 1 + static_cast<int>(random() % 2)));
        }
    };
    randomSubnets();
    Apply();
    for (int step = 0; step < 3000; ++step) {
        int op = static_cast<int>(random() % 20);
        if (op == 0) {
            randomSubnets();
            if (random() % 2) m_Statics = {MakeStatic("02:00:00:00:01:01", ("10.0.0." + std::to_string(10 + random() % 30)).c_str())};
            else m_Statics.clear();
            Apply();
        } else {
            Assign(static_cast<int>(random() % 40), 1 + static_cast<int>(random() % 2));
        }
        collect();
        for (int i = 0; i < m_Leases.Config()->SubCount(); ++i) {
            const auto &subnet = m_Leases.Config()->m_SubNet[i];
            for (int kind = 1; kind <= 2; ++kind) {
                uint32_t indexed = 0;
                if (!m_Leases.LowestFree(subnet, kind, &indexed)) indexed = 0;
                ASSERT_EQ(indexed, reference(subnet, kind)) << "step " << step << " subnet " << i << " kind " << kind;
            }
        }
    }
}
