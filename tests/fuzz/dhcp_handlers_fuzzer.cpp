// libFuzzer target: one datagram for one of the three DHCP-side handlers.
// The first byte picks the socket, the rest is the datagram.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Tavrel.h"
#include "dhcp/dhcp_responder.h"
#include "support/pxe_config.h"

namespace {
int TAVREL_CALLBACK AnyChoice(const unsigned char *mac, char *server) {
    if (mac[5] & 1) return 0;
    memset(server, '1', 16);
    return 1;
}
int TAVREL_CALLBACK AnyReport(SelectMirrorRecord *) { return 0; }

// The responder with its lease book and hooks, built once, without sockets.
TeskDhcpResponder &Responder() {
    static DhcpHostHooks hooks;
    static LeaseBook leases;
    static std::atomic<uint32_t> broadcast{0};
    static TeskDhcpResponder *responder = [] {
        hooks.selectPxeServer = AnyChoice;
        hooks.selectMirrorServerToDB = AnyReport;
        hooks.selectBootFile = AnyBootFile;
        leases.CreateCaches();
        TeskPxeServerStruct config = MakeServer("10.0.0.1");
        TeskSubNetStruct subnets[2] = {MakeSubNet("10.0.0.10", "10.0.0.20", 1),
                                       MakeSubNet("10.0.1.10", "10.0.1.12", 2)};
        leases.Install(BuildConfigSnapshot(&config, subnets, 2, nullptr, 0));
        return new TeskDhcpResponder(leases, hooks, broadcast);
    }();
    return *responder;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    static TeskDhcpResponder::_socklist record;
    memset(&record, 0, sizeof record);
    size_t len = size - 1 > TeskDhcpResponder::kDataSize ? TeskDhcpResponder::kDataSize : size - 1;
    memcpy(record.data, data + 1, len);
    record.nRecvLen = static_cast<int>(len);
    record.nSocketType = data[0] % 3;
    // The high bit: sent to the server's own address (a unicast RENEW's path).
    if (data[0] & 0x80) record.dwLocalAddr = platform::HostToNet32(0x0A000001);
    static uint64_t qwNowMs = 0;
    TeskDhcpResponder::AnswerDestination to{};
    Responder().Answer(&record, ++qwNowMs, &to);
    return 0;
}
