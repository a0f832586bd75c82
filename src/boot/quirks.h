// The firmware quirks the services meet and work around, one row each: what
// gives a quirk away, and what is done about it. Where a quirk fires, the
// responder notes it: one line per quirk at most once a minute, and its
// name in the boot events the same datagram causes (BootEventRecordEx).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Tavrel.h"
#include "boot/ipxe_names.h"

enum class Quirk : uint8_t {
    kArch7Or9 = 0,
    kArchInVendorClass,
    kIpxeClient,
    kSizeProbe,
    kEarlyAbort,
    kHttpBootClient,
    kRaspberryPi,
    kPiRequestWithoutClass,
    kResentRequest,
    kBroadcastAnswer,
    kBootServerSourcePort,
    kPiSerialFolder,
    kForeignPxeOffer,
    kIpxeChainLoop,
    kCount
};

struct QuirkRow {
    Quirk id;
    uint32_t dwBit;         // TAVREL_QUIRK_*
    const char *lpName;     // as events, logs and tavrel-host name it
    const char *lpDetected;
    const char *lpWorkaround;
};

// The table, in Quirk order.
extern const QuirkRow kQuirkTable[static_cast<size_t>(Quirk::kCount)];
const QuirkRow &QuirkRowOf(Quirk quirk);

// The quirks noted on this thread since the datagram being answered came in.
uint32_t NotedQuirks();
// Notes a quirk of the datagram being answered: its line (at most one per
// quirk and minute, with how often it fired since) and its bit.
void NoteQuirk(Quirk quirk, uint64_t qwNowMs);

// A datagram's quirks are its own: the responders open one scope per datagram.
class QuirkScope {
public:
    QuirkScope();
    ~QuirkScope();
    QuirkScope(const QuirkScope &) = delete;
    QuirkScope &operator=(const QuirkScope &) = delete;

private:
    uint32_t m_dwOuter;
};

// The names of the bits, comma-separated, into the field (cut at its size).
void QuirkNames(uint32_t dwQuirks, char *lpField, size_t nFieldSize);
