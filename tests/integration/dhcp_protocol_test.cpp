// PXE and plain DHCP exchanges with real datagrams across a veth pair: the
// service runs on 192.0.2.1, the client side in its own namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tavrel.h"
#include "dhcp/dhcp_server.h"
#include "interface/library_state.h"
#include "support/dhcp_client.h"
#include "support/pcap_reader.h"
#include "support/pxe_config.h"

namespace {

std::mutex g_HostLock;
int g_nChoiceResult = 0;
char g_szChoice[17] = "";
std::vector<SelectMirrorRecord> g_Reports;
std::atomic<int> g_nReportResult{1};

int TAVREL_CALLBACK HostChoice(const unsigned char *, char *server) {
    std::lock_guard<std::mutex> guard(g_HostLock);
    memcpy(server, g_szChoice, 16);  // may fill all 16 bytes
    return g_nChoiceResult;
}

int TAVREL_CALLBACK HostReport(SelectMirrorRecord *record) {
    std::lock_guard<std::mutex> guard(g_HostLock);
    g_Reports.push_back(*record);
    return g_nReportResult;
}

void SetChoice(int result, const char *text) {
    std::lock_guard<std::mutex> guard(g_HostLock);
    g_nChoiceResult = result;
    memset(g_szChoice, 0, sizeof g_szChoice);
    memcpy(g_szChoice, text, strnlen(text, 16));
}

using Lease = TeskDhcpServer::tag_d_dhcp;

class DhcpTest : public testing::Test {
protected:
    void SetUp() override {
        SetChoice(0, "");
        g_Reports.clear();
        g_nReportResult = 1;
        RegisterSelectPxeCallback(HostChoice, HostReport);
        m_Subnets = {MakeSubNet("192.0.2.10", "192.0.2.20", 1)};
    }
    void TearDown() override {
        StopPXE();
    }
    void Start() {
        ASSERT_EQ(StartPXE(&m_Server, m_Subnets.data(), static_cast<int>(m_Subnets.size()), m_Statics.data(),
                           static_cast<int>(m_Statics.size())),
                  0);
    }
    Bytes Ask(const DhcpRequest &request, int timeoutMs = 1500) {
        Bytes message = BuildDhcp(request);
        EXPECT_TRUE(m_Client.SendTo("255.255.255.255", 67, message.data(), message.size()));
        return AwaitXid(m_Client, request.dwXid, timeoutMs);
    }
    std::unique_ptr<Lease> LeaseOf(const unsigned char *mac) {
        Lease lease{};
        return MyDhcpServer->Leases().FindLease(mac, &lease) ? std::make_unique<Lease>(lease) : nullptr;
    }

    TeskPxeServerStruct m_Server = MakeServer("192.0.2.1");
    std::vector<TeskSubNetStruct> m_Subnets;
    std::vector<TeskStaticDhcpStruct> m_Statics;
    TestSocket m_Client{"0.0.0.0", 68, true, true};
};


}  // namespace

