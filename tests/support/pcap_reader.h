// Reads the UDP datagrams out of a classic pcap file (Ethernet, IPv4).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CapturedDatagram {
    uint32_t dwSrc, dwDst;  // network order
    uint16_t wSrcPort, wDstPort;
    std::vector<unsigned char> payload;
};

std::vector<CapturedDatagram> ReadPcapUdp(const std::string &path);
// The first datagram to the port whose payload passes the filter.
const CapturedDatagram *FindDatagram(const std::vector<CapturedDatagram> &all, uint16_t wDstPort,
                                     bool (*accept)(const std::vector<unsigned char> &) = nullptr);
std::string FixturePath(const std::string &name);
