// DHCPv6 messages as tests build and read them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dhcp6/dhcp6_protocol.h"
#include "net/ip_address.h"

namespace dhcp6_message {
using namespace dhcp6;
using Bytes = std::vector<uint8_t>;

inline Bytes Word(unsigned v) { return {uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes operator+(Bytes a, const Bytes &b) { return a.insert(a.end(), b.begin(), b.end()), a; }
inline Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }
inline Bytes Opt(unsigned code, const Bytes &body) { return Word(code) + Word(unsigned(body.size())) + body; }
inline Bytes Msg(uint8_t type, const Bytes &options) { return Bytes{type, 0x12, 0x34, 0x56} + options; }
inline Bytes Duid(uint8_t last) { return Word(kDuidUuid) + Bytes(15, 0x11) + Bytes{last}; }
inline Bytes IaNa(uint32_t iaid, const Bytes &sub = {}) { return Opt(kOptIaNa, Word(iaid >> 16) + Word(iaid) + Bytes(8, 0) + sub); }
inline Bytes IaAddr(const IpAddress &a) { return Opt(kOptIaAddr, Bytes(a.Bytes(), a.Bytes() + 16) + Bytes(8, 0)); }

// The options of an area (a message after its header, or an IA's after its 12 bytes).
inline Bytes Find(const Bytes &area, size_t from, unsigned code) {
    for (size_t at = from; at + 4 <= area.size();) {
        size_t len = size_t(area[at + 2] << 8 | area[at + 3]);
        if (at + 4 + len > area.size()) break;
        if (unsigned(area[at] << 8 | area[at + 1]) == code) return Bytes(area.begin() + long(at + 4), area.begin() + long(at + 4 + len));
        at += 4 + len;
    }
    return {};
}
inline std::string Address(const Bytes &answer) {
    Bytes addr = Find(Find(answer, 4, kOptIaNa), 12, kOptIaAddr);
    if (addr.size() < 16) return "none";
    return IpText(IpAddress::FromV6(addr.data())).c_str();
}
}  // namespace dhcp6_message
