// Byte order of the values that cross the wire: IPv4 addresses and ports
// travel big-endian (network order). Written out byte by byte, so they need
// no socket header and mean the same on every platform.
#pragma once

#include <cstdint>
#include <cstring>

namespace platform {

inline uint32_t HostToNet32(uint32_t dwHost) {
    const unsigned char ab[4] = {static_cast<unsigned char>(dwHost >> 24), static_cast<unsigned char>(dwHost >> 16),
                                 static_cast<unsigned char>(dwHost >> 8), static_cast<unsigned char>(dwHost)};
    uint32_t dwNet;
    memcpy(&dwNet, ab, sizeof dwNet);
    return dwNet;
}

inline uint32_t NetToHost32(uint32_t dwNet) {
    unsigned char ab[4];
    memcpy(ab, &dwNet, sizeof ab);
    return static_cast<uint32_t>(ab[0]) << 24 | static_cast<uint32_t>(ab[1]) << 16 |
           static_cast<uint32_t>(ab[2]) << 8 | ab[3];
}

inline uint16_t NetToHost16(uint16_t wNet) {
    unsigned char ab[2];
    memcpy(ab, &wNet, sizeof ab);
    return static_cast<uint16_t>(ab[0] << 8 | ab[1]);
}

// A 16-bit big-endian field inside a datagram.
inline unsigned ReadNet16(const unsigned char *lpField) { return static_cast<unsigned>(lpField[0]) << 8 | lpField[1]; }

inline void WriteNet16(unsigned char *lpField, unsigned nValue) {
    lpField[0] = static_cast<unsigned char>(nValue >> 8);
    lpField[1] = static_cast<unsigned char>(nValue);
}

// A 32-bit little-endian field, as the port-4455 pack carries its numbers.
inline uint32_t ReadLittle32(const unsigned char *lpField) {
    return static_cast<uint32_t>(lpField[0]) | static_cast<uint32_t>(lpField[1]) << 8 |
           static_cast<uint32_t>(lpField[2]) << 16 | static_cast<uint32_t>(lpField[3]) << 24;
}

inline void WriteLittle32(unsigned char *lpField, uint32_t dwValue) {
    for (int i = 0; i < 4; ++i) lpField[i] = static_cast<unsigned char>(dwValue >> (8 * i));
}

}  // namespace platform
