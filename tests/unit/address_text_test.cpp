#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "net/address_text.h"
#include "net/ip_address.h"
#include "platform/platform.h"

TEST(TextToHostIp, DottedQuadsAndLooseForms) {
    EXPECT_EQ(TextToHostIp("192.168.0.1"), 0xC0A80001u);
    EXPECT_EQ(TextToHostIp("1..2.3.4"), TextToHostIp("1.2.3.4"));
    EXPECT_EQ(TextToHostIp("..1.2.3.4"), 0x01020304u);
    EXPECT_EQ(TextToHostIp("1.2.3"), TextToHostIp("1.2.3.0"));
    EXPECT_EQ(TextToHostIp(""), 0u);
    EXPECT_EQ(TextToHostIp("...."), 0u);
    EXPECT_EQ(TextToHostIp("10.x.0.1"), 0x0A000001u);
    // A part above 255 spills its high bits into the byte before it.
    EXPECT_EQ(TextToHostIp("1.2.0.256"), 0x01020100u);
    EXPECT_EQ(TextToHostIp("1.2.300.4"), 0x01022C04u | 0x00010000u);
}

TEST(TextToHostIp, LongTextIsCutAndCallerTextKept) {
    char text[64];
    strcpy(text, "10.0.0.1");
    memset(text + 8, ' ', 40);
    text[48] = '9';
    text[49] = '\0';
    // Only the first 31 characters count, so the trailing 9 is never read.
    EXPECT_EQ(TextToHostIp(text), 0x0A000001u);
    char kept[] = "1.2.3.4";
    TextToHostIp(kept);
    EXPECT_STREQ(kept, "1.2.3.4");
    // More than four parts must not shift by a negative count.
    EXPECT_EQ(TextToHostIp("1.2.3.4.5.6"), 0x01020304u);
}

TEST(Ipv4Text, NetworkOrderRoundTrip) {
    uint32_t net = platform::HostToNet32(TextToHostIp("192.168.0.1"));
    EXPECT_STREQ(Ipv4Text(0xFFFFFFFFu).c_str(), "255.255.255.255");
    char line[128];
    snprintf(line, sizeof line, "%s %s", Ipv4Text(net).c_str(), Ipv4Text(0).c_str());
    EXPECT_STREQ(line, "192.168.0.1 0.0.0.0") << "a buffer each";
}

TEST(HostIpToText, ZeroesWholeBuffer) {
    char buf[16];
    memset(buf, 'x', sizeof buf);
    HostIpToText(sizeof buf, buf, 0);
    EXPECT_STREQ(buf, "0.0.0.0");
    for (int i = 7; i < 16; ++i) EXPECT_EQ(buf[i], 0) << i;
    char wide[128];
    EXPECT_STREQ(HostIpToText(sizeof wide, wide, 0xC0A80001u), "192.168.0.1");
}

TEST(MacToText, LowerCaseHexPairs) {
    const unsigned char mac[6] = {0x00, 0x1A, 0x2B, 0xFF, 0x4D, 0x05};
    char buf[32];
    memset(buf, 'x', sizeof buf);
    EXPECT_STREQ(MacToText(sizeof buf, buf, mac), "00:1a:2b:ff:4d:05");
    EXPECT_EQ(buf[31], 0);
}

namespace {

std::string Text(const char *lpIn) {
    IpAddress address;
    if (!ParseIpAddress(lpIn, &address)) return "rejected";
    char buf[kIpAddressTextSize];
    size_t length = FormatIpAddress(address, buf, sizeof buf);
    EXPECT_EQ(length, strlen(buf));
    return buf;
}

}  // namespace

