// The DHCPv6 responder without sockets: requests as firmware, iPXE and
// hostile senders make them, and the answers they get.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dhcp6/dhcp6_responder.h"
#include "dhcp6/lease6_book.h"
#include "log/logger.h"
#include "platform/platform.h"
#include "support/dhcp6_message.h"
#include "support/temp_tree.h"

using namespace dhcp6;
using namespace dhcp6_message;

namespace {

Bytes Relay(const Bytes &inner, const Bytes &more = {}) {
    return Bytes{kRelayForw, 0} + Bytes(16, 0x20) + Bytes(16, 0xfe) + more + Opt(kOptRelayMessage, inner);
}
// As OVMF sends it: DUID-UUID, IA_NA, ORO 59 60 23 16, arch 7, PXEClient vendor class.
Bytes EdkSolicit(uint8_t duid, uint32_t iaid, const char *vendor = "PXEClient:Arch:00007:UNDI:003016",
                 const Bytes &more = {}, uint8_t type = kSolicit) {
    std::string v = vendor;
    return Msg(type, Opt(kOptClientId, Duid(duid)) + more + IaNa(iaid) +
                         Opt(kOptOro, Word(59) + Word(60) + Word(23) + Word(16)) + Opt(kOptClientArch, Word(v[0] == 'H' ? 16 : 7)) +
                             Opt(kOptVendorClass, Word(0) + Word(kEnterpriseIntel) + Word(unsigned(v.size())) + Text(v)));
}
std::string AsText(const Bytes &b) { return std::string(b.begin(), b.end()); }

int TAVREL_CALLBACK HttpChoice(const SelectBootFileRecord *client, char *file) {
    if (strncmp(client->vendorclass, "HTTPClient", 10) != 0 || client->arch != 16 ||
        client->flags != TAVREL_BOOT_CLIENT_IPV6)
        return 0;
    strcpy(file, "http://[2001:db8::1]/boot.efi");
    return 1;
}

std::vector<SelectBootFileRecordEx> g_AskedEx;
int g_nIdentityResult = 0;
int TAVREL_CALLBACK IdentityChoice(const SelectBootFileRecordEx *client, char *file) {
    g_AskedEx.push_back(*client);
    return strcpy(file, "ipxe.efi"), g_nIdentityResult;
}

// The host sends 52:54:00:12:34:56 to another server.
int TAVREL_CALLBACK OtherServerFor56(const unsigned char *mac, char *server) {
    strcpy(server, mac[5] == 0x56 ? "192.0.2.9" : "192.0.2.1");
    return 1;
}

std::vector<std::string> g_Lines;
void KeepLine(const char *text) { g_Lines.push_back(text); }

class Dhcp6Test : public ::testing::Test {
protected:
    void SetUp() override {
        m_Tree.UseAsHost();
        m_Tree.WriteSettings("[Tavrel]\nOnlyOutputDebug=1\n");
        LogInit();
        g_Lines.clear();
        platform::SetDebugSink(KeepLine);
        strcpy(m_Server.ServerIP, "2001:db8::1");
        strcpy(m_Server.bootfile, "boot.efi");
        Range("2001:db8::100", "2001:db8::105");
    }
    void TearDown() override { platform::SetDebugSink(nullptr); }
    void Range(const char *first, const char *last) {
        m_Range = TeskSubNetV6Struct{};
        strcpy(m_Range.beginip, first);
        strcpy(m_Range.endip, last);
        strcpy(m_Range.dns1, "2001:db8::53");
    }
    std::unique_ptr<Dhcp6Answerer> Make(const char *folder = nullptr) {
        Dhcp6Start start;
        start.lpServer = &m_Server;
        start.lpSubNets = &m_Range;
        start.nSubNets = 1;
        start.lpLeaseFolder = folder;
        return MakeDhcp6Answerer(start, m_Hooks);
    }
    // The answer (empty for none) to a datagram from a client's link-local address.
    Bytes Ask(Dhcp6Answerer &server, const Bytes &request, const char *from = "fe80::2%3", uint16_t port = 546) {
        Dhcp6Datagram d;
        d.lpData = request.data();
        d.nLen = request.size();
        IpAddress source;
        ParseIpAddress(from, &source);
        d.from = IpEndpoint(source, port);
        m_Reply.nLen = 0;
        if (server.Answer(d, ++m_qwNowMs, &m_Reply) != 0) return {};
        EXPECT_EQ(m_Reply.to, d.from) << "answered to where it came from";
        return Bytes(m_Reply.abData, m_Reply.abData + m_Reply.nLen);
    }
    // SOLICIT then REQUEST for one IA; the address bound.
    std::string Bind(Dhcp6Answerer &server, uint8_t duid, uint32_t iaid) {
        Bytes advertise = Ask(server, EdkSolicit(duid, iaid));
        Bytes reply = Ask(server, EdkSolicit(duid, iaid, "PXEClient:Arch:00007:UNDI:003016",
                                             Opt(kOptServerId, Find(advertise, 4, kOptServerId)), kRequest));
        return reply.empty() || reply[0] != kReply ? "no reply" : Address(reply);
    }
    size_t LinesWith(const char *what) const {
        return size_t(std::count_if(g_Lines.begin(), g_Lines.end(), [&](const std::string &l) { return l.find(what) != std::string::npos; }));
    }

