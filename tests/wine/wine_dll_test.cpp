// The Windows DLL (64-bit build) under wine64, loaded by a Windows host,
// answering real datagrams across a veth pair; its DHCP answers are compared
// byte for byte with those of the Linux build for the same configuration,
// over IPv4 and over IPv6.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "Tavrel.h"
#include "dhcp6/dhcp6_protocol.h"
#include "support/dhcp_client.h"
#include "support/pcap_reader.h"
#include "support/pxe_config.h"
#include "support/shell.h"
#include "support/temp_tree.h"
#include "wine/wine_process.h"

namespace {

int TAVREL_CALLBACK NoChoice(const unsigned char *, char *) { return 0; }
int TAVREL_CALLBACK AcceptReport(SelectMirrorRecord *) { return 1; }
int TAVREL_CALLBACK NameBootFile(const SelectBootFileRecord *client, char *bootfile) {
    ChoiceText(*client, bootfile);
    return 1;
}

struct Exchange {
    Bytes offer, ack, proxy;
};

class WineDllTest : public testing::Test {
protected:
    void SetUp() override {
        m_Work = m_Tree.Root();
        mkdir((m_Work + "/boot").c_str(), 0755);
        mkdir((m_Work + "/boot/Sub").c_str(), 0755);
        std::string image(1 << 20, 0);
        std::mt19937 random(5);
        for (char &c : image) c = static_cast<char>(random());
        m_Image = image;
        std::ofstream(m_Work + "/boot/image.bin", std::ios::binary) << image;
        std::ofstream(m_Work + "/boot/Sub/Kernel.img", std::ios::binary) << "kernel";
        // The host executable sits in <base>/bin, so its logs go to <base>/log.
        std::string copy = "cp '" + std::string(TAVREL_WINE_HOST) + "' '" + m_Tree.Base() + "/bin/host.exe'";
        ASSERT_EQ(system(copy.c_str()), 0);
        std::ofstream config(m_Work + "/host.cfg");
        config << "server=192.0.2.1\nnetmask=255.255.255.0\nbootfile=pxelinux.0\n"
               << "root=" << WinePath(m_Work + "/boot") << "\nrelay1=relay one\nrelay2=relay two\n"
               << "range=192.0.2.111,192.0.2.120,255.255.255.0,192.0.2.53,192.0.2.54,192.0.2.254,1\n"
               << "static=02:00:00:00:00:09,192.0.2.50,255.255.255.0,192.0.2.53,192.0.2.54,192.0.2.254\n"
               << "reports=" << WinePath(m_Work + "/reports.txt") << "\n";
    }
    void StartWine() {
        m_Wine.reset(new WineProcess({m_Tree.Base() + "/bin/host.exe", WinePath(TAVREL_WIN64_DLL), WinePath(m_Work + "/host.cfg")}, m_Work));
        m_StartLine = m_Wine->ReadLineStarting("start ", 60000);
    }
    void StopWine() {
        if (!m_Wine) return;
        m_Wine->Send("stop");
        EXPECT_EQ(m_Wine->ReadLineStarting("stop ", 10000), "stop 0");
        EXPECT_EQ(m_Wine->Wait(), 0);
        m_Wine.reset();
    }
    void TearDown() override { StopWine(); }

    // DISCOVER and REQUEST of a captured PXE client, and a request on 4011.
    Exchange RunPxeExchange() {
        Exchange result;
        auto captured = ReadPcapUdp(FixturePath("ipxe-bios-dhcp-boot.pcap"));
        const CapturedDatagram *discover = FindDatagram(captured, 67, [](const Bytes &m) { return m[242] == 1; });
        const CapturedDatagram *request = FindDatagram(captured, 67, [](const Bytes &m) { return m[242] == 3; });
        TestSocket client("0.0.0.0", 68, true, true);
        client.SendTo("255.255.255.255", 67, discover->payload.data(), discover->payload.size());
        result.offer = AwaitXid(client, XidOf(discover->payload), 5000);
        client.SendTo("255.255.255.255", 67, request->payload.data(), request->payload.size());
        result.ack = AwaitXid(client, XidOf(request->payload), 5000);
        TestSocket asker("192.0.2.2", 4011, true);
        asker.SendTo("192.0.2.1", 4011, discover->payload.data(), discover->payload.size());
        bool ok = false;
        result.proxy = asker.Receive(5000, &ok);
        return result;
    }

