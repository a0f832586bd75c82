// Options 60, 77, 93 and 50 as the codec reads them: never past the received
// bytes (the real clients' options are read in the boot-file tests).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dhcp/dhcp_codec.h"
#include "dhcp/dhcp_records.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Text(const Bytes &m, int nLen, unsigned char byCode) {
    char text[256];
    return GetOptionText(m.data(), nLen, byCode, text, sizeof text) == 0 ? text : "(none)";
}

// A 1500-byte record holding the cookie and OPTIONS; returns the received length.
int Record(Bytes *m, const Bytes &options) {
    m->assign(TeskDhcpTypes::kDataSize, 0);
    const unsigned char cookie[4] = {99, 130, 83, 99};
    memcpy(&(*m)[236], cookie, 4);
    memcpy(&(*m)[240], options.data(), options.size());
    return 240 + static_cast<int>(options.size());
}

}  // namespace

TEST(DhcpCodec, TruncatedAndOversizedOptions) {
    Bytes m;
    // Option 93 with one byte is no architecture; the second value of a list is not read.
    int nLen = Record(&m, {93, 1, 7, 77, 4, 'i', 'P', 'X', 'E'});
    EXPECT_EQ(GetClientArch(m.data(), nLen), -1);
    EXPECT_EQ(Text(m, nLen, 77), "iPXE");
    nLen = Record(&m, {93, 4, 0, 9, 0, 7});
    EXPECT_EQ(GetClientArch(m.data(), nLen), 9);
    // Data running past the datagram: absent, even though the record holds more.
    nLen = Record(&m, {77, 4, 'i', 'P', 'X', 'E', 93, 2, 0, 7}) - 6;
    EXPECT_EQ(Text(m, nLen, 77), "(none)");
    EXPECT_EQ(GetClientArch(m.data(), nLen), -1);
    // A length byte as the last received byte, and an empty option.
    nLen = Record(&m, {0, 0, 93});
    EXPECT_EQ(GetClientArch(m.data(), nLen), -1);
    nLen = Record(&m, {77, 0, 93, 0});
    EXPECT_EQ(Text(m, nLen, 77), "");
    EXPECT_EQ(GetClientArch(m.data(), nLen), -1);
    // The longest option fills the text; a zero byte ends it early.
    Bytes longest = {77, 255};
    longest.resize(257, 'u');
    nLen = Record(&m, longest);
    EXPECT_EQ(Text(m, nLen, 77), std::string(255, 'u'));
    nLen = Record(&m, {60, 6, 'a', 'b', 0, 'c', 'd', 'e'});
    EXPECT_EQ(Text(m, nLen, 60), "ab");
    // A received length beyond the record is held to it.
    EXPECT_EQ(Text(m, 100000, 60), "ab");
    // Several at once: the first of a repeated option, and none past one that runs off the end.
    nLen = Record(&m, {77, 1, 'a', 0, 77, 1, 'b', 93, 2, 0, 7, 60, 9, 'x'});
    const unsigned char codes[] = {93, 77, 60, 175};
    OptionView found[4];
    FindOptions(m.data(), nLen, codes, 4, found);
    EXPECT_EQ(found[0].nLen, 2);
    ASSERT_NE(found[1].lpData, nullptr);
    EXPECT_EQ(found[1].lpData[0], 'a');
    EXPECT_EQ(found[2].lpData, nullptr);
    EXPECT_EQ(found[3].lpData, nullptr);
}

// Firmware that leaves out option 93 writes its architecture, in decimal,
// into option 60; option 93 wins when both are there.
TEST(DhcpCodec, ArchitectureFromOption60AndAddressOptions) {
    Bytes m;
    auto vendor = [&](const std::string &text, const Bytes &more = {}) {
        Bytes options = {60, static_cast<unsigned char>(text.size())};
        options.insert(options.end(), text.begin(), text.end());
        options.insert(options.end(), more.begin(), more.end());
        return Record(&m, options);
    };
    int nLen = vendor("PXEClient:Arch:00011:UNDI:003000");
    EXPECT_EQ(ClientArchOf(m.data(), nLen), 11) << "decimal, not hexadecimal";
    EXPECT_EQ(ClientArchOf(m.data(), vendor("PXEClient:Arch:00016")), 16);
    EXPECT_EQ(ClientArchOf(m.data(), vendor("PXEClient:Arch:00007:UNDI:003000", {93, 2, 0, 9})), 9);
    EXPECT_EQ(ClientArchOf(m.data(), vendor("PXEClient:Arch:0x007:UNDI")), -1);
    EXPECT_EQ(ClientArchOf(m.data(), vendor("PXEClient:Arch:99999")), -1) << "beyond 16 bits";
    EXPECT_EQ(ClientArchOf(m.data(), vendor("PXEClient:Arch:0001")), -1) << "cut short";
    EXPECT_EQ(ClientArchOf(m.data(), vendor("HTTPClient")), -1);
    nLen = Record(&m, {50, 4, 192, 0, 2, 10, 54, 3, 1, 2, 3});
    const unsigned char expected[4] = {192, 0, 2, 10};
    uint32_t dwWant;
    memcpy(&dwWant, expected, 4);
    EXPECT_EQ(GetAddressOption(m.data(), nLen, 50), dwWant);
    EXPECT_EQ(GetAddressOption(m.data(), nLen, 54), 0u) << "an address of three bytes is none";
    EXPECT_EQ(GetAddressOption(m.data(), nLen - 1, 54), 0u);
}
