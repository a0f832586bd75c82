// The boot storm's TFTP reads, shared by its IPv4 and IPv6 clients: the
// firmware and iPXE read a file the same way over either family, so one
// piece decides what every datagram of a read means. The clients keep the
// sockets, the timers and what a finished file leads to.
#pragma once

#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace storm {

constexpr uint16_t kRrq = 1, kData = 3, kAckOp = 4, kError = 5, kOack = 6;

inline void PutText(std::vector<uint8_t> &out, const std::string &text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

inline std::vector<uint8_t> Packet(uint16_t op, uint16_t value) {
    return {static_cast<uint8_t>(op >> 8), static_cast<uint8_t>(op), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

// The options EDK II asks: tsize on the probe alone, its block size, a
// window of 4.
inline void PutEdk2Options(std::vector<uint8_t> &rrq, bool bProbe, const char *lpBlkSize) {
    if (bProbe) {
        PutText(rrq, "tsize");
        PutText(rrq, "0");
    }
    PutText(rrq, "blksize");
    PutText(rrq, lpBlkSize);
    PutText(rrq, "windowsize");
    PutText(rrq, "4");
}

// iPXE's: its block size and tsize, in lock-step.
inline void PutIpxeOptions(std::vector<uint8_t> &rrq) {
    PutText(rrq, "blksize");
    PutText(rrq, "1432");
    PutText(rrq, "tsize");
    PutText(rrq, "0");
}

// One read's receiving side: the last block taken in order, and the block
// size and window the server's OACK agreed (512 and 1 without one).
struct TftpReceive {
    uint16_t wBlock = 0, wBlkSize = 512, wWindow = 1, wInWindow = 0;

    enum Step {
        kNothing,  // a duplicate, a stray opcode, or a block inside the window
        kGapAck,   // a block was lost: ack the last good one, the retry schedule runs on
        kAck,      // the OACK or a full window: ack, and the retry schedule starts again
        kLast,     // the short block that ends the file: ack it, the read is done
    };

    // The ACK a step asks for (the last block taken in order; 0 for an OACK).
    std::vector<uint8_t> Ack() const { return Packet(kAckOp, wBlock); }

    // One datagram from the server's transfer port (at least 4 bytes; an
    // ERROR is the caller's). A new block's payload goes to *data when given.
    Step Take(const uint8_t *buffer, size_t got, std::string *data) {
        uint16_t op = static_cast<uint16_t>(buffer[0] << 8 | buffer[1]);
        uint16_t value = static_cast<uint16_t>(buffer[2] << 8 | buffer[3]);
        if (op == kOack && wBlock == 0) {
            for (size_t i = 2; i < got;) {
                std::string key(reinterpret_cast<const char *>(&buffer[i]), strnlen(reinterpret_cast<const char *>(&buffer[i]), got - i));
                i += key.size() + 1;
                if (i >= got) break;
                std::string val(reinterpret_cast<const char *>(&buffer[i]), strnlen(reinterpret_cast<const char *>(&buffer[i]), got - i));
                i += val.size() + 1;
                if (strcasecmp(key.c_str(), "blksize") == 0) wBlkSize = static_cast<uint16_t>(atoi(val.c_str()));
                if (strcasecmp(key.c_str(), "windowsize") == 0) wWindow = static_cast<uint16_t>(atoi(val.c_str()));
            }
            return kAck;
        }
        if (op != kData) return kNothing;
        uint16_t wAhead = static_cast<uint16_t>(value - wBlock);
        if (wAhead != 1) {  // a gap: ask again from the last good block; old duplicates are dropped
            if (wAhead > 1 && wAhead < 0x8000) {
                wInWindow = 0;
                return kGapAck;
            }
            return kNothing;
        }
        wBlock = value;
        size_t payload = got - 4;
        if (data) data->append(reinterpret_cast<const char *>(&buffer[4]), payload);
        bool bLast = payload < wBlkSize;
        if (++wInWindow >= wWindow || bLast) {
            wInWindow = 0;
            return bLast ? kLast : kAck;
        }
        return kNothing;
    }
};

}  // namespace storm
