#include <gtest/gtest.h>

#include <cstring>

#include "net/address_text.h"
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

TEST(IpToText, NetworkOrderRoundTrip) {
    uint32_t net = platform::HostToNet32(TextToHostIp("192.168.0.1"));
    EXPECT_STREQ(IpToText(net), "192.168.0.1");
    char *text = IpToText(0xFFFFFFFFu);
    EXPECT_STREQ(text, "255.255.255.255");
    EXPECT_EQ(strlen(text), 15u);
    EXPECT_EQ(IpToText(0), text) << "one shared buffer";
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
