// The four exports as a host uses them: return codes, bound ports, the log
// lines of failed starts.
#include <gtest/gtest.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "Tavrel.h"
#include "support/net_client.h"
#include "support/pxe_config.h"

namespace {

int __attribute__((unused)) TAVREL_CALLBACK NoChoice(const unsigned char *, char *) { return 0; }
int TAVREL_CALLBACK AcceptReport(SelectMirrorRecord *) { return 1; }

class ExportsTest : public testing::Test {
protected:
    void SetUp() override { RegisterSelectPxeCallback(NoChoice, AcceptReport); }
    void TearDown() override { EXPECT_EQ(StopPXE(), 0); }
    int Start(TeskPxeServerStruct *server, int nSubNets = 1) {
        std::vector<TeskSubNetStruct> subnets(nSubNets > 0 ? nSubNets : 1,
                                              MakeSubNet("127.0.0.10", "127.0.0.20", 1));
        return StartPXE(server, subnets.data(), nSubNets, nullptr, 0);
    }
    TeskPxeServerStruct m_Server = MakeServer("127.0.0.1");
};

}  // namespace

// Lines this process logs, from its standard output: the day's log file is
// shared with tests running beside this one.
TEST_F(ExportsTest, CallbacksMustBeRegisteredFirst) {
    testing::internal::CaptureStdout();
    RegisterSelectPxeCallback(nullptr, nullptr);
    EXPECT_EQ(Start(&m_Server), -11);
    RegisterSelectPxeCallback(NoChoice, nullptr);
    EXPECT_EQ(Start(&m_Server), -11);
    RegisterSelectPxeCallback(nullptr, AcceptReport);
    EXPECT_EQ(StartPXE(nullptr, nullptr, 0, nullptr, 0), -11) << "the callback check comes first";
    EXPECT_FALSE(UdpPortHeld("127.0.0.1", 67)) << "nothing was created";
    RegisterSelectPxeCallback(NoChoice, AcceptReport);
    EXPECT_EQ(StartPXE(nullptr, nullptr, 0, nullptr, 0), -1);
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_NE(text.find("ERROR :RegisterSelectPxeCallback  error ---Tavrel----45"), std::string::npos);
    EXPECT_EQ(text.find("Dhcpd"), std::string::npos) << text;
    EXPECT_NE(text.find(":StartPXE in has NULL"), std::string::npos);
}

TEST_F(ExportsTest, GoodStartBindsAllFourPortsAndSecondStartTouchesNothing) {
    ASSERT_EQ(Start(&m_Server), 0);
    for (uint16_t port : {67, 69, 4011, 4455}) EXPECT_TRUE(UdpPortHeld("127.0.0.1", port)) << port;
    testing::internal::CaptureStdout();
    TeskPxeServerStruct other = MakeServer("127.0.0.2");
    EXPECT_EQ(Start(&other), 0);
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_EQ(text.find("Dhcpd"), std::string::npos) << "the running services were kept: " << text;
    EXPECT_EQ(text.find("Tftpd"), std::string::npos) << text;
    EXPECT_EQ(StopPXE(), 0);
    for (uint16_t port : {67, 69, 4011, 4455}) EXPECT_FALSE(UdpPortHeld("127.0.0.1", port)) << port;
}

TEST_F(ExportsTest, TakenDhcpPortsFailWithTheirSiteAndAllowANewStart) {
    struct Case {
        uint16_t port;
        const char *line;
    } cases[] = {{67, "Dhcpd:bind udp 67:lasterror:98 line 137"},
                 {4011, "Dhcpd:bind udp 4011:lasterror:98 line 142"},
                 {4455, "Dhcpd:bind udp 4455:lasterror:98 line 147"}};
    for (const Case &taken : cases) {
        FileTail log(TodaysLogPath());
        {
            TestSocket holder("127.0.0.1", taken.port);
            EXPECT_EQ(Start(&m_Server), -2) << taken.port;
        }
        std::string text = log.Read();
        EXPECT_NE(text.find(taken.line), std::string::npos) << text;
        EXPECT_NE(text.find("MyDhcpServer->StartServer error !"), std::string::npos);
        // No StopPXE in between: the failed start left nothing in the way.
        EXPECT_EQ(Start(&m_Server), 0) << "the port is free again";
        for (uint16_t port : {67, 4011, 4455}) EXPECT_TRUE(UdpPortHeld("127.0.0.1", port)) << port;
        EXPECT_EQ(StopPXE(), 0);
    }
}

TEST_F(ExportsTest, TakenTftpPortFailsWithMinusThree) {
    FileTail log(TodaysLogPath());
    {
        TestSocket holder("127.0.0.1", 69);
        EXPECT_EQ(Start(&m_Server), -3);
        EXPECT_TRUE(UdpPortHeld("127.0.0.1", 67)) << "the DHCP service keeps running";
    }
    std::string text = log.Read();
    EXPECT_NE(text.find("Tftpd:bind:lasterror:98 line 91"), std::string::npos) << text;
    EXPECT_NE(text.find("MyTftpServer->StartServer error !"), std::string::npos);
    EXPECT_EQ(Start(&m_Server), 0);
    EXPECT_TRUE(UdpPortHeld("127.0.0.1", 69)) << "the next start started the TFTP service";
}