    TempTree m_Tree;
    std::string m_Work, m_Image, m_StartLine;
    std::unique_ptr<WineProcess> m_Wine;
};

Bytes TftpGet(const std::string &name, const std::vector<std::string> &options, int blockSize) {
    TestSocket client("192.0.2.2", 4000, true);
    Bytes rrq = {0, 1};
    for (const std::string &part : std::vector<std::string>{name, "octet"}) {
        rrq.insert(rrq.end(), part.begin(), part.end());
        rrq.push_back(0);
    }
    for (const std::string &part : options) {
        rrq.insert(rrq.end(), part.begin(), part.end());
        rrq.push_back(0);
    }
    client.SendTo("192.0.2.1", 69, rrq.data(), rrq.size());
    bool ok = false;
    sockaddr_in server{};
    Bytes first = client.Receive(5000, &ok, &server);
    // The transfer goes on with the port that answered, never UDP 69.
    if (!ok || first.size() < 2 || ntohs(server.sin_port) == 69) return {};
    Bytes file;
    unsigned block = 0;
    Bytes packet = first;
    if (first[1] == 3) {  // no options: the first block came at once
        file.insert(file.end(), first.begin() + 4, first.end());
        block = 1;
        if (first.size() < 4u + blockSize) return file;
    } else if (first[1] != 6) {
        return {};
    }
    for (;;) {
        Bytes ack = {0, 4, static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)};
        client.SendTo("192.0.2.1", ntohs(server.sin_port), ack.data(), ack.size());
        packet = client.Receive(5000, &ok);
        if (!ok || packet.size() < 4 || packet[1] != 3) return {};
        file.insert(file.end(), packet.begin() + 4, packet.end());
        ++block;
        if (packet.size() < 4u + blockSize) return file;
    }
}

