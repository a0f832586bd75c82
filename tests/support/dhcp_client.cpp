#include "support/dhcp_client.h"

#include <arpa/inet.h>

#include <chrono>

Bytes BuildDhcp(const DhcpRequest &request) {
    Bytes m(300, 0);
    m[0] = request.byOp;
    m[1] = 1;
    m[2] = 6;
    memcpy(&m[4], &request.dwXid, 4);
    memcpy(&m[12], &request.dwCiaddr, 4);
    memcpy(&m[24], &request.dwGiaddr, 4);
    memcpy(&m[28], request.abMac, 6);
    const unsigned char cookie[4] = {99, 130, 83, static_cast<unsigned char>(request.bGoodCookie ? 99 : 98)};
    memcpy(&m[236], cookie, 4);
    size_t at = 240;
    m[at++] = 53;
    m[at++] = 1;
    m[at++] = request.byType;
    auto text = [&](unsigned char code, const std::string &value) {
        if (value.empty()) return;
        m[at++] = code;
        m[at++] = static_cast<unsigned char>(value.size());
        memcpy(&m[at], value.data(), value.size());
        at += value.size();
    };
    auto address = [&](unsigned char code, uint32_t value) {
        if (value == 0) return;
        m[at++] = code;
        m[at++] = 4;
        memcpy(&m[at], &value, 4);
        at += 4;
    };
    address(50, request.dwRequested);
    address(54, request.dwServerId);
    text(60, request.vendor);
    text(77, request.userClass);
    if (request.nArch >= 0) {
        const unsigned char arch[4] = {93, 2, static_cast<unsigned char>(request.nArch >> 8),
                                       static_cast<unsigned char>(request.nArch)};
        memcpy(&m[at], arch, 4);
        at += 4;
    }
    m[at++] = 255;
    return m;
}

DhcpRequest SelectingRequest(DhcpRequest request, const Bytes &offer) {
    request.byType = 3;
    request.dwRequested = AddrAt(offer, 16);
    for (auto &option : OptionsOf(offer))
        if (option.first == 54 && option.second.size() == 4) memcpy(&request.dwServerId, option.second.data(), 4);
    return request;
}

uint32_t XidOf(const Bytes &message) {
    uint32_t xid = 0;
    if (message.size() >= 8) memcpy(&xid, &message[4], 4);
    return xid;
}

uint32_t AddrAt(const Bytes &message, size_t offset) {
    uint32_t addr = 0;
    if (message.size() >= offset + 4) memcpy(&addr, &message[offset], 4);
    return addr;
}

uint32_t Ip(const char *text) { return inet_addr(text); }

std::vector<std::pair<int, Bytes>> OptionsOf(const Bytes &message) {
    std::vector<std::pair<int, Bytes>> options;
    for (size_t at = 240; at < message.size();) {
        int code = message[at];
        if (code == 0) {
            ++at;
            continue;
        }
        if (code == 255) {
            options.push_back({255, {}});
            break;
        }
        if (at + 1 >= message.size()) break;
        size_t len = message[at + 1];
        options.push_back({code, Bytes(message.begin() + at + 2, message.begin() + std::min(message.size(), at + 2 + len))});
        at += 2 + len;
    }
    return options;
}

Bytes OptionOf(const Bytes &message, int code) {
    for (auto &option : OptionsOf(message))
        if (option.first == code) return option.second;
    return {};
}

Bytes AwaitXid(TestSocket &socket, uint32_t dwXid, int timeoutMs) {
    return AwaitMatching(
        socket, [dwXid](const Bytes &m) { return m.size() >= 240 && m[0] == 2 && XidOf(m) == dwXid; }, timeoutMs);
}

Bytes AwaitMatching(TestSocket &socket, const std::function<bool(const Bytes &)> &match, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) return {};
        bool ok = false;
        Bytes got = socket.Receive(left, &ok);
        if (!ok) return {};
        if (match(got)) return got;
    }
}