TEST_F(ExportsTest, RefreshAndStopWithoutStart) {
    EXPECT_EQ(StopPXE(), 0);
    EXPECT_EQ(RefreshPXE(&m_Server, nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(RefreshPXE(nullptr, nullptr, 0, nullptr, 0), -1);
    EXPECT_FALSE(UdpPortHeld("127.0.0.1", 67));
}

TEST_F(ExportsTest, SubnetCountLimits) {
    FileTail log(TodaysLogPath());
    EXPECT_EQ(Start(&m_Server, 10240), 0) << "starts, with no configuration applied";
    EXPECT_NE(log.Read().find("error m_SubCount >= 10*1024 || NULL !=IN_lpTeskPxeServerStruct"), std::string::npos);
    // Refused configuration: the address stays 0.0.0.0, so the wildcard is bound.
    EXPECT_TRUE(UdpPortHeld("0.0.0.0", 67));
    EXPECT_EQ(StopPXE(), 0);
    for (int count : {10241, -1}) {
        FileTail failed(TodaysLogPath());
        EXPECT_EQ(Start(&m_Server, count), -2) << count;
        EXPECT_NE(failed.Read().find("nSubNetLen:" + std::to_string(count) + " > 10240 || nSubNetLen < 0"),
                  std::string::npos);
        EXPECT_EQ(StopPXE(), 0);
    }
}

TEST_F(ExportsTest, EmptyServerAddressBindsEveryInterface) {
    TeskPxeServerStruct server = MakeServer("");
    ASSERT_EQ(Start(&server), 0);
    EXPECT_TRUE(UdpPortHeld("0.0.0.0", 4011));
    EXPECT_TRUE(UdpPortHeld("0.0.0.0", 69));
}

// StartPXEV6 refuses, with -1 and a line, whatever it cannot serve, and
// leaves nothing behind.
TEST_F(ExportsTest, StartPxeV6RefusesRecordsItCannotServe) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(StartPXEV6(nullptr, nullptr, 0, nullptr, 0), -1);
    const struct {
        const char *lpAddress, *lpInterface, *lpPrefix;
        int nAdvert;
    } kCases[] = {
        {"192.0.2.1", "", "", 0},              // not IPv6
        {"2001:db8::zz", "", "", 0},           // no address
        {"ff02::1:2", "lo", "", 0},            // not unicast
        {"fe80::1", "", "", 0},                // link-local without its interface
        {"fe80::1", "nosuch0", "", 0},         // no such interface
        {"2001:db8::1", "", "", 0},            // no interface holds it
        {"::1", "", "2001:db8::/129", 1},      // no prefix
        {"::1", "", "2001:db8::/64", 2},       // routeradvert is 0 or 1
    };
    for (const auto &c : kCases) {
        TeskPxeServerV6Struct server{};
        SET_TEXT(server.ServerIP, c.lpAddress);
        SET_TEXT(server.ifname, c.lpInterface);
        SET_TEXT(server.raprefix, c.lpPrefix);
        server.routeradvert = c.nAdvert;
        EXPECT_EQ(StartPXEV6(&server, nullptr, 0, nullptr, 0), -1) << c.lpAddress << " " << c.lpInterface;
    }
    TeskPxeServerV6Struct server{};
    SET_TEXT(server.ServerIP, "::1");
    EXPECT_EQ(StartPXEV6(&server, nullptr, -1, nullptr, 0), -1);
    EXPECT_EQ(StartPXEV6(&server, nullptr, 1, nullptr, 0), -1) << "a range count without ranges";
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_NE(text.find("StartPXEV6: a link-local ServerIP needs its interface"), std::string::npos) << text;
    EXPECT_NE(text.find("StartPXEV6: no interface of this machine holds ServerIP"), std::string::npos) << text;
    EXPECT_EQ(text.find("Dhcp6d"), std::string::npos) << "no service was started: " << text;
}

// A second StartPXEV6 on the same address applies what it changes: a TFTP
// folder given only now starts TFTP, and advertisements turned on start
// the services again (which then need the link-local address and ICMPv6).
TEST_F(ExportsTest, StartPxeV6AppliesANewTftpFolderAndRouterAdvertisements) {
    ASSERT_EQ(system("ip link add d6 type veth peer name d6peer && sysctl -qw net.ipv6.conf.d6.accept_dad=0 && "
                     "ip link set d6peer up && ip link set d6 up && ip addr add 2001:db8::1/64 dev d6 nodad"),
              0);
    TeskPxeServerV6Struct server{};
    SET_TEXT(server.ServerIP, "2001:db8::1");
    testing::internal::CaptureStdout();
    ASSERT_EQ(StartPXEV6(&server, nullptr, 0, nullptr, 0), 0);
    EXPECT_FALSE(UdpPortHeld("2001:db8::1", 69)) << "no folder, no TFTP";
    SET_TEXT(server.rootpath, "/tmp");
    EXPECT_EQ(StartPXEV6(&server, nullptr, 0, nullptr, 0), 0);
    EXPECT_TRUE(UdpPortHeld("2001:db8::1", 69)) << "the folder given now";
    server.routeradvert = 1;
    SET_TEXT(server.raprefix, "2001:db8::/64");
    EXPECT_EQ(StartPXEV6(&server, nullptr, 0, nullptr, 0), 0);
    EXPECT_TRUE(UdpPortHeld("2001:db8::1", 69));
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_NE(text.find("StartPXEV6: routeradvert changed: the IPv6 services start again"), std::string::npos) << text;
}