    TempTree m_Tree;
    TeskPxeServerV6Struct m_Server{};
    TeskSubNetV6Struct m_Range{};
    DhcpHostHooks m_Hooks;
    Dhcp6Reply m_Reply;
    uint64_t m_qwNowMs = 1000000;
};

TEST_F(Dhcp6Test, FirmwareGetsAnAddressAndATftpUrlAndNeverPxeClient) {
    auto server = Make();
    ASSERT_TRUE(server);
    Bytes advertise = Ask(*server, EdkSolicit(1, 7));
    ASSERT_FALSE(advertise.empty());
    EXPECT_EQ(advertise[0], kAdvertise);
    EXPECT_EQ(Address(advertise), "2001:db8::100");
    EXPECT_EQ(AsText(Find(advertise, 4, kOptBootFileUrl)), "tftp://[2001:db8::1]/boot.efi");
    EXPECT_EQ(Find(advertise, 4, kOptPreference), Bytes{255});
    EXPECT_EQ(Find(advertise, 4, kOptDnsServers).size(), 16u);
    Bytes reply = Ask(*server, EdkSolicit(1, 7, "PXEClient:Arch:00007:UNDI:003016",
                                          Opt(kOptServerId, Find(advertise, 4, kOptServerId)), kRequest));
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply[0], kReply);
    EXPECT_EQ(Address(reply), "2001:db8::100");
    EXPECT_EQ(AsText(Find(reply, 4, kOptBootFileUrl)), "tftp://[2001:db8::1]/boot.efi");
    for (const Bytes &answer : {advertise, reply}) {
        EXPECT_EQ(AsText(answer).find("PXEClient"), std::string::npos);
        EXPECT_TRUE(Find(answer, 4, kOptVendorClass).empty());
    }
    Bytes other = Ask(*server, Msg(kRequest, Opt(kOptClientId, Duid(1)) + Opt(kOptServerId, Duid(9)) + IaNa(7)));
    EXPECT_TRUE(other.empty()) << "a REQUEST naming another server";
}

TEST_F(Dhcp6Test, HttpBootGetsHttpClientAndItsUrl) {
    m_Hooks.selectBootFile = HttpChoice;
    auto server = Make();
    Bytes advertise = Ask(*server, EdkSolicit(2, 1, "HTTPClient:Arch:00016:UNDI:003016"));
    EXPECT_EQ(AsText(Find(advertise, 4, kOptBootFileUrl)), "http://[2001:db8::1]/boot.efi");
    EXPECT_EQ(Find(advertise, 4, kOptVendorClass), Word(0) + Word(kEnterpriseIntel) + Word(10) + Text("HTTPClient"));
}

TEST_F(Dhcp6Test, ASecondIaidOfOneDuidIsServedAndRoundsDoNotUseUpTheRange) {
    Range("2001:db8::100", "2001:db8::100");
    auto one = Make();
    EXPECT_EQ(Bind(*one, 3, 1), "2001:db8::100");
    EXPECT_EQ(Bind(*one, 3, 2), "2001:db8::100") << "the second IAID, though the range is full";
    Range("2001:db8::100", "2001:db8::105");
    auto server = Make();
    for (uint32_t round = 1; round <= 20; ++round) EXPECT_NE(Bind(*server, 4, round), "none");
    EXPECT_NE(Bind(*server, 5, 1), "none") << "another machine still gets an address";
}

