// Address assignment on a service object that is configured but not
// started: the same calls the request handlers make.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "dhcp/address_pool.h"
#include "dhcp/config_snapshot.h"
#include "dhcp/dhcp_responder.h"
#include "dhcp/lease_book.h"
#include "log/logger.h"
#include "support/dhcp_client.h"
#include "support/pxe_config.h"
#include "support/shell.h"
#include "support/temp_tree.h"

namespace {

using Grant = LeaseBook::AddressGrant;
using Lease = LeaseBook::tag_d_dhcp;
using Outcome = LeaseBook::RequestOutcome;

// The book's clocks: tests move time instead of editing leases.
int64_t g_nNow = 1000000;
int64_t g_nWallShift = 0;
int64_t TestClock() { return g_nNow; }
int64_t WallClock() { return g_nNow + g_nWallShift; }

class AssignTest : public testing::Test {
protected:
    void SetUp() override {
        g_nNow = 1000000;
        g_nWallShift = 0;
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
                                            const char *server = nullptr, int kind = 1, bool unicast = false) {
        std::vector<unsigned char> mac = Mac(client);
        LeaseBook::ClientRequest request{mac.data(), kind, 0, ciaddr ? inet_addr(ciaddr) : 0u,
                                         requested ? inet_addr(requested) : 0u, server ? inet_addr(server) : 0u};
        request.bUnicast = unicast;
        uint32_t ip = 0;
        Grant grant{};
        std::shared_ptr<const ConfigSnapshot> config;
        Outcome outcome = m_Leases.ConfirmRequest(request, &ip, &grant, &config);
        return {outcome, outcome == Outcome::kAck ? Text(ip) : "-"};
    }

    LeaseBook m_Leases{TestClock, WallClock};
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

    // Among leases renewed at the same time the first in the table goes
    // first: the table runs by the MAC's last byte, then the one before.
    g_nNow = 1000000;
    m_Subnets = {MakeSubNet("10.0.0.20", "10.0.0.23", 1)};
    Apply();
    std::string taken;
    for (int client : {0x0103, 0x0201, 0x0302, 0x0001}) taken += Assign(client, 1) + " ";
    g_nNow += LeaseBook::kLeaseSeconds;
    for (int client : {0x0500, 0x0600, 0x0700, 0x0800}) taken += Assign(client, 1) + " ";
    EXPECT_EQ(taken, "10.0.0.20 10.0.0.21 10.0.0.22 10.0.0.23 10.0.0.23 10.0.0.21 10.0.0.22 10.0.0.20 ");
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
    uint64_t referenceFree = 0;
    auto reference = [&](const LeaseBook::SubNetSlot &subnet, int kind) -> uint32_t {
        uint32_t lowest = 0;
        referenceFree = 0;
        for (uint64_t ip = subnet.begin; ip <= subnet.end; ++ip) {
            uint32_t host = static_cast<uint32_t>(ip);
            if (htonl(host) == m_Leases.Config()->m_dwServerIP) continue;
            if (staticTaken.count(host) || leaseTaken.count({kind, host})) continue;
            if (referenceFree++ == 0) lowest = host;
        }
        return lowest;
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
                ASSERT_EQ(m_Leases.FreeCount(subnet, kind), referenceFree) << "step " << step << " subnet " << i;
            }
        }
    }
}

// A client key's text is what the lease file and the logs hold: every key
// reads back as itself, and a text the writer cannot have made, or a key
// longer than its kind allows, makes no key.
TEST(ClientKeyTest, TextsReadBackAndNothingElseMakesAKey) {
    unsigned char bytes[131];
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(i * 37);
    ClientKey mac, id, duid, none;
    ASSERT_TRUE(ClientKey::FromMac(32, bytes, 16, &mac));
    ASSERT_TRUE(ClientKey::FromClientId(bytes, 7, &id));
    ASSERT_TRUE(ClientKey::FromDuid(bytes, 130, &duid));
    EXPECT_FALSE(ClientKey::FromMac(1, bytes, 17, &none) || ClientKey::FromDuid(bytes, 131, &none) ||
                 ClientKey::FromClientId(bytes, 0, &none));
    EXPECT_TRUE(none == ClientKey()) << "untouched";
    char text[ClientKey::kTextSize];
    for (const ClientKey &key : {mac, id, duid}) {
        ClientKey back;
        size_t len = key.Format(text, sizeof text);
        EXPECT_TRUE(ClientKey::Parse(text, len, &back) && back == key && back.Hash() == key.Hash()) << text;
    }
    EXPECT_EQ(text, "duid-00" + std::string(text + 7)) << "the longest key fits";
    EXPECT_EQ(id.Format(text, 16), 0u) << "too small a buffer gets nothing";
    EXPECT_STREQ(text, "");
    const unsigned char ethernet[6] = {0x52, 0x54, 0, 0, 0, 1};
    ASSERT_TRUE(ClientKey::FromClientId(ethernet, 6, &id));
    EXPECT_TRUE(ClientKey::Ethernet(ethernet) != id && ClientKey::Ethernet(ethernet) < id);
    std::string hex17(34, 'a'), hex131(262, 'a');
    std::vector<std::string> bad = {"mac1-52540000000", "MAC1-aa", "mac01-aa", "mac256-aa", "mac1aa", "duid-",
                                    "duid-AA", "id-0g", "x-aa", "mac1-" + hex17, "duid-" + hex131};
    for (const std::string &text : bad) EXPECT_FALSE(ClientKey::Parse(text.data(), text.size(), &none)) << text;
    EXPECT_TRUE(ClientKey::Parse("mac1-525400000001", 17, &none) && none == ClientKey::Ethernet(ethernet));
}

