// Options 60, 77 and 93 as the codec reads them: never past the received
// bytes (the real clients' options are read in the boot-file tests).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dhcp/dhcp_responder.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Text(const Bytes &m, int nLen, unsigned char byCode) {
    char text[256];
    return TeskDhcpResponder::GetOptionText(m.data(), nLen, byCode, text, sizeof text) == 0 ? text : "(none)";
}

// A 1500-byte record holding the cookie and OPTIONS; returns the received length.
int Record(Bytes *m, const Bytes &options) {
    m->assign(TeskDhcpResponder::kDataSize, 0);
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
    EXPECT_EQ(TeskDhcpResponder::GetClientArch(m.data(), nLen), -1);
    EXPECT_EQ(Text(m, nLen, 77), "iPXE");
    nLen = Record(&m, {93, 4, 0, 9, 0, 7});
    EXPECT_EQ(TeskDhcpResponder::GetClientArch(m.data(), nLen), 9);
    // Data running past the datagram: absent, even though the record holds more.
    nLen = Record(&m, {77, 4, 'i', 'P', 'X', 'E', 93, 2, 0, 7}) - 6;
    EXPECT_EQ(Text(m, nLen, 77), "(none)");
    EXPECT_EQ(TeskDhcpResponder::GetClientArch(m.data(), nLen), -1);
    // A length byte as the last received byte, and an empty option.
    nLen = Record(&m, {0, 0, 93});
    EXPECT_EQ(TeskDhcpResponder::GetClientArch(m.data(), nLen), -1);
    nLen = Record(&m, {77, 0, 93, 0});
    EXPECT_EQ(Text(m, nLen, 77), "");
    EXPECT_EQ(TeskDhcpResponder::GetClientArch(m.data(), nLen), -1);
    // The longest option fills the text; a zero byte ends it early.
    Bytes longest = {77, 255};
    longest.resize(257, 'u');
    nLen = Record(&m, longest);
    EXPECT_EQ(Text(m, nLen, 77), std::string(255, 'u'));
    nLen = Record(&m, {60, 6, 'a', 'b', 0, 'c', 'd', 'e'});
    EXPECT_EQ(Text(m, nLen, 60), "ab");
    // A received length beyond the record is held to it.
    EXPECT_EQ(Text(m, 100000, 60), "ab");
}