// A flood of SOLICITs fills the book with offers; once they have waited a
// while (asked for again or not) a new machine is served again, and bound
// leases never give way.
TEST_F(Dhcp6Test, AFullBookLetsOldOffersGoAndKeepsBoundLeases) {
    Lease6Book book;
    Lease6Book::RangeSpec range{IpAddress(), IpAddress(), 0};
    ParseIpAddress("2001:db8:1::", &range.first);
    ParseIpAddress("2001:db8:1::ffff:ffff", &range.last);
    book.Configure({range}, {}, false);
    auto key = [](uint32_t n) {
        ClientKey duid;
        const unsigned char bytes[] = {0, 4, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
        EXPECT_TRUE(ClientKey::FromDuid(bytes, sizeof bytes, &duid));
        return duid;
    };
    uint64_t qwNowMs = 1000000;
    IpAddress address;
    ASSERT_TRUE(book.Grant(key(0), 1, 1, nullptr, true, qwNowMs, &address));
    for (uint32_t n = 1; n < Lease6Book::kMaxLeases; ++n) book.Grant(key(n), 1, 1, nullptr, false, qwNowMs, &address);
    ASSERT_EQ(book.Count(), Lease6Book::kMaxLeases);
    EXPECT_FALSE(book.Grant(key(1u << 30), 1, 1, nullptr, false, qwNowMs + 1, &address)) << "full";
    // The flood asks again halfway: its offers must not grow young with it.
    qwNowMs += Lease6Book::kOfferPressureMs / 2;
    for (uint32_t n = 1; n < Lease6Book::kMaxLeases; ++n) book.Grant(key(n), 1, 1, nullptr, false, qwNowMs, &address);
    qwNowMs += Lease6Book::kOfferPressureMs / 2 + 1;
    EXPECT_TRUE(book.Grant(key(1u << 30), 1, 1, nullptr, false, qwNowMs, &address)) << "well inside the offers' hold";
    ASSERT_NE(book.Find(key(0), 1), nullptr);
    EXPECT_TRUE(book.Find(key(0), 1)->bBound);
    EXPECT_EQ(book.Count(), 2u);
}

TEST_F(Dhcp6Test, ServerMessagesAndDeepRelaysGetNothingOneRelayGetsARelayReply) {
    auto server = Make();
    for (uint8_t type : {kAdvertise, kReply, kReconfigure, kRelayRepl})
        EXPECT_TRUE(Ask(*server, Msg(type, Opt(kOptClientId, Duid(1)) + IaNa(1))).empty()) << int(type);
    EXPECT_TRUE(Ask(*server, EdkSolicit(1, 1), "2001:db8::2", 546).empty()) << "not a link-local source";
    Bytes relayed = EdkSolicit(1, 1);
    for (int layer = 0; layer < 9; ++layer) relayed = Relay(relayed);  // one past HOP_COUNT_LIMIT
    EXPECT_TRUE(Ask(*server, relayed, "2001:db8:1::2", 547).empty());
    Bytes answer = Ask(*server, Relay(EdkSolicit(1, 1), Opt(kOptInterfaceId, Text("eth7"))), "2001:db8:1::2", 547);
    ASSERT_GT(answer.size(), 34u);
    EXPECT_EQ(answer[0], kRelayRepl);
    EXPECT_EQ(Bytes(answer.begin() + 2, answer.begin() + 34), Bytes(16, 0x20) + Bytes(16, 0xfe));
    EXPECT_EQ(AsText(Find(answer, 34, kOptInterfaceId)), "eth7");
    Bytes inner = Find(answer, 34, kOptRelayMessage);
    ASSERT_FALSE(inner.empty());
    EXPECT_EQ(inner[0], kAdvertise);
    EXPECT_EQ(Address(inner), "2001:db8::100");
}

TEST_F(Dhcp6Test, MalformedOptionsAreDroppedWithALine) {
    auto server = Make();
    Bytes past = Msg(kSolicit, Opt(kOptClientId, Duid(1)) + Word(kOptIaNa) + Word(40) + Bytes(12, 0));
    Bytes longDuid = Msg(kSolicit, Opt(kOptClientId, Word(kDuidEn) + Bytes(129, 1)) + IaNa(1));
    Bytes shortIa = Msg(kSolicit, Opt(kOptClientId, Duid(1)) + Opt(kOptIaNa, Bytes(11, 0)));
    for (const Bytes &bad : {past, longDuid, shortIa}) EXPECT_TRUE(Ask(*server, bad).empty());
    EXPECT_EQ(LinesWith("DHCPv6 from fe80::2%3 dropped"), 3u);
}

TEST_F(Dhcp6Test, ADeclineFromAnotherDuidChangesNothing) {
    auto server = Make();
    ASSERT_EQ(Bind(*server, 1, 1), "2001:db8::100");
    Bytes serverId = Find(Ask(*server, EdkSolicit(2, 1)), 4, kOptServerId);
    IpAddress held;
    ParseIpAddress("2001:db8::100", &held);
    Ask(*server, Msg(kDecline, Opt(kOptClientId, Duid(2)) + Opt(kOptServerId, serverId) + IaNa(1, IaAddr(held))));
    Bytes renewed = Ask(*server, Msg(kRenew, Opt(kOptClientId, Duid(1)) + Opt(kOptServerId, serverId) + IaNa(1, IaAddr(held))));
    EXPECT_EQ(Address(renewed), "2001:db8::100") << "the holder's lease goes on";
}

TEST_F(Dhcp6Test, TheHostsVetoTakesTheMacFromTheDuidOrTheLinkLocalAddress) {
    m_Hooks.selectPxeServer = OtherServerFor56;
    strcpy(m_Server.vetoname, "192.0.2.1");
    auto server = Make();
    Bytes llt = Word(kDuidLlt) + Word(1) + Bytes(4, 7) + Bytes{0x52, 0x54, 0, 0x12, 0x34, 0x56};
    EXPECT_TRUE(Ask(*server, Msg(kSolicit, Opt(kOptClientId, llt) + IaNa(1))).empty()) << "MAC from the DUID-LLT";
    EXPECT_TRUE(Ask(*server, EdkSolicit(1, 1), "fe80::5054:ff:fe12:3456%3").empty()) << "MAC from the EUI-64";
    EXPECT_FALSE(Ask(*server, EdkSolicit(1, 1), "fe80::5054:ff:fe12:3457%3").empty()) << "this server's client";
    EXPECT_FALSE(Ask(*server, EdkSolicit(1, 1), "fe80::2%3").empty()) << "no MAC: no veto";
}

TEST_F(Dhcp6Test, ALeaseSurvivesARestart) {
    std::string folder = m_Tree.Root() + "/leases";  // no separator at its end
    {
        auto server = Make(folder.c_str());
        EXPECT_EQ(Bind(*server, 1, 1), "2001:db8::100");
        EXPECT_EQ(Bind(*server, 2, 1), "2001:db8::101");
    }
    auto restarted = Make(folder.c_str());
    EXPECT_EQ(Bind(*restarted, 2, 1), "2001:db8::101");
}

}  // namespace