// An IPv6 range hands out the address after the last one, wraps at its
// end, skips what is used or declined, and keeps state only for the
// addresses it was told about: a /64 is as cheap as a /120.
TEST(AddressPoolTest, AnIpv6RangeWrapsSkipsWhatIsTakenAndKeepsNoStatePerAddress) {
    auto v6 = [](const char *text) {
        IpAddress address;
        EXPECT_TRUE(ParseIpAddress(text, &address)) << text;
        return address;
    };
    auto next = [](AddressPool &pool, int count) {
        std::string texts;
        for (int n = 0; n < count; ++n) {
            IpAddress address;
            char text[kIpAddressTextSize] = "full";
            if (pool.AllocateNext(&address)) FormatIpAddress(address, text, sizeof text);
            texts += (n ? " " : "") + std::string(text);
        }
        return texts;
    };
    Ipv6RangePool pool(v6("2001:db8::fffe"), v6("2001:db8::1:3"));  // 6 addresses over a 16-bit carry
    EXPECT_EQ(pool.FreeCount(), 6u);
    pool.MarkDeclined(v6("2001:db8::ffff"));
    pool.MarkUsed(v6("2001:db8::1:1"));
    pool.MarkUsed(v6("2001:db8::2:0"));  // outside: nothing
    EXPECT_EQ(pool.FreeCount(), 4u);
    EXPECT_EQ(next(pool, 5), "2001:db8::fffe 2001:db8::1:0 2001:db8::1:2 2001:db8::1:3 full");
    pool.MarkUnused(v6("2001:db8::1:0"));
    pool.LiftDecline(v6("2001:db8::ffff"));
    EXPECT_EQ(next(pool, 3), "2001:db8::ffff 2001:db8::1:0 full") << "wrapped";
    IpAddress free;
    pool.MarkUnused(v6("2001:db8::1:3"));
    ASSERT_TRUE(pool.FirstFreeFrom(v6("2001:db8::"), &free));
    EXPECT_TRUE(free == v6("2001:db8::1:3"));
    EXPECT_FALSE(pool.Contains(v6("2001:db8::fffd")));
    EXPECT_FALSE(pool.Contains(IpAddress::FromV4Host(0xfffe)));

    Ipv6RangePool wide(v6("2001:db8::"), v6("2001:db8::ffff:ffff:ffff:ffff"));  // 2^64 addresses
    EXPECT_EQ(wide.FreeCount(), UINT64_MAX);
    EXPECT_EQ(next(wide, 2), "2001:db8:: 2001:db8::1");
    EXPECT_EQ(wide.FreeCount(), UINT64_MAX - 1);
    wide.MarkUsed(v6("2001:db8::ffff:ffff:ffff:ffff"));
    EXPECT_EQ(wide.FreeCount(), UINT64_MAX - 2);
    EXPECT_EQ(Ipv6RangePool(v6("::"), v6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff")).FreeCount(), UINT64_MAX);
    EXPECT_EQ(Ipv6RangePool(v6("2001:db8::2"), v6("2001:db8::1")).FreeCount(), 0u) << "an empty range";
}

// RFC 2131 4.3.2: what a REQUEST gets depends on the client's state.
TEST_F(AssignTest, RequestsFollowTheClientsState) {
    Apply();
    EXPECT_EQ(Assign(1, 1, nullptr, 0, true), "10.0.0.10");
    // SELECTING: another server's offer was taken (or forged so); ours is free again.
    EXPECT_EQ(Request(1, "10.0.0.10", nullptr, "10.0.0.99").first, Outcome::kSilent);
    EXPECT_EQ(LeaseOf(1), nullptr);
    ASSERT_EQ(Request(1, "10.0.0.10", nullptr, "10.0.0.1").second, "10.0.0.10") << "a free address of its range";
    EXPECT_FALSE(LeaseOf(1)->bOfferOnly);
    EXPECT_EQ(Request(1, "10.0.0.12", nullptr, "10.0.0.1").first, Outcome::kSilent) << "a lease is not moved";
    EXPECT_EQ(Assign(2, 1, nullptr, 0, true), "10.0.0.11");
    EXPECT_EQ(Request(3, "10.0.0.11", nullptr, "10.0.0.1").first, Outcome::kSilent) << "held for another MAC";
    // INIT-REBOOT: its own lease, another's, one outside our ranges.
    EXPECT_EQ(Request(1, "10.0.0.10").second, "10.0.0.10");
    EXPECT_EQ(Request(2, "10.0.0.10").first, Outcome::kNak);
    EXPECT_EQ(Request(2, "10.0.0.15").first, Outcome::kNak) << "ours, but not its own";
    EXPECT_EQ(Request(2, "192.168.9.9").first, Outcome::kSilent);
    EXPECT_EQ(Request(1, "10.0.0.10", nullptr, nullptr, 2).first, Outcome::kNak) << "no longer fits its network";
    EXPECT_EQ(Request(1, "10.0.0.10").second, "10.0.0.10");
    // RENEWING and REBINDING: ciaddr is all that counts.
    EXPECT_EQ(Request(1, nullptr, "10.0.0.10").second, "10.0.0.10");
    EXPECT_EQ(Request(2, nullptr, "10.0.0.10").first, Outcome::kNak) << "another client's address";
    EXPECT_EQ(Request(3, nullptr, "10.0.0.15").first, Outcome::kSilent) << "broadcast: maybe another server's";
    EXPECT_EQ(Request(3, nullptr, "10.0.0.15", nullptr, 1, true).first, Outcome::kNak) << "unicast to us";
    m_Leases.SetRecoverUnknownLeases(true);
    EXPECT_EQ(Request(3, nullptr, "10.0.0.15").second, "10.0.0.15") << "recovery records a free address in use";
    EXPECT_NE(Assign(5, 1), "10.0.0.15");
    EXPECT_EQ(Request(6, nullptr, "172.16.0.1").first, Outcome::kSilent);
    // No state at all: a REQUEST with none of 50, 54 and ciaddr.
    EXPECT_EQ(Request(7, nullptr).first, Outcome::kSilent);
    EXPECT_EQ(LeaseOf(7), nullptr);
}

// The wall clock set an hour forward or back ends no hold or lease.
TEST_F(AssignTest, AWallClockJumpEndsNoHoldEarlyOrLate) {
    m_Subnets = {MakeSubNet("10.0.0.10", "10.0.0.10", 1)};
    Apply();
    EXPECT_EQ(Assign(1, 1, nullptr, 0, true), "10.0.0.10");
    g_nWallShift = 3600;
    EXPECT_EQ(Assign(2, 1, nullptr, 0, true), "none") << "the offer is still held";
    g_nWallShift = -3600;
    g_nNow += LeaseBook::kOfferHoldSeconds;
    EXPECT_EQ(Assign(3, 1), "10.0.0.10") << "and free once its hold is over";
    g_nNow += LeaseBook::kLeaseSeconds - 1800;
    g_nWallShift = 3600;
    EXPECT_EQ(Assign(4, 1), "none") << "half an hour of the lease is left";
    EXPECT_EQ(Request(3, nullptr, "10.0.0.10").second, "10.0.0.10");
}

TEST_F(AssignTest, ADeclinedAddressIsOfferedToNobodyDuringItsHold) {
    m_Subnets = {MakeSubNet("10.0.0.10", "10.0.0.12", 1)};
    Apply();
    EXPECT_EQ(Assign(1, 1), "10.0.0.10");
    std::vector<unsigned char> mac1 = Mac(1), mac2 = Mac(2);
    EXPECT_FALSE(m_Leases.Decline(mac2.data(), inet_addr("10.0.0.10"))) << "a forged DECLINE from another MAC";
    EXPECT_FALSE(m_Leases.Decline(mac1.data(), inet_addr("10.0.0.11"))) << "an address it does not hold";
    EXPECT_NE(LeaseOf(1), nullptr);
    EXPECT_TRUE(m_Leases.Decline(mac1.data(), inet_addr("10.0.0.10")));
    EXPECT_EQ(LeaseOf(1), nullptr);
    EXPECT_EQ(Assign(1, 1, nullptr, 0, true), "10.0.0.11") << "not the declined address again";
    EXPECT_EQ(Assign(2, 1, nullptr, 0, true), "10.0.0.12");
    EXPECT_EQ(Assign(3, 1, nullptr, 0, true), "none");
    EXPECT_EQ(Request(3, nullptr, "10.0.0.10").first, Outcome::kNak) << "nor may a client claim it";
    g_nNow += LeaseBook::kDeclineHoldSeconds;
    EXPECT_EQ(Assign(3, 1, nullptr, 0, true), "10.0.0.10") << "free once the hold is over";
}

namespace {

std::vector<std::string> g_LogLines;
void KeepLogLine(const char *text) { g_LogLines.push_back(text); }
size_t LogLinesWith(const char *what) {
    return std::count_if(g_LogLines.begin(), g_LogLines.end(),
                         [&](const std::string &line) { return line.find(what) != std::string::npos; });
}

// A file system of 256 KB for the lease folder, in a mount namespace of
// this process: a disk that fills up.
class SmallDisk {
public:
    explicit SmallDisk(const std::string &folder) : m_Folder(folder) {
        Shell("mkdir -p '" + folder + "'");
        m_bMounted = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                     mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=256k") == 0;
    }
    ~SmallDisk() {
        if (m_bMounted) umount2(m_Folder.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return m_bMounted; }
    // Takes every free page with one-page files; Free gives back the first N.
    void Fill() {
        std::string page(4096, 'x');
        for (bool bFull = false; !bFull; ++m_nFiles) {
            int fd = open((m_Folder + "fill." + std::to_string(m_nFiles)).c_str(), O_CREAT | O_WRONLY, 0600);
            bFull = fd < 0 || write(fd, page.data(), page.size()) != static_cast<ssize_t>(page.size());
            if (fd >= 0) close(fd);
        }
    }
    void Free(int n) {
        for (int i = 0; i < n && i < m_nFiles; ++i) unlink((m_Folder + "fill." + std::to_string(i)).c_str());
    }

private:
    std::string m_Folder;
    bool m_bMounted = false;
    int m_nFiles = 0;
};

// The journal of a book, read back into a second one as after a restart.
class JournalTest : public AssignTest {
protected:
    void SetUp() override {
        AssignTest::SetUp();
        m_Tree.UseAsHost();
        m_Tree.WriteSettings("[Tavrel]\nOnlyOutputDebug=1\n");
        LogInit();
        g_LogLines.clear();
        platform::SetDebugSink(KeepLogLine);
    }
    void TearDown() override { platform::SetDebugSink(nullptr); }
    size_t JournalLines() const {
        std::string text = JournalText();
        return std::count(text.begin(), text.end(), '\n');
    }
    // A REQUEST to BOOK (SELECTING this server when no address is named,
    // after a DISCOVER), and the address acknowledged.
    static std::pair<Outcome, std::string> Ask(LeaseBook &book, int client, const char *requested = nullptr) {
        std::vector<unsigned char> mac = Mac(client);
        Grant grant{};
        uint32_t ip = requested ? inet_addr(requested) : book.AssignAddress(mac.data(), 1, 0, &grant, nullptr, true);
        LeaseBook::ClientRequest request{mac.data(), 1, 0, 0, ip, requested ? 0 : inet_addr("10.0.0.1")};
        std::shared_ptr<const ConfigSnapshot> config;
        Outcome outcome = book.ConfirmRequest(request, &ip, &grant, &config);
        return {outcome, outcome == Outcome::kAck ? Text(ip) : "-"};
    }
    std::string Folder() const { return m_Tree.Root() + "/leases/"; }
    std::string JournalText() const { return ReadWholeFile(Folder() + "leases.journal"); }
    void WriteJournal(const std::string &text) const {
        Shell("mkdir -p '" + Folder() + "'");
        std::ofstream(Folder() + "leases.journal") << text;
    }
    // A book started afresh on the journal, as StartPXE does.
    std::unique_ptr<LeaseBook> Restart() {
        auto book = std::make_unique<LeaseBook>(TestClock, WallClock);
        book->CreateCaches();
        book->Install(BuildConfigSnapshot(&m_Server, m_Subnets.data(), static_cast<int>(m_Subnets.size()), nullptr, 0));
        book->OpenJournal(Folder().c_str());
        return book;
    }
    static std::string AddressOf(LeaseBook &book, int client) {
        Lease lease{};
        return book.FindLease(Mac(client).data(), &lease) ? Text(htonl(lease.ip)) : "none";
    }
    TempTree m_Tree;
};

}  // namespace

TEST_F(JournalTest, UnexpiredLeasesThatFitComeBackAndAForeignFileIsSetAside) {
    {
        std::unique_ptr<LeaseBook> first = Restart();
        Grant grant{};
        first->AssignAddress(Mac(1).data(), 1, 0, &grant);                          // a lease: 10.0.0.10
        first->AssignAddress(Mac(2).data(), 1, 0, &grant, nullptr, true);           // only offered: 10.0.0.11
        first->AssignAddress(Mac(3).data(), 1, 0, &grant);                          // a lease: 10.0.0.12
        EXPECT_TRUE(first->Decline(Mac(3).data(), inet_addr("10.0.0.12")));         // gone again
    }
    std::unique_ptr<LeaseBook> second = Restart();
    EXPECT_EQ(AddressOf(*second, 1), "10.0.0.10");
    EXPECT_EQ(AddressOf(*second, 2), "none") << "an offer is not written down";
    EXPECT_EQ(AddressOf(*second, 3), "none");
    Grant grant{};
    EXPECT_EQ(Text(second->AssignAddress(Mac(4).data(), 1, 0, &grant)), "10.0.0.11") << "no second holder of .10";
    second.reset();

    // Leases outside the ranges come back dormant, expired ones not at all.
    g_nNow += LeaseBook::kLeaseSeconds - 10;
    m_Subnets = {MakeSubNet("10.0.0.11", "10.0.0.20", 1)};
    second = Restart();
    EXPECT_EQ(AddressOf(*second, 1), "10.0.0.10") << "dormant outside every range";
    EXPECT_EQ(AddressOf(*second, 4), "10.0.0.11");
    TeskSubNetStruct wider = MakeSubNet("10.0.0.5", "10.0.0.20", 1);
    ASSERT_EQ(second->Install(BuildConfigSnapshot(&m_Server, &wider, 1, nullptr, 0)), 0);
    std::vector<unsigned char> mac1 = Mac(1);
    LeaseBook::ClientRequest renewal{mac1.data(), 1, 0, inet_addr("10.0.0.10"), 0, 0};
    uint32_t ip = 0;
    std::shared_ptr<const ConfigSnapshot> config;
    EXPECT_EQ(second->ConfirmRequest(renewal, &ip, &grant, &config), Outcome::kAck);
    g_nNow += 20;
    second = Restart();
    EXPECT_EQ(AddressOf(*second, 4), "none") << "expired";
    second.reset();

    // A torn last line, a damaged line and a foreign file: what read well stays.
    second = Restart();
    std::string fifth = Text(second->AssignAddress(Mac(5).data(), 1, 0, &grant));
    std::string withLease = JournalText();
    second.reset();
    WriteJournal(withLease + "L 020000000006 10.0.0.13 99999999");
    second = Restart();
    EXPECT_EQ(AddressOf(*second, 5), fifth);
    EXPECT_EQ(AddressOf(*second, 6), "none");
    EXPECT_NE(JournalText().back(), '9') << "the torn line is gone";
    second.reset();
    std::string damaged = withLease;
    damaged[damaged.find("020000000005") + 11] ^= 1;  // one flipped bit fails the line's CRC
    WriteJournal(damaged);
    second = Restart();
    EXPECT_EQ(AddressOf(*second, 5), "none");
    second.reset();
    WriteJournal("GIF89a garbage\n\x01\x02");
    second = Restart();
    std::string seventh = Text(second->AssignAddress(Mac(7).data(), 1, 0, &grant));
    EXPECT_EQ(JournalText().rfind("TAVREL-LEASES 2\n", 0), 0u) << "a fresh journal replaces the foreign file";
    EXPECT_NE(JournalText().find("L mac1-020000000007 " + seventh + " "), std::string::npos);
}

TEST_F(JournalTest, CompactionKeepsExactlyTheLiveLeases) {
    m_Subnets = {MakeSubNet("10.0.0.1", "10.0.9.254", 1)};
    std::unique_ptr<LeaseBook> book = Restart();
    Grant grant{};
    // Renewals append a line each; past its slack the journal is rewritten
    // as the 50 leases alone.
    size_t renewals = LeaseJournal::kCompactionSlack + 200;
    for (size_t round = 0; round * 50 < renewals; ++round)
        for (int client = 1; client <= 50; ++client) book->AssignAddress(Mac(client).data(), 1, 0, &grant);
    size_t lines = 0;
    for (char c : JournalText()) lines += c == '\n';
    EXPECT_LT(lines, 1000u);
    book.reset();
    book = Restart();
    EXPECT_EQ(book->Leases().size(), 50u);
}

// The responder itself, fed forged datagrams as an attacker on the LAN
// sends them: they take nothing, or nothing for longer than the offer hold.
TEST_F(AssignTest, ForgedRequestsAndSelectionPacksKeepNoRangeFull) {
    m_Subnets = {MakeSubNet("10.0.0.10", "10.0.0.30", 1)};  // 21 addresses
    Apply();
    DhcpHostHooks hooks;
    std::atomic<uint32_t> broadcast{0};
    TeskDhcpResponder responder(m_Leases, hooks, broadcast);
    auto send = [&](int socket, const Bytes &datagram, uint32_t local = 0) {
        auto record = std::make_unique<TeskDhcpResponder::_socklist>();
        memcpy(record->data, datagram.data(), datagram.size());
        record->nRecvLen = static_cast<int>(datagram.size());
        record->nSocketType = socket;
        record->dwLocalAddr = local;
        record->peer = platform::MakeSockAddr(inet_addr("10.0.0.200"), 68);
        TeskDhcpResponder::AnswerDestination to{};
        if (responder.Answer(record.get(), 0, &to) != 0) return Bytes();
        return Bytes(record->data, record->data + record->nSendLen);
    };
    auto client = [](int n, unsigned char type) {
        DhcpRequest request;
        request.byType = type;
        memcpy(request.abMac, Mac(n).data(), 6);
        return request;
    };
    for (int n = 1; n <= 25; ++n) EXPECT_TRUE(send(0, BuildDhcp(client(n, 3))).empty()) << "a REQUEST of no state";
    EXPECT_TRUE(m_Leases.Leases().empty());
    // RENEWs of free addresses: silence when broadcast, a NAK when unicast to us.
    for (int n = 1; n <= 25; ++n) {
        DhcpRequest renew = client(n, 3);
        renew.dwCiaddr = htonl(ntohl(inet_addr("10.0.0.9")) + n);
        Bytes answer = send(0, BuildDhcp(renew), n % 2 ? inet_addr("10.0.0.1") : 0u);
        EXPECT_EQ(answer.empty() ? 0 : answer[242], n % 2 && n <= 21 ? 6 : 0) << n;
    }
    EXPECT_TRUE(m_Leases.Leases().empty()) << "25 forged RENEWs take nothing";
    DhcpRequest elsewhere = client(1, 3);
    elsewhere.dwRequested = inet_addr("10.0.0.10");
    elsewhere.dwServerId = inet_addr("10.0.0.99");
    EXPECT_TRUE(send(0, BuildDhcp(elsewhere)).empty()) << "a REQUEST naming another server";

    Bytes pack(292, 0);
    pack[0] = 0x75, pack[1] = 0x6d, pack[12] = 1;
    int answered = 0;
    for (int n = 100; n < 125; ++n) {
        memcpy(&pack[4], Mac(n).data(), 6);
        answered += send(2, pack).size() == 292;
    }
    EXPECT_EQ(answered, 21);
    EXPECT_TRUE(send(0, BuildDhcp(client(200, 1))).empty()) << "held for the offer time";
    g_nNow += LeaseBook::kOfferHoldSeconds + 1;
    Bytes offer = send(0, BuildDhcp(client(200, 1)));
    ASSERT_EQ(offer.size(), 349u) << "free again once the hold is over";
    DhcpRequest forged = SelectingRequest(client(200, 1), offer);
    forged.dwServerId = inet_addr("10.0.0.99");
    EXPECT_TRUE(send(0, BuildDhcp(forged)).empty()) << "a forged REQUEST naming another server";
    Bytes ack = send(0, BuildDhcp(SelectingRequest(client(200, 1), offer)));
    ASSERT_EQ(ack.size(), 349u);
    EXPECT_EQ(ack[242], 5);
    // INIT-REBOOT for that address from another client: a NAK, padded.
    DhcpRequest reboot = client(201, 3);
    reboot.dwRequested = AddrAt(ack, 16);
    Bytes nak = send(0, BuildDhcp(reboot));
    ASSERT_EQ(nak.size(), 300u);
    EXPECT_EQ(nak[242], 6);
    EXPECT_EQ(AddrAt(nak, 16), 0u);
    EXPECT_EQ(OptionOf(nak, 54), (Bytes{10, 0, 0, 1}));
    // A RELEASE, never answered: only the holder's ends the lease.
    DhcpRequest release = client(201, 7);
    release.dwCiaddr = AddrAt(ack, 16);
    release.dwServerId = inet_addr("10.0.0.1");
    EXPECT_TRUE(send(0, BuildDhcp(release)).empty());
    ASSERT_NE(LeaseOf(200), nullptr);
    memcpy(release.abMac, Mac(200).data(), 6);
    EXPECT_TRUE(send(0, BuildDhcp(release)).empty());
    EXPECT_EQ(LeaseOf(200), nullptr);
}

TEST_F(JournalTest, ADamagedLineCostsThatLineAloneAndNoSizeIsTooLarge) {
    auto line = [](int client) {
        const unsigned char mac[6] = {2, 0, 0, 0, 0, static_cast<unsigned char>(client)};
        return LeaseFileLine('L', JournalLease{ClientKey::Ethernet(mac),
                                               IpAddress::FromV4Host(0x0a00000au + static_cast<uint32_t>(client)),
                                               g_nNow + 1000});
    };
    std::string flipped = line(4);
    flipped[3] ^= 1;
    WriteJournal(std::string(kLeaseFileHeader) + "\n" + line(1) + line(2).substr(0, 20) + "\n" + line(3) + flipped +
                 line(5));
    std::unique_ptr<LeaseBook> book = Restart();
    EXPECT_EQ(AddressOf(*book, 1) + " " + AddressOf(*book, 2) + " " + AddressOf(*book, 3) + " " + AddressOf(*book, 4) +
                  " " + AddressOf(*book, 5),
              "10.0.0.11 none 10.0.0.13 none 10.0.0.15");
    EXPECT_EQ(LogLinesWith("2 damaged lines skipped, the first at line 3; the other 3 lines read"), 1u);
    // An INIT-REBOOT of the holder renews its lease: one line.
    size_t lines = JournalLines();
    EXPECT_EQ(Ask(*book, 1, "10.0.0.11").second, "10.0.0.11");
    EXPECT_EQ(JournalLines(), lines + 1);
    book.reset();

    std::string block;
    for (int client = 1; client <= 10; ++client) block += line(client);
    {
        std::ofstream big(Folder() + "leases.journal");
        big << kLeaseFileHeader << "\n";
        for (size_t size = 0; size <= (64u << 20); size += block.size()) big << block;
    }
    book = Restart();
    EXPECT_EQ(book->Leases().size(), 10u) << "a journal over 64 MB is read";
    EXPECT_EQ(JournalLines(), 11u);
}

// A file of format 1, as the release before wrote it, keeps its leases and
// is rewritten in format 2. Leases the IPv4 book does not grant (an IPv6
// address, a client known by its DUID) stay on the file through every
// rewrite, line for line, until they expire.
TEST_F(JournalTest, AFileOfFormat1LoadsAndLeasesOfOtherClientsStayOnTheFile) {
    auto sign = [](const std::string &body) {
        char crc[16];
        snprintf(crc, sizeof crc, " %08x\n", JournalCrc32(body.data(), body.size()));
        return body + crc;
    };
    std::string expiry = std::to_string(g_nNow + 1000);
    WriteJournal("TAVREL-LEASES 1\n" + sign("L 020000000001 10.0.0.12 " + expiry) +
                 sign("L 020000000002 10.0.0.14 " + expiry) + sign("R 020000000002 10.0.0.14 0"));
    std::unique_ptr<LeaseBook> book = Restart();
    EXPECT_EQ(AddressOf(*book, 1) + " " + AddressOf(*book, 2), "10.0.0.12 none");
    EXPECT_EQ(JournalText(), "TAVREL-LEASES 2\n" + sign("L mac1-020000000001 10.0.0.12 " + expiry));
    book.reset();
    // One that cannot be rewritten at start takes lines of its own format.
    std::string v1 = "TAVREL-LEASES 1\n" + sign("L 020000000001 10.0.0.12 " + expiry);
    WriteJournal(v1);
    Shell("mkdir '" + Folder() + "leases.journal.new'");
    book = Restart();
    EXPECT_EQ(Ask(*book, 3).second, "10.0.0.10");
    EXPECT_EQ(JournalText().substr(0, v1.size() + 16), v1 + "L 020000000003 1");
    book.reset();
    Shell("rmdir '" + Folder() + "leases.journal.new'");
    book = Restart();
    EXPECT_EQ(AddressOf(*book, 3), "10.0.0.10") << "its line read back";
    book.reset();

    const unsigned char duid[] = {0, 1, 0, 1, 0x2a, 0x3b, 0x4c, 0x5d, 2, 0, 0, 0, 0, 9};
    JournalLease v6{};
    ASSERT_TRUE(ClientKey::FromDuid(duid, sizeof duid, &v6.key));
    ASSERT_TRUE(ParseIpAddress("2001:db8::1:5", &v6.address));
    v6.nExpiry = g_nNow + 1000;
    JournalLease byId{};
    ASSERT_TRUE(ClientKey::FromClientId(duid, 7, &byId.key));
    byId.address = IpAddress::FromV4Host(0x0a000011u);
    byId.nExpiry = g_nNow + 1000;
    std::string others = LeaseFileLine('L', byId) + LeaseFileLine('L', v6);  // in key order
    EXPECT_EQ(others.substr(others.find("\nL "), 49), "\nL duid-000100012a3b4c5d020000000009 2001:db8::1:");
    WriteJournal("TAVREL-LEASES 2\n" + sign("L mac1-020000000001 10.0.0.12 " + expiry) + others);
    book = Restart();
    EXPECT_EQ(book->Leases().size(), 1u);
    Grant grant{};
    for (size_t n = 0; n <= LeaseJournal::kCompactionSlack + 9; ++n) book->AssignAddress(Mac(1).data(), 1, 0, &grant);
    EXPECT_LT(JournalLines(), 100u) << "compacted";
    EXPECT_NE(JournalText().find(others), std::string::npos) << JournalText();
    book.reset();
    g_nNow += 1000;
    book = Restart();
    EXPECT_EQ(JournalLines(), 2u) << "the header and client 1's renewed lease: the others expired";
}

TEST_F(JournalTest, DhcpV6LeasesAreKeptPerIaidOfADuid) {
    const unsigned char duid[] = {0, 4, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    JournalLease first{}, second{};
    ASSERT_TRUE(ClientKey::FromDuid(duid, sizeof duid, &first.key));
    ASSERT_TRUE(ParseIpAddress("2001:db8::100", &first.address));
    first.nExpiry = g_nNow + 1000;
    first.bHasIaid = true;
    first.dwIaid = 1;
    second = first;
    second.dwIaid = 0x2a;
    ASSERT_TRUE(ParseIpAddress("2001:db8::101", &second.address));
    std::string line = LeaseFileLine('L', second);
    EXPECT_EQ(line.substr(0, 48), "L duid-00040102030405060708090a0b0c0d0e0f10#0000");
    WriteJournal(std::string(kLeaseFileHeader) + "\n" + LeaseFileLine('L', first) + line + LeaseFileLine('R', first));
    std::vector<JournalLease> leases;
    LeaseFileReading reading;
    ASSERT_EQ(ReadLeaseFile((Folder() + "leases.journal").c_str(), &leases, &reading), 0);
    EXPECT_EQ(reading.nDamaged, 0u);
    ASSERT_EQ(leases.size(), 1u) << "the removal of IAID 1 leaves IAID 42";
    EXPECT_TRUE(leases[0].bHasIaid);
    EXPECT_EQ(leases[0].dwIaid, 0x2au);
    EXPECT_EQ(leases[0].address, second.address);
}

TEST_F(JournalTest, AFullDiskCostsNoLeaseAcknowledged) {
    m_Subnets = {MakeSubNet("10.0.0.1", "10.0.9.254", 1)};
    SmallDisk disk(Folder());
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs takes root";
    std::unique_ptr<LeaseBook> book = Restart();
    std::map<int, std::string> acked;
    int client = 1;
    for (; client <= 5; ++client) acked[client] = Ask(*book, client).second;
    disk.Fill();
    std::pair<Outcome, std::string> answer;
    for (; client < 300 && (answer = Ask(*book, client)).first == Outcome::kAck; ++client) acked[client] = answer.second;
    EXPECT_EQ(answer.first, Outcome::kSilent) << "a lease not on the file is not acknowledged";
    EXPECT_EQ(LogLinesWith("not acknowledged: the lease file cannot be written"), 1u);
    // A page free: lines fit again, a new file for compaction does not.
    disk.Free(1);
    for (int n = 0; n < 30; ++n, ++client) acked[client] = Ask(*book, client).second;
    disk.Free(1000);
    for (int n = 0; n < 60; ++n, ++client) acked[client] = Ask(*book, client).second;
    EXPECT_GE(LogLinesWith("compaction failed"), 1u);
    EXPECT_LE(LogLinesWith("compaction failed"), 3u) << "backed off, not tried at every grant";
    book = Restart();
    std::string lost;
    for (const auto &entry : acked)
        if (AddressOf(*book, entry.first) != entry.second) lost += " " + std::to_string(entry.first);
    EXPECT_EQ(lost, "") << "acknowledged leases lost (clients)";
}

TEST_F(JournalTest, ACompactionThatCannotBeWrittenIsTriedEverLessOften) {
    m_Subnets = {MakeSubNet("10.0.0.1", "10.0.9.254", 1)};
    std::unique_ptr<LeaseBook> book = Restart();
    Shell("mkdir '" + Folder() + "leases.journal.new'");
    Grant grant{};
    auto renew = [&](size_t lines) {
        for (size_t n = 0; n < lines; ++n) book->AssignAddress(Mac(1 + n % 50).data(), 1, 0, &grant);
    };
    renew(LeaseJournal::kCompactionSlack + 4000);
    EXPECT_LE(LogLinesWith("compaction failed"), 9u);
    Shell("rmdir '" + Folder() + "leases.journal.new'");
    renew(2 * LeaseJournal::kCompactionRetryMost);
    EXPECT_LE(JournalLines(), 2 * LeaseJournal::kCompactionRetryMost + 51) << "compacted once it can be";
}

// Without a whole lease history, an address is offered once a probe found
// nobody on it; an address that answers is skipped, and a DISCOVER while a
// probe is out is answered from the addresses found silent, or (only when
// there is none) left for its retransmission.
TEST_F(AssignTest, AnAddressThatAnswersItsProbeIsSkippedAndHoldsUpNobody) {
    m_Subnets = {MakeSubNet("10.0.0.10", "10.0.0.30", 1), MakeSubNet("10.0.1.10", "10.0.1.12", 2)};
    Apply();
    m_Leases.EnableProbes(true);
    ASSERT_TRUE(m_Leases.Probing()) << "no journal was read";
    DhcpHostHooks hooks;
    std::atomic<uint32_t> broadcast{0};
    TeskDhcpResponder responder(m_Leases, hooks, broadcast);
    auto discover = [&](int n, const char *vendor) {
        DhcpRequest request;
        memcpy(request.abMac, Mac(n).data(), 6);
        request.vendor = vendor;
        Bytes datagram = BuildDhcp(request);
        auto record = std::make_unique<TeskDhcpResponder::_socklist>();
        memcpy(record->data, datagram.data(), datagram.size());
        record->nRecvLen = static_cast<int>(datagram.size());
        TeskDhcpResponder::AnswerDestination to{};
        int nResult = responder.Answer(record.get(), 0, &to);
        return nResult == 0 ? Text(AddrAt(Bytes(record->data, record->data + record->nSendLen), 16))
                            : "unanswered " + std::to_string(nResult);
    };
    auto ip = [](const char *text) { return ntohl(inet_addr(text)); };
    std::vector<uint32_t> probes = m_Leases.TakeProbes();
    EXPECT_EQ(probes.size(), 24u) << "both ranges whole: they are smaller than the window";
    EXPECT_EQ(discover(1, "PXEClient"), "unanswered " + std::to_string(TeskDhcpResponder::kAwaitingProbe));
    EXPECT_TRUE(m_Leases.ProbeResult(ip("10.0.0.10"), true));
    for (const char *silent : {"10.0.0.11", "10.0.0.12"}) EXPECT_TRUE(m_Leases.ProbeResult(ip(silent), false));
    EXPECT_FALSE(m_Leases.ProbeResult(ip("10.0.0.10"), false)) << "one outcome per probe";
    EXPECT_EQ(discover(1, "PXEClient"), "10.0.0.11") << "not the address that answered";
    EXPECT_EQ(discover(2, "MSFT 5.0"), "unanswered " + std::to_string(TeskDhcpResponder::kAwaitingProbe));
    EXPECT_EQ(discover(3, "PXEClient"), "10.0.0.12") << "answered while other probes are out";
    EXPECT_EQ(discover(4, "PXEClient"), "unanswered " + std::to_string(TeskDhcpResponder::kAwaitingProbe));
    EXPECT_TRUE(m_Leases.ProbeResult(ip("10.0.1.10"), false));
    EXPECT_EQ(discover(2, "MSFT 5.0"), "10.0.1.10");
    EXPECT_EQ(m_Leases.ProbeConflicts(), 1u);
    EXPECT_TRUE(m_Leases.TakeProbes().empty()) << "the window is out already";
    g_nNow += LeaseBook::kDeclineHoldSeconds;
    EXPECT_EQ(discover(5, "PXEClient"), "unanswered " + std::to_string(TeskDhcpResponder::kAwaitingProbe));
    EXPECT_EQ(m_Leases.TakeProbes(), std::vector<uint32_t>{ip("10.0.0.10")}) << "probed again after its hold";
}

// A journal read whole is the history: nothing is probed. A missing,
// damaged or foreign one is not, a torn last line aside.
TEST_F(JournalTest, AWholeJournalProbesNothing) {
    auto probing = [&] {
        std::unique_ptr<LeaseBook> book = Restart();
        book->EnableProbes(true);
        return std::to_string(book->Probing()) + std::to_string(book->TakeProbes().size());
    };
    EXPECT_EQ(probing(), "111") << "no file";
    std::string whole = JournalText();
    EXPECT_EQ(probing(), "00") << "the file of the last start";
    {
        std::unique_ptr<LeaseBook> book = Restart();
        Grant grant{};
        book->AssignAddress(Mac(1).data(), 1, 0, &grant);
    }
    whole = JournalText();
    WriteJournal(whole + "L 0200000000");
    EXPECT_EQ(probing(), "00") << "a torn last line";
    std::string damaged = whole;
    damaged[damaged.find("020000000001") + 11] ^= 1;
    WriteJournal(damaged);
    EXPECT_EQ(probing(), "111");
    WriteJournal("");
    EXPECT_EQ(probing(), "111") << "empty";
    WriteJournal("GIF89a");
    EXPECT_EQ(probing(), "111") << "foreign";
}