TEST(IpAddressText, Rfc5952Forms) {
    EXPECT_EQ(Text("2001:db8::1"), "2001:db8::1");
    EXPECT_EQ(Text("2001:db8:0:0:1:0:0:1"), "2001:db8::1:0:0:1");
    EXPECT_EQ(Text("2001:0DB8:0000:0000:0000:0000:0000:0001"), "2001:db8::1");
    EXPECT_EQ(Text("::"), "::");
    EXPECT_EQ(Text("::1"), "::1");
    EXPECT_EQ(Text("::ffff:192.0.2.1"), "::ffff:192.0.2.1");
    EXPECT_EQ(Text("::ffff:c000:201"), "::ffff:192.0.2.1");
    EXPECT_EQ(Text("fe80::1%2"), "fe80::1%2");
    // A tie goes to the first run; one zero group is not compressed.
    EXPECT_EQ(Text("2001:db8:0:0:1:0:0:1"), "2001:db8::1:0:0:1");
    EXPECT_EQ(Text("2001:0:0:1:0:0:0:1"), "2001:0:0:1::1");
    EXPECT_EQ(Text("2001:db8:0:1:1:1:1:1"), "2001:db8:0:1:1:1:1:1");
    EXPECT_EQ(Text("1::"), "1::");
    EXPECT_EQ(Text("0:0:0:0:0:0:0:0"), "::");
    EXPECT_EQ(Text("1:2:3:4:5:6:1.2.3.4"), "1:2:3:4:5:6:102:304");
    EXPECT_EQ(Text("192.0.2.1"), "192.0.2.1");
    EXPECT_EQ(Text("255.255.255.255"), "255.255.255.255");
}

TEST(IpAddressText, StrictParserRejects) {
    for (const char *bad :
         {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1..2.3", " 1.2.3.4", "1.2.3.4 ", "1.2.3.a", ":", ":::",
          "1:2", "1:2:3:4:5:6:7:8:9", "1::2::3", "12345::", "1:2:3:4:5:6:7::8", "::1:", ":1::", "g::1", "::1.2.3",
          "1:2:3:4:5:6:7:1.2.3.4", "::1.2.3.4:5", "2001:db8::1%2", "fe80::1%", "fe80::1%x", "fe80::1%0",
          "fe80::1%4294967296", "[::1]"}) {
        IpAddress address = IpAddress::FromV4Host(7);
        EXPECT_FALSE(ParseIpAddress(bad, &address)) << bad;
        EXPECT_EQ(address, IpAddress::FromV4Host(7)) << bad;
    }
    EXPECT_FALSE(ParseIpAddress(nullptr, nullptr));
}

TEST(IpAddressText, EndpointsAndV4Forms) {
    IpEndpoint endpoint;
    char buf[kIpEndpointTextSize];
    ASSERT_TRUE(ParseIpEndpoint("[fe80::a%4294967295]:65535", &endpoint));
    FormatIpEndpoint(endpoint, buf, sizeof buf);
    EXPECT_STREQ(buf, "[fe80::a%4294967295]:65535");
    EXPECT_EQ(endpoint.Address().Scope(), 4294967295u);
    ASSERT_TRUE(ParseIpEndpoint("192.0.2.1:67", &endpoint));
    platform::SockAddrV4 addr;
    ASSERT_TRUE(endpoint.ToSockAddrV4(&addr));
    EXPECT_EQ(addr.dwAddr, platform::HostToNet32(0xC0000201u));
    EXPECT_EQ(IpEndpoint::FromSockAddrV4(addr), endpoint);
    EXPECT_EQ(FormatIpEndpoint(endpoint, buf, sizeof buf), 12u);
    EXPECT_STREQ(buf, "192.0.2.1:67");
    for (const char *bad : {"[192.0.2.1]:1", "::1:5", "[::1]", "[::1]:65536", "1.2.3.4:", "1.2.3.4:05"})
        EXPECT_FALSE(ParseIpEndpoint(bad, &endpoint)) << bad;
    // A buffer too small holds no cut text.
    EXPECT_EQ(FormatIpAddress(IpAddress::FromV4Host(0xC0000201u), buf, 9), 0u);
    EXPECT_STREQ(buf, "");
    // Only link scope keeps an interface index.
    IpAddress global;
    ASSERT_TRUE(ParseIpAddress("2001:db8::1", &global));
    global.SetScope(3);
    EXPECT_EQ(global.Scope(), 0u);
    EXPECT_EQ(IpAddress::FromV4Host(0xC0000201u).V4Net(), platform::HostToNet32(0xC0000201u));
}