// Asked instead of the plain hook, told the DUID-UUID, the address offered
// and the lease key; its silence leaves the client unanswered.
TEST_F(Dhcp6Test, TheIdentityHookGetsTheDuidUuidAndMaySilenceAClient) {
    m_Hooks.selectBootFile = HttpChoice;
    m_Hooks.selectBootFileEx = IdentityChoice;
    auto server = Make();
    EXPECT_EQ(Bind(*server, 1, 7), "2001:db8::100");
    ASSERT_EQ(g_AskedEx.size(), 2u) << "SOLICIT and REQUEST";
    const SelectBootFileRecordEx solicit = g_AskedEx[0], request = g_AskedEx[1];
    EXPECT_EQ(solicit.uuidsource * 100 + solicit.macknown, 200) << "a DUID-UUID; fe80::2 tells no MAC";
    EXPECT_EQ(Bytes(solicit.uuid, solicit.uuid + 16), Bytes(15, 0x11) + Bytes{1}) << "as on the wire";
    EXPECT_EQ(std::string(request.address) + " " + request.clientkey, "2001:db8::100 duid-0004" + std::string(30, '1') + "01");
    EXPECT_EQ(AsText(Find(Ask(*server, EdkSolicit(2, 1)), 4, kOptBootFileUrl)), "tftp://[2001:db8::1]/boot.efi");
    g_nIdentityResult = 1;
    EXPECT_EQ(AsText(Find(Ask(*server, EdkSolicit(2, 1)), 4, kOptBootFileUrl)), "tftp://[2001:db8::1]/ipxe.efi");
    g_nIdentityResult = TAVREL_BOOT_CHOICE_SILENT;
    EXPECT_TRUE(Ask(*server, EdkSolicit(3, 1)).empty());
}
