#include "tftp/path_mtu_cache.h"

#include "platform/platform.h"

int PathMtuCache::MtuTo(uint32_t dwAddrNet) {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&dwAddrNet);
    Slot &slot = m_aSlots[(bytes[2] * 31 + bytes[3]) % kSlots];
    uint64_t qwNowMs = platform::MonotonicMs();
    if (slot.bUsed && slot.dwAddr == dwAddrNet && qwNowMs - slot.qwProbedMs < kKeepMs) return slot.nMtu;
    slot = Slot{dwAddrNet, platform::InterfaceMtuTo(dwAddrNet), qwNowMs, true};
    return slot.nMtu;
}
