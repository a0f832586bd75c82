// libFuzzer target: one datagram for one of the three DHCP-side handlers.
// The first byte picks the socket, the rest is the datagram.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Tavrel.h"
#include "dhcp/dhcp_server.h"
#include "support/pxe_config.h"

namespace {
int TAVREL_CALLBACK AnyChoice(const unsigned char *mac, char *server) {
    if (mac[5] & 1) return 0;
    memset(server, '1', 16);
    return 1;
}
int TAVREL_CALLBACK AnyReport(SelectMirrorRecord *) { return 0; }

TeskDhcpServer *Server() {
    static TeskDhcpServer *server = [] {
        RegisterSelectPxeCallback(AnyChoice, AnyReport);
        RegisterSelectBootFileCallback(AnyBootFile);
        TeskDhcpServer *s = TeskDhcpServer::Create();
        s->CreateContainers();
        TeskPxeServerStruct config = MakeServer("10.0.0.1");
        TeskSubNetStruct subnets[2] = {MakeSubNet("10.0.0.10", "10.0.0.20", 1),
                                       MakeSubNet("10.0.1.10", "10.0.1.12", 2)};
        s->ApplyConfig(&config, subnets, 2, nullptr, 0);
        return s;
    }();
    return server;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    static TeskDhcpServer::_socklist record;
    memset(&record, 0, sizeof record);
    size_t len = size - 1 > TeskDhcpServer::kDataSize ? TeskDhcpServer::kDataSize : size - 1;
    memcpy(record.data, data + 1, len);
    record.nRecvLen = static_cast<int>(len);
    record.nSocketType = data[0] % 3;
    TeskDhcpServer::AnswerDestination to{};
    TeskDhcpServer::ProtocolHandlers().handlers[record.nSocketType](&Server()->Responder(), &record, &to);
    return 0;
}