TEST_F(DhcpTest, CapturedPxeClientGetsOfferAndAck) {
    m_Subnets = {MakeSubNet("192.0.2.111", "192.0.2.120", 1)};  // the captured client requests .111
    Start();
    auto captured = ReadPcapUdp(FixturePath("ipxe-bios-dhcp-boot.pcap"));
    const CapturedDatagram *discover =
        FindDatagram(captured, 67, [](const Bytes &m) { return m.size() > 242 && m[242] == 1; });
    ASSERT_NE(discover, nullptr);
    ASSERT_TRUE(m_Client.SendTo("255.255.255.255", 67, discover->payload.data(), discover->payload.size()));
    Bytes offer = AwaitXid(m_Client, XidOf(discover->payload), 2000);
    ASSERT_EQ(offer.size(), 349u);
    EXPECT_EQ(AddrAt(offer, 16), Ip("192.0.2.111")) << "lowest free address";
    EXPECT_EQ(AddrAt(offer, 20), Ip("192.0.2.1"));
    EXPECT_STREQ(reinterpret_cast<const char *>(&offer[108]), "pxelinux.0");
    EXPECT_EQ(memcmp(&offer[28], &discover->payload[28], 16), 0) << "chaddr as received";
    auto options = OptionsOf(offer);
    std::vector<int> codes;
    for (auto &option : options) codes.push_back(option.first);
    EXPECT_EQ(codes, (std::vector<int>{53, 54, 51, 1, 3, 6, 60, 43, 255}));
    EXPECT_EQ(options[0].second, Bytes{2});
    EXPECT_EQ(options[2].second, (Bytes{0, 1, 0x51, 0x80})) << "86400 s";
    EXPECT_EQ(options[6].second, (Bytes{'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 't', 0}));
    EXPECT_EQ(options[7].second.size(), 59u);
    EXPECT_EQ(offer[346], 255);
    EXPECT_EQ(offer[347], 0);
    EXPECT_EQ(offer[348], 0);

    const CapturedDatagram *request =
        FindDatagram(captured, 67, [](const Bytes &m) { return m.size() > 242 && m[242] == 3; });
    ASSERT_NE(request, nullptr);
    ASSERT_TRUE(m_Client.SendTo("255.255.255.255", 67, request->payload.data(), request->payload.size()));
    Bytes ack = AwaitXid(m_Client, XidOf(request->payload), 2000);
    ASSERT_EQ(ack.size(), 349u);
    EXPECT_EQ(ack[242], 5);
    EXPECT_EQ(AddrAt(ack, 16), Ip("192.0.2.111"));
    EXPECT_STREQ(reinterpret_cast<const char *>(&ack[108]), "MAIN.COM");
}

TEST_F(DhcpTest, BootServerAnswersTheSenderWithTheBootItem) {
    Start();
    TestSocket asker("192.0.2.2", 4011, true);
    auto captured = ReadPcapUdp(FixturePath("uefi-ovmf-proxydhcp-boot.pcap"));
    const CapturedDatagram *request = FindDatagram(captured, 4011);
    ASSERT_NE(request, nullptr);
    ASSERT_TRUE(asker.SendTo("192.0.2.1", 4011, request->payload.data(), request->payload.size()));
    sockaddr_in from{};
    bool ok = false;
    Bytes answer = asker.Receive(2000, &ok, &from);
    ASSERT_TRUE(ok);
    ASSERT_EQ(answer.size(), 273u);
    EXPECT_EQ(ntohs(from.sin_port), 4011);
    EXPECT_EQ(AddrAt(answer, 12), 0u);
    EXPECT_EQ(AddrAt(answer, 16), 0u);
    EXPECT_STREQ(reinterpret_cast<const char *>(&answer[108]), "pxelinux.0");
    auto options = OptionsOf(answer);
    ASSERT_EQ(options.size(), 5u);
    EXPECT_EQ(options[3].first, 43);
    EXPECT_EQ(options[3].second, (Bytes{71, 4, 0, 1, 0, 0, 255}));
    EXPECT_TRUE(MyDhcpServer->Leases().Leases().empty()) << "nothing assigned";
}

TEST_F(DhcpTest, VendorClassDecidesTheKind) {
    m_Subnets.push_back(MakeSubNet("192.0.2.100", "192.0.2.110", 2));
    Start();
    DhcpRequest plain;
    plain.vendor = "pxeclient";
    plain.abMac[5] = 1;
    Bytes offer = Ask(plain);
    ASSERT_FALSE(offer.empty());
    EXPECT_EQ(AddrAt(offer, 16), Ip("192.0.2.100")) << "lower-case pxeclient is an ordinary client";
    DhcpRequest none;
    none.vendor = "";
    none.abMac[5] = 2;
    none.dwXid = 77;
    offer = Ask(none);
    EXPECT_EQ(AddrAt(offer, 16), Ip("192.0.2.101"));
    DhcpRequest linux;
    linux.vendor = "Linux ipconfig";
    linux.abMac[5] = 3;
    linux.dwXid = 78;
    offer = Ask(linux);
    EXPECT_EQ(AddrAt(offer, 16), Ip("192.0.2.10"));
}

TEST_F(DhcpTest, OrdinaryClientWithoutOrdinaryRangeGetsNothing) {
    Start();
    FileTail log(TodaysLogPath());
    DhcpRequest plain;
    plain.vendor = "";
    EXPECT_TRUE(Ask(plain, 800).empty());
    EXPECT_NE(log.Read().find("DEBUG :can't allocate ip"), std::string::npos);
}

TEST_F(DhcpTest, RepliesAndBadCookiesAreIgnored) {
    Start();
    FileTail log(TodaysLogPath());
    DhcpRequest reply;
    reply.byOp = 2;
    EXPECT_TRUE(Ask(reply, 800).empty());
    EXPECT_NE(log.Read().find("DEBUG :op not BOOTREQUEST"), std::string::npos);
    EXPECT_EQ(LeaseOf(reply.abMac), nullptr);
    DhcpRequest cookie;
    cookie.bGoodCookie = false;
    EXPECT_TRUE(Ask(cookie, 800).empty());
}

TEST_F(DhcpTest, HostVetoComesBeforeAnyAddress) {
    Start();
    FileTail log(TodaysLogPath());
    SetChoice(1, "192.0.2.99");
    DhcpRequest request;
    EXPECT_TRUE(Ask(request, 800).empty());
    EXPECT_EQ(LeaseOf(request.abMac), nullptr);
    EXPECT_NE(log.Read().find("mac:52:54:00:12:34:56,ServerIp is:192.0.2.99"), std::string::npos);
    // Sixteen characters with no terminating zero: only fifteen are read.
    SetChoice(1, "192.0.2.1\t\t\t\t\t\t\t");
    EXPECT_FALSE(Ask(request).empty()) << "192.0.2.1 followed by blanks names this server";
    SetChoice(1, "192.0.2.1");
    EXPECT_FALSE(Ask(request).empty());
}

TEST_F(DhcpTest, ReleaseIsNotAnsweredAndTouchesNoLease) {
    Start();
    DhcpRequest request;
    ASSERT_FALSE(Ask(request).empty());
    auto lease = LeaseOf(request.abMac);
    ASSERT_NE(lease, nullptr);
    lease->time = 1000;
    ASSERT_TRUE(MyDhcpServer->Leases().RestoreLease(request.abMac, *lease));
    DhcpRequest release = request;
    release.byType = 7;
    EXPECT_TRUE(Ask(release, 800).empty());
    EXPECT_EQ(LeaseOf(request.abMac)->time, 1000) << "only an answered request renews";
}

// A RENEW of an address without a lease takes nothing: a NAK when sent to
// the server's address, silence when broadcast.
TEST_F(DhcpTest, RenewOfAnUnknownAddressIsRefusedOnlyWhenUnicast) {
    Start();
    DhcpRequest renew;
    renew.byType = 3;
    renew.dwCiaddr = Ip("192.0.2.15");
    Bytes message = BuildDhcp(renew);
    ASSERT_TRUE(m_Client.SendTo("192.0.2.1", 67, message.data(), message.size()));
    EXPECT_EQ(OptionOf(AwaitXid(m_Client, renew.dwXid, 1500), 53), Bytes{6});
    EXPECT_TRUE(Ask(renew, 800).empty()) << "broadcast";
    EXPECT_EQ(LeaseOf(renew.abMac), nullptr);
}

TEST_F(DhcpTest, RelayedRequestsAreAnsweredToTheRelay) {
    m_Subnets.push_back(MakeSubNet("192.0.2.100", "192.0.2.110", 2));
    m_Subnets.push_back(MakeSubNet("10.7.0.10", "10.7.0.20", 2));
    Start();
    FileTail log(TodaysLogPath());
    TestSocket relay("192.0.2.2", 67, true);
    DhcpRequest request;
    request.vendor = "";
    request.dwGiaddr = Ip("192.0.2.2");
    request.dwXid = 4242;
    Bytes message = BuildDhcp(request);
    ASSERT_TRUE(relay.SendTo("192.0.2.1", 67, message.data(), message.size()));
    Bytes answer = AwaitXid(relay, 4242, 2000);
    ASSERT_EQ(answer.size(), 349u) << "unicast to giaddr, port 67";
    EXPECT_EQ(AddrAt(answer, 16), Ip("192.0.2.100")) << "only the range of the relay's network";
    EXPECT_EQ(AddrAt(answer, 24), Ip("192.0.2.2"));

    request.dwGiaddr = Ip("10.9.9.9");
    request.dwXid = 4243;
    request.abMac[5] = 0x77;
    message = BuildDhcp(request);
    ASSERT_TRUE(relay.SendTo("192.0.2.1", 67, message.data(), message.size()));
    EXPECT_TRUE(AwaitXid(relay, 4243, 800).empty()) << "giaddr outside every range";
    EXPECT_NE(log.Read().find("can't allocate ip"), std::string::npos);
}

TEST_F(DhcpTest, MirrorRequestAnswersAndReports) {
    m_Statics = {MakeStatic("02:00:00:00:00:09", "192.0.2.50")};
    Start();
    TestSocket peer("0.0.0.0", 4455, true, true);
    Bytes pack(292, 0);
    const unsigned char head[] = {0x75, 0x6d, 0, 0, 2, 0, 0, 0, 0, 9, 0xAB, 0xCD, 1, 0, 0, 0};
    memcpy(pack.data(), head, sizeof head);
    pack[289] = 0x11;
    pack[290] = 0x22;
    pack[291] = 0x33;
    memset(&pack[32], 'x', 256);
    ASSERT_TRUE(peer.SendTo("255.255.255.255", 4455, pack.data(), pack.size()));
    Bytes answer = AwaitMatching(peer, [](const Bytes &m) { return m.size() == 292 && m[12] == 2; }, 2000);
    ASSERT_EQ(answer.size(), 292u);
    EXPECT_EQ(answer[10], 0xAB);
    EXPECT_EQ(answer[11], 0xCD);
    EXPECT_EQ(AddrAt(answer, 16), Ip("192.0.2.50"));
    EXPECT_EQ(AddrAt(answer, 20), Ip("255.255.255.0"));
    EXPECT_EQ(AddrAt(answer, 24), Ip("192.0.2.254"));
    EXPECT_EQ(AddrAt(answer, 28), Ip("192.0.2.1"));
    EXPECT_STREQ(reinterpret_cast<const char *>(&answer[32]), "relay one");
    EXPECT_EQ(answer[32 + 10], 'x') << "bytes after the text stay";
    EXPECT_STREQ(reinterpret_cast<const char *>(&answer[160]), "relay two");
    EXPECT_EQ(answer[288], 0) << "no host choice";
    EXPECT_EQ(answer[289], 0x11);
    EXPECT_EQ(answer[290], 0x22);
    EXPECT_EQ(answer[291], 0x33);

    // A selection report: the host sees the four texts; nothing is sent.
    g_nReportResult = 0;
    FileTail log(TodaysLogPath());
    Bytes report(292, 0);
    memcpy(report.data(), head, 12);
    report[12] = 2;
    const unsigned char fields[16] = {10, 0, 168, 192, 0, 255, 255, 255, 1, 0, 168, 192, 2, 0, 168, 192};
    memcpy(&report[16], fields, 16);
    ASSERT_TRUE(peer.SendTo("192.0.2.255", 4455, report.data(), report.size()));
    EXPECT_EQ(DatagramsFrom(peer, "192.0.2.1", 500), 0) << "a report is not answered";
    {
        std::lock_guard<std::mutex> guard(g_HostLock);
        ASSERT_EQ(g_Reports.size(), 1u) << "our own answers are no reports";
        EXPECT_STREQ(g_Reports[0].ip, "192.168.0.10");
        EXPECT_STREQ(g_Reports[0].gateway, "192.168.0.1");
        EXPECT_STREQ(g_Reports[0].netmask, "255.255.255.0");
        EXPECT_STREQ(g_Reports[0].server, "192.168.0.2");
        EXPECT_EQ(g_Reports[0].mac[5], 9);
    }
    EXPECT_NE(log.Read().find("SelectMirrorServerToDB error --TeskDhcpServer---1409"), std::string::npos);

    report[12] = 3;
    ASSERT_TRUE(peer.SendTo("192.0.2.255", 4455, report.data(), report.size()));
    EXPECT_EQ(DatagramsFrom(peer, "192.0.2.1", 500), 0) << "nor an unknown operation";
    report[0] = 0;
    ASSERT_TRUE(peer.SendTo("192.0.2.255", 4455, report.data(), report.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string text = log.Read();
    EXPECT_NE(text.find("m_lpDATAPack->dwOp:3"), std::string::npos);
    EXPECT_NE(text.find("GetMurDhcp m_lpDATAPack->dwMagic dwOp  miss 27904 3 ---1349"), std::string::npos) << text;
}

TEST_F(DhcpTest, MirrorRequestWithoutAddressIsNotAnswered) {
    m_Server.dhcpmode = 1;
    Start();
    FileTail log(TodaysLogPath());
    TestSocket peer("0.0.0.0", 4455, true, true);
    Bytes pack(292, 0);
    pack[0] = 0x75;
    pack[1] = 0x6d;
    pack[12] = 1;
    ASSERT_TRUE(peer.SendTo("255.255.255.255", 4455, pack.data(), pack.size()));
    Bytes answer = AwaitMatching(peer, [](const Bytes &m) { return m.size() == 292 && m[12] == 2; }, 800);
    EXPECT_TRUE(answer.empty());
    EXPECT_NE(log.Read().find("GetMurDhcp can't allocate ip ---1383"), std::string::npos);
}

TEST_F(DhcpTest, RefreshDuringAStreamOfRequestsLosesNoAnswer) {
    m_Subnets = {MakeSubNet("192.0.2.10", "192.0.2.250", 1)};
    Start();
    constexpr int kRequests = 2000, kWindow = 16;
    std::atomic<bool> done{false};
    std::thread refresher([&] {
        for (int i = 0; i < 50 && !done; ++i) {
            TeskSubNetStruct subnets[2] = {MakeSubNet("192.0.2.10", "192.0.2.250", 1),
                                           MakeSubNet("192.0.2.251", "192.0.2.252", 2)};
            RefreshPXE(&m_Server, subnets, 1 + i % 2, nullptr, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    int answered = 0;
    for (int base = 0; base < kRequests; base += kWindow) {
        for (int i = base; i < base + kWindow; ++i) {
            DhcpRequest request;
            request.abMac[5] = static_cast<unsigned char>(i % 200);  // new clients, then renewals
            request.dwXid = 100000 + i;
            Bytes message = BuildDhcp(request);
            m_Client.SendTo("255.255.255.255", 67, message.data(), message.size());
        }
        for (int got = 0; got < kWindow; ++got) {
            bool ok = false;
            Bytes answer = m_Client.Receive(2000, &ok);
            if (!ok) break;
            if (answer.size() == 349 && answer[242] == 2) ++answered;
        }
    }
    done = true;
    refresher.join();
    EXPECT_EQ(answered, kRequests);
}

namespace {

std::vector<SelectBootFileRecord> g_BootAsked;
std::string g_BootAnswer;  // empty: no choice

int TAVREL_CALLBACK HostBootFile(const SelectBootFileRecord *client, char *bootfile) {
    std::lock_guard<std::mutex> guard(g_HostLock);
    g_BootAsked.push_back(*client);
    if (g_BootAnswer.empty()) return 0;
    memcpy(bootfile, g_BootAnswer.data(), std::min<size_t>(g_BootAnswer.size(), 128));  // may fill all 128
    return 1;
}

void SetBootAnswer(const std::string &file) {
    std::lock_guard<std::mutex> guard(g_HostLock);
    g_BootAnswer = file;
}

std::vector<SelectBootFileRecord> BootAsked() {
    std::lock_guard<std::mutex> guard(g_HostLock);
    return g_BootAsked;
}

std::vector<SelectBootFileRecordEx> g_IdentityAsked;
std::vector<BootEventRecord> g_Unanswered;  // by the delivery thread, read after StopPXE
// Names a file twice, then silences the client.
int TAVREL_CALLBACK HostIdentity(const SelectBootFileRecordEx *client, char *bootfile) {
    std::lock_guard<std::mutex> guard(g_HostLock);
    g_IdentityAsked.push_back(*client);
    return strcpy(bootfile, "ipxe.efi"), g_IdentityAsked.size() < 3 ? 1 : TAVREL_BOOT_CHOICE_SILENT;
}
void TAVREL_CALLBACK KeepUnanswered(const BootEventRecord *event) { g_Unanswered.push_back(*event); }

class BootFileTest : public DhcpTest {
protected:
    void SetUp() override {
        DhcpTest::SetUp();
        g_BootAsked.clear();
        SetBootAnswer("");
        m_Subnets.push_back(MakeSubNet("192.0.2.100", "192.0.2.110", 2));  // HTTPClient is no PXE client
        Start();
    }
    void TearDown() override {
        RegisterSelectBootFileCallback(nullptr);
        RegisterSelectBootFileCallbackEx(nullptr);
        DhcpTest::TearDown();
    }
    // The answers to a captured DISCOVER on port 67 and a captured request on 4011.
    std::pair<Bytes, Bytes> Answers(const char *lpCapture) {
        auto captured = ReadPcapUdp(FixturePath(lpCapture));
        const CapturedDatagram *discover =
            FindDatagram(captured, 67, [](const Bytes &m) { return m.size() > 242 && m[242] == 1; });
        const CapturedDatagram *proxy = FindDatagram(captured, 4011);
        if (!discover || !proxy) return {};
        m_Client.SendTo("255.255.255.255", 67, discover->payload.data(), discover->payload.size());
        Bytes offer = AwaitXid(m_Client, XidOf(discover->payload), 2000);
        TestSocket asker("192.0.2.2", 4011, true);
        asker.SendTo("192.0.2.1", 4011, proxy->payload.data(), proxy->payload.size());
        bool ok = false;
        return {offer, asker.Receive(2000, &ok)};
    }
    static std::string FileOf(const Bytes &answer) {
        return answer.size() > 236 ? std::string(reinterpret_cast<const char *>(&answer[108])) : "";
    }
};

}  // namespace

TEST_F(BootFileTest, WithoutAChoiceAnswersStayByteForByte) {
    auto unregistered = Answers("ipxe-bios-proxydhcp-boot.pcap");
    ASSERT_EQ(unregistered.first.size(), 349u);
    ASSERT_EQ(unregistered.second.size(), 273u);
    RegisterSelectBootFileCallback(HostBootFile);
    EXPECT_EQ(Answers("ipxe-bios-proxydhcp-boot.pcap"), unregistered) << "a host that makes no choice";
    EXPECT_EQ(BootAsked().size(), 2u) << "asked for the offer and the 4011 answer";
}

TEST_F(BootFileTest, ClientDetailsReachTheHostAndItsChoiceTheAnswers) {
    RegisterSelectBootFileCallback(HostBootFile);
    SetBootAnswer("ipxe.efi");
    auto uefi = Answers("uefi-ovmf-proxydhcp-boot.pcap");
    EXPECT_EQ(FileOf(uefi.first), "ipxe.efi");
    EXPECT_EQ(FileOf(uefi.second), "ipxe.efi");
    Bytes pxeOptions = OptionOf(uefi.first, 43);
    // A chosen file names its server alike in siaddr, sname and option 66.
    EXPECT_EQ(AddrAt(uefi.first, 20), Ip("192.0.2.1"));
    EXPECT_STREQ(reinterpret_cast<const char *>(&uefi.first[44]), "192.0.2.1");
    EXPECT_EQ(OptionOf(uefi.first, 66), (Bytes{'1', '9', '2', '.', '0', '.', '2', '.', '1'}));
    EXPECT_EQ(Bytes(pxeOptions.begin(), pxeOptions.begin() + 3), (Bytes{6, 1, 15}))
        << "discovery control: load the named file, no boot-server discovery";
    SetBootAnswer(std::string(128, 'k'));  // no terminating zero: 127 characters are sent
    auto bios = Answers("ipxe-bios-proxydhcp-boot.pcap");
    EXPECT_EQ(FileOf(bios.first), std::string(127, 'k'));
    EXPECT_EQ(FileOf(bios.second), std::string(127, 'k'));
    SetBootAnswer("boot.ipxe");  // iPXE boots what the acknowledgement names
    DhcpRequest request;
    request.userClass = "iPXE";
    EXPECT_EQ(FileOf(Ask(SelectingRequest(request, Ask(request)))), "boot.ipxe");

    auto asked = BootAsked();
    ASSERT_EQ(asked.size(), 6u);
    EXPECT_EQ(asked[0].arch, 7);
    EXPECT_STREQ(asked[0].vendorclass, "PXEClient:Arch:00007:UNDI:003000");
    EXPECT_EQ(asked[2].arch, 0);
    EXPECT_STREQ(asked[2].userclass, "iPXE");
    EXPECT_STREQ(asked[3].vendorclass, "PXEClient") << "the 4011 request's own options";
    EXPECT_STREQ(asked[5].userclass, "iPXE");
}

TEST_F(BootFileTest, HttpBootClientGetsItsUrl) {
    RegisterSelectBootFileCallback(HostBootFile);
    SetBootAnswer("http://192.0.2.1/ipxe.efi");
    DhcpRequest http;
    http.vendor = "HTTPClient:Arch:00016:UNDI:003000";
    http.nArch = 16;
    Bytes offer = Ask(http);
    EXPECT_EQ(FileOf(offer), "http://192.0.2.1/ipxe.efi");
    std::vector<int> codes;
    for (auto &option : OptionsOf(offer)) codes.push_back(option.first);
    EXPECT_EQ(codes, (std::vector<int>{53, 54, 51, 1, 3, 6, 66, 60, 255})) << "no PXE options";
    EXPECT_EQ(OptionOf(offer, 60), (Bytes{'H', 'T', 'T', 'P', 'C', 'l', 'i', 'e', 'n', 't'}));
    EXPECT_EQ(offer.size(), 300u) << "padded to the BOOTP minimum";
    EXPECT_EQ(BootAsked().at(0).arch, 16);
}

// Asked instead of the plain hook, told option 97, the address offered and
// the lease key; its silence leaves the client unanswered, as a veto does.
TEST_F(BootFileTest, IdentityHookTakesOption97AndMaySilenceAClient) {
    DhcpRequest request;
    Bytes message = BuildDhcp(request), option = {97, 17, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    message.insert(message.begin() + 240, option.begin(), option.end());
    auto ask = [&](int timeoutMs) {
        m_Client.SendTo("255.255.255.255", 67, message.data(), message.size());
        return AwaitXid(m_Client, request.dwXid, timeoutMs);
    };
    RegisterSelectBootFileCallback(HostBootFile);
    RegisterSelectBootFileCallbackEx(HostIdentity);
    EXPECT_EQ(FileOf(ask(1500)), "ipxe.efi");
    message[242] = 1;  // option 97 of another type: no UUID
    EXPECT_EQ(FileOf(ask(1500)), "ipxe.efi");
    RegisterBootEventCallback(KeepUnanswered);
    EXPECT_TRUE(ask(800).empty());
    StopPXE();  // delivers what is queued
    RegisterBootEventCallback(nullptr);
    ASSERT_EQ(g_Unanswered.size(), 1u);
    EXPECT_EQ(g_Unanswered[0].kind * 100 + g_Unanswered[0].reason, 200 + TAVREL_REASON_HOST_DECLINED);
    EXPECT_TRUE(BootAsked().empty()) << "the plain hook is never asked";
    std::lock_guard<std::mutex> guard(g_HostLock);
    const SelectBootFileRecordEx first = g_IdentityAsked.at(0);
    EXPECT_EQ(first.uuidsource * 100 + first.macknown + 10 * g_IdentityAsked.at(1).uuidsource, 101) << "97 once, MAC";
    EXPECT_EQ(Bytes(first.uuid, first.uuid + 16), Bytes(option.begin() + 3, option.end()));
    EXPECT_EQ(std::string(first.address) + " " + first.clientkey, "192.0.2.10 mac1-525400123456") << "the offer's";
}
