#include "support/pcap_reader.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace {
uint32_t Le32(const unsigned char *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t Be16(const unsigned char *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
}  // namespace

std::vector<CapturedDatagram> ReadPcapUdp(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<CapturedDatagram> out;
    if (bytes.size() < 24 || Le32(bytes.data()) != 0xa1b2c3d4u) return out;
    for (size_t at = 24; at + 16 <= bytes.size();) {
        uint32_t len = Le32(&bytes[at + 8]);
        const unsigned char *frame = &bytes[at + 16];
        at += 16 + len;
        if (at > bytes.size() || len < 14 + 20 + 8 || Be16(frame + 12) != 0x0800) continue;
        const unsigned char *ip = frame + 14;
        size_t ihl = (ip[0] & 0x0f) * 4u;
        if (ip[9] != 17 || len < 14 + ihl + 8) continue;
        const unsigned char *udp = ip + ihl;
        size_t udpLen = Be16(udp + 4);
        if (udpLen < 8 || 14 + ihl + udpLen > len) continue;
        CapturedDatagram d;
        memcpy(&d.dwSrc, ip + 12, 4);
        memcpy(&d.dwDst, ip + 16, 4);
        d.wSrcPort = Be16(udp);
        d.wDstPort = Be16(udp + 2);
        d.payload.assign(udp + 8, udp + udpLen);
        out.push_back(std::move(d));
    }
    return out;
}

const CapturedDatagram *FindDatagram(const std::vector<CapturedDatagram> &all, uint16_t wDstPort,
                                     bool (*accept)(const std::vector<unsigned char> &)) {
    for (const CapturedDatagram &d : all)
        if (d.wDstPort == wDstPort && (!accept || accept(d.payload))) return &d;
    return nullptr;
}

std::string FixturePath(const std::string &name) { return std::string(TAVREL_FIXTURES) + "/" + name; }
