// libFuzzer target: one datagram for the DHCPv6 responder (codec included).
// The first byte picks the sender: a client's link-local address on 546, a
// relay on 547, or a global address; the rest is the datagram.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Tavrel.h"
#include "dhcp6/dhcp6_answerer.h"

namespace {
int TAVREL_CALLBACK AnyChoice(const unsigned char *mac, char *server) {
    if (mac[5] & 1) return 0;
    strcpy(server, mac[5] & 2 ? "192.0.2.9" : "192.0.2.1");
    return 1;
}
int TAVREL_CALLBACK AnyBootFile(const SelectBootFileRecord *client, char *file) {
    if (client->arch < 0) return 0;
    memset(file, client->arch & 1 ? 'h' : 'x', 128);  // all 128 bytes, as a careless host may
    return 1;
}

// A small range that fills, a static entry, and the host's hooks, once.
Dhcp6Answerer &Responder() {
    static DhcpHostHooks hooks;
    static TeskPxeServerV6Struct server{};
    static TeskSubNetV6Struct ranges[2]{};
    static TeskStaticDhcpV6Struct statics[1]{};
    static Dhcp6Answerer *responder = [] {
        hooks.selectPxeServer = AnyChoice;
        hooks.selectBootFile = AnyBootFile;
        strcpy(server.ServerIP, "2001:db8::1");
        strcpy(server.bootfile, "boot.efi");
        strcpy(server.vetoname, "192.0.2.1");
        strcpy(ranges[0].beginip, "2001:db8::100");
        strcpy(ranges[0].endip, "2001:db8::107");
        strcpy(ranges[0].dns1, "2001:db8::53");
        ranges[0].nDhcpType = 1;
        strcpy(ranges[1].beginip, "2001:db8::1:0");
        strcpy(ranges[1].endip, "2001:db8::1:ffff");
        ranges[1].nDhcpType = 2;
        strcpy(statics[0].mac, "52:54:00:12:34:56");
        strcpy(statics[0].ip, "2001:db8::99");
        Dhcp6Start start;
        start.lpServer = &server;
        start.lpSubNets = ranges;
        start.nSubNets = 2;
        start.lpStatics = statics;
        start.nStatics = 1;
        return MakeDhcp6Answerer(start, hooks).release();
    }();
    return *responder;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static const uint8_t kLinkLocal[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x50, 0x54, 0, 0xff, 0xfe, 0x12, 0x34, 0x56};
    static const uint8_t kRelay[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    Dhcp6Datagram datagram;
    datagram.lpData = data + 1;
    datagram.nLen = size - 1;
    switch (data[0] % 3) {
    case 0: datagram.from = IpEndpoint(IpAddress::FromV6(kLinkLocal, 2), 546); break;
    case 1: datagram.from = IpEndpoint(IpAddress::FromV6(kRelay), 547); break;
    default: datagram.from = IpEndpoint(IpAddress::FromV6(kRelay), 546); break;
    }
    // Time goes on a second a datagram, so holds and leases expire.
    static uint64_t qwNowMs = 0;
    qwNowMs += 1000;
    static Dhcp6Reply reply;
    Responder().Answer(datagram, qwNowMs, &reply);
    return 0;
}