// A UDP socket of the client namespace on tv1, bound to ADDRESS (a
// link-local one when empty) and PORT.
class ClientSocket6 {
public:
    ClientSocket6(const std::string &address, uint16_t port) {
        sockaddr_in6 local{};
        std::thread([&] {
            int ns = open(getenv("TAVREL_CLIENT_NETNS"), O_RDONLY);
            if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0) {
                m_Fd = socket(AF_INET6, SOCK_DGRAM, 0);
                m_dwScope = if_nametoindex("tv1");
                local = address.empty() ? LinkLocalOfTv1() : To(address.c_str(), 0);
            }
            if (ns >= 0) close(ns);
        }).join();
        local.sin6_port = htons(port);
        setsockopt(m_Fd, SOL_SOCKET, SO_BINDTODEVICE, "tv1", 4);
        if (m_Fd < 0 || bind(m_Fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
            throw std::runtime_error("bind");
    }
    ~ClientSocket6() { close(m_Fd); }
    void SendTo(const char *address, uint16_t port, const Bytes &data) {
        sockaddr_in6 to = To(address, port);
        sendto(m_Fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
    // The next datagram within 5 s, empty on none; the sender's port.
    Bytes Receive(uint16_t *lpPort = nullptr) {
        pollfd probe{m_Fd, POLLIN, 0};
        if (poll(&probe, 1, 5000) != 1) return {};
        Bytes data(65536);
        sockaddr_in6 from{};
        socklen_t len = sizeof from;
        ssize_t got = recvfrom(m_Fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (lpPort) *lpPort = ntohs(from.sin6_port);
        data.resize(got < 0 ? 0 : static_cast<size_t>(got));
        return data;
    }

private:
    sockaddr_in6 To(const char *address, uint16_t port) const {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_port = htons(port);
        to.sin6_scope_id = m_dwScope;
        inet_pton(AF_INET6, address, &to.sin6_addr);
        return to;
    }
    static sockaddr_in6 LinkLocalOfTv1() {
        sockaddr_in6 found{};
        ifaddrs *list = nullptr;
        getifaddrs(&list);
        for (ifaddrs *i = list; i; i = i->ifa_next)
            if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET6 && strcmp(i->ifa_name, "tv1") == 0 &&
                IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<sockaddr_in6 *>(i->ifa_addr)->sin6_addr))
                found = *reinterpret_cast<sockaddr_in6 *>(i->ifa_addr);
        freeifaddrs(list);
        return found;
    }
    int m_Fd = -1;
    uint32_t m_dwScope = 0;
};

void PutOption6(Bytes *lpOut, uint16_t code, const Bytes &value) {
    Bytes head = {static_cast<unsigned char>(code >> 8), static_cast<unsigned char>(code),
                  static_cast<unsigned char>(value.size() >> 8), static_cast<unsigned char>(value.size())};
    lpOut->insert(lpOut->end(), head.begin(), head.end());
    lpOut->insert(lpOut->end(), value.begin(), value.end());
}

// The value of option CODE of a DHCPv6 message, empty when it has none.
Bytes Option6(const Bytes &message, uint16_t code) {
    for (size_t at = 4; at + 4 <= message.size();) {
        size_t len = (message[at + 2] << 8) | message[at + 3];
        if (at + 4 + len > message.size()) break;
        if (((message[at] << 8) | message[at + 1]) == code) return Bytes(message.begin() + at + 4, message.begin() + at + 4 + len);
        at += 4 + len;
    }
    return {};
}

// A firmware's SOLICIT (EDK II's options, DUID-LL of 52:54:00:12:34:56),
// or with the server's id its REQUEST.
Bytes FirmwareMessage(uint8_t type, const Bytes &serverId) {
    const std::string vendor = "PXEClient:Arch:00007:UNDI:003016";
    Bytes message = {type, 0x12, 0x34, type};
    PutOption6(&message, dhcp6::kOptClientId, {0, 3, 0, 1, 0x52, 0x54, 0, 0x12, 0x34, 0x56});
    if (!serverId.empty()) PutOption6(&message, dhcp6::kOptServerId, serverId);
    PutOption6(&message, dhcp6::kOptIaNa, {0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0});
    PutOption6(&message, dhcp6::kOptOro, {0, 59, 0, 60, 0, 23, 0, 16});
    Bytes vendorClass = {0, 0, 1, 0x57, 0, static_cast<unsigned char>(vendor.size())};
    vendorClass.insert(vendorClass.end(), vendor.begin(), vendor.end());
    PutOption6(&message, dhcp6::kOptVendorClass, vendorClass);
    PutOption6(&message, dhcp6::kOptClientArch, {0, 7});
    PutOption6(&message, dhcp6::kOptElapsedTime, {0, 0});
    return message;
}

struct Exchange6 {
    Bytes advertise, reply;
};

// SOLICIT and REQUEST to ff02::1:2 from the client's link-local address.
Exchange6 RunDhcp6Exchange() {
    Exchange6 result;
    ClientSocket6 client("", 546);
    client.SendTo("ff02::1:2", 547, FirmwareMessage(dhcp6::kSolicit, {}));
    result.advertise = client.Receive();
    client.SendTo("ff02::1:2", 547, FirmwareMessage(dhcp6::kRequest, Option6(result.advertise, dhcp6::kOptServerId)));
    result.reply = client.Receive();
    return result;
}

// A whole file read from [2001:db8::1]:69 with blksize BLOCK.
Bytes TftpGet6(const std::string &name, int block) {
    ClientSocket6 client("2001:db8::2", 4000);
    Bytes rrq = {0, 1};
    for (const std::string &part : {name, std::string("octet"), std::string("blksize"), std::to_string(block)}) {
        rrq.insert(rrq.end(), part.begin(), part.end());
        rrq.push_back(0);
    }
    client.SendTo("2001:db8::1", 69, rrq);
    uint16_t port = 0;
    Bytes packet = client.Receive(&port), file;
    if (packet.size() < 2 || packet[1] != 6 || port == 69) return {};
    for (unsigned n = 0;; ++n) {
        client.SendTo("2001:db8::1", port, {0, 4, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
        packet = client.Receive();
        if (packet.size() < 4 || packet[1] != 3) return {};
        file.insert(file.end(), packet.begin() + 4, packet.end());
        if (packet.size() < 4u + block) return file;
    }
}

// Both sides of the pair with their IPv6 addresses past duplicate detection.
void AddIpv6Addresses() {
    std::string client = "ip -n " + std::string(basename(getenv("TAVREL_CLIENT_NETNS")));
    ASSERT_EQ(Shell("ip addr add 2001:db8::1/64 dev tv0 nodad && " + client + " addr add 2001:db8::2/64 dev tv1 nodad"), 0);
    ASSERT_EQ(Shell("for i in $(seq 100); do [ -z \"$(ip -6 addr show tentative)$(" + client +
                    " -6 addr show tentative)\" ] && exit 0; sleep 0.1; done; exit 1"),
              0);
}

}  // namespace

TEST_F(WineDllTest, DhcpAnswersMatchTheLinuxBuild) {
    // Both hosts name the boot file after the record the library passed them.
    std::ofstream(m_Work + "/host.cfg", std::ios::app) << "bootchoice=1\nevents=" << WinePath(m_Work + "/events.txt")
                                                      << "\n";
    RegisterSelectPxeCallback(NoChoice, AcceptReport);
    RegisterSelectBootFileCallback(NameBootFile);
    TeskPxeServerStruct server = MakeServer("192.0.2.1");
    // The captured client requests 192.0.2.111, as offered.
    TeskSubNetStruct subnet = MakeSubNet("192.0.2.111", "192.0.2.120", 1);
    TeskStaticDhcpStruct entry = MakeStatic("02:00:00:00:00:09", "192.0.2.50");
    ASSERT_EQ(StartPXE(&server, &subnet, 1, &entry, 1), 0);
    Exchange linux = RunPxeExchange();
    StopPXE();
    RegisterSelectBootFileCallback(nullptr);
    // A chosen file adds option 66, the server's name, to each answer.
    ASSERT_EQ(linux.offer.size(), 360u);
    ASSERT_EQ(linux.ack.size(), 360u);
    EXPECT_EQ(linux.ack[242], 5);
    ASSERT_EQ(linux.proxy.size(), 284u);
    EXPECT_STREQ(reinterpret_cast<const char *>(&linux.offer[108]), "5256-0-iPXE-PXEClient:Arch:00000:UNDI:002001");

    StartWine();
    ASSERT_EQ(m_StartLine, "start 0");
    Exchange windows = RunPxeExchange();
    EXPECT_EQ(windows.offer, linux.offer);
    EXPECT_EQ(windows.ack, linux.ack);
    EXPECT_EQ(windows.proxy, linux.proxy);
    StopWine();  // delivers the queued events first
    std::string events = ReadWholeFile(m_Work + "/events.txt");
    EXPECT_NE(events.find("1 0 67 52:54:00:12:34:56 192.0.2."), std::string::npos) << events;
    EXPECT_NE(events.find(" 5256-0-iPXE-PXEClient:Arch:00000:UNDI:002001\r\n"), std::string::npos) << events;
    EXPECT_NE(events.find(" 4011 52:54:00:12:34:56 "), std::string::npos) << events;
}

// The same SOLICIT and REQUEST on the same interface (so the same server
// DUID-LL) get the same ADVERTISE and REPLY from both builds, and the DLL
// serves a whole file over IPv6.
TEST_F(WineDllTest, Dhcp6AndTftpOverIpv6MatchTheLinuxBuild) {
    AddIpv6Addresses();
    std::ofstream(m_Work + "/host.cfg", std::ios::app) << "ipv6=2001:db8::1,tv0,2001:db8::100,2001:db8::1ff\n";
    RegisterSelectPxeCallback(NoChoice, AcceptReport);
    TeskPxeServerStruct server = MakeServer("192.0.2.1");
    TeskSubNetStruct subnet = MakeSubNet("192.0.2.111", "192.0.2.120", 1);
    ASSERT_EQ(StartPXE(&server, &subnet, 1, nullptr, 0), 0);
    TeskPxeServerV6Struct server6{};
    TeskSubNetV6Struct range6{};
    SET_TEXT(server6.ServerIP, "2001:db8::1");
    SET_TEXT(server6.ifname, "tv0");
    SET_TEXT(server6.bootfile, "ipxe.efi");
    SET_TEXT(range6.beginip, "2001:db8::100");
    SET_TEXT(range6.endip, "2001:db8::1ff");
    ASSERT_EQ(StartPXEV6(&server6, &range6, 1, nullptr, 0), 0);
    Exchange6 linux = RunDhcp6Exchange();
    StopPXE();
    ASSERT_GT(linux.advertise.size(), 4u);
    EXPECT_EQ(linux.advertise[0], dhcp6::kAdvertise);
    ASSERT_GT(linux.reply.size(), 4u);
    EXPECT_EQ(linux.reply[0], dhcp6::kReply);
    std::string url(reinterpret_cast<const char *>(Option6(linux.reply, dhcp6::kOptBootFileUrl).data()),
                    Option6(linux.reply, dhcp6::kOptBootFileUrl).size());
    EXPECT_EQ(url, "tftp://[2001:db8::1]/ipxe.efi");

    StartWine();
    ASSERT_EQ(m_StartLine, "start 0");
    ASSERT_EQ(m_Wine->ReadLineStarting("start6 ", 10000), "start6 0")
        << ReadWholeFile(m_Tree.Base() + "/log/" + TodaysLogName());
    Exchange6 windows = RunDhcp6Exchange();
    EXPECT_EQ(windows.advertise, linux.advertise);
    EXPECT_EQ(windows.reply, linux.reply);
    Bytes image = TftpGet6("image.bin", 1428);
    EXPECT_TRUE(image == Bytes(m_Image.begin(), m_Image.end())) << "1 MB at blksize 1428, got " << image.size();
}

TEST_F(WineDllTest, MirrorRequestsTftpAndRefresh) {
    StartWine();
    ASSERT_EQ(m_StartLine, "start 0");
    TestSocket peer("0.0.0.0", 4455, true, true);
    Bytes pack(292, 0);
    const unsigned char head[] = {0x75, 0x6d, 0, 0, 2, 0, 0, 0, 0, 9, 0xAB, 0xCD, 1};
    memcpy(pack.data(), head, sizeof head);
    peer.SendTo("255.255.255.255", 4455, pack.data(), pack.size());
    Bytes answer = AwaitMatching(peer, [](const Bytes &m) { return m.size() == 292 && m[12] == 2; }, 5000);
    ASSERT_EQ(answer.size(), 292u);
    EXPECT_EQ(AddrAt(answer, 16), Ip("192.0.2.50"));
    EXPECT_STREQ(reinterpret_cast<const char *>(&answer[32]), "relay one");
    pack[12] = 2;
    const unsigned char fields[16] = {10, 0, 168, 192, 0, 255, 255, 255, 1, 0, 168, 192, 2, 0, 168, 192};
    memcpy(&pack[16], fields, 16);
    peer.SendTo("192.0.2.255", 4455, pack.data(), pack.size());
    AwaitMatching(peer, [](const Bytes &m) { return m.empty(); }, 5000);
    EXPECT_EQ(ReadWholeFile(m_Work + "/reports.txt"), "02:00:00:00:00:09 192.168.0.10 192.168.0.1 255.255.255.0 192.168.0.2\r\n");

    Bytes image = TftpGet("image.bin", {"blksize", "1456"}, 1456);
    EXPECT_TRUE(image == Bytes(m_Image.begin(), m_Image.end())) << "1 MB at blksize 1456, got " << image.size();
    Bytes kernel = TftpGet("SUB\\kernel.IMG", {}, 512);
    EXPECT_EQ(std::string(kernel.begin(), kernel.end()), "kernel") << "backslash and letter case";

    TestSocket client("0.0.0.0", 68, true, true);
    DhcpRequest discover;
    Bytes message = BuildDhcp(discover);
    client.SendTo("255.255.255.255", 67, message.data(), message.size());
    Bytes before = AwaitXid(client, discover.dwXid, 5000);
    ASSERT_EQ(before.size(), 349u);
    EXPECT_EQ(AddrAt(before, 20), Ip("192.0.2.1"));
    m_Wine->Send("refresh 192.0.2.77");
    EXPECT_EQ(m_Wine->ReadLineStarting("refresh ", 10000), "refresh 0");
    discover.dwXid = 99;
    message = BuildDhcp(discover);
    client.SendTo("255.255.255.255", 67, message.data(), message.size());
    Bytes after = AwaitXid(client, 99, 5000);
    ASSERT_EQ(after.size(), 349u);
    EXPECT_EQ(AddrAt(after, 20), Ip("192.0.2.77"));
    EXPECT_EQ(AddrAt(after, 245), Ip("192.0.2.77")) << "option 54";
    bool found = false;
    for (auto &option : OptionsOf(after))
        if (option.first == 43) found = memcmp(option.second.data() + 8, "\xc0\x00\x02\x4d", 4) == 0;
    EXPECT_TRUE(found) << "PXE_BOOT_SERVERS";
}

TEST_F(WineDllTest, WindowsLogAndTakenPort) {
    TestSocket holder("192.0.2.1", 67);
    StartWine();
    EXPECT_EQ(m_StartLine, "start -2");
    StopWine();
    std::string log = ReadWholeFile(m_Tree.Base() + "/log/" + TodaysLogName());
    EXPECT_NE(log.find("Dhcpd:bind udp 67:lasterror:10048 line 137"), std::string::npos) << log;
    EXPECT_NE(log.find("\xc6\xf4\xb6\xaf" "Dhcpd" "\xb7\xfe\xce\xf1" "\r\n"), std::string::npos) << "GBK notice, text mode";
    EXPECT_NE(log.find("\xcd\xa3\xd6\xb9" "Dhcpd" "\xb7\xfe\xce\xf1"), std::string::npos);
}
