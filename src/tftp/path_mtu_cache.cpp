#include "tftp/path_mtu_cache.h"

#include "platform/platform.h"

int PathMtuCache::MtuTo(const IpAddress &address) {
    const unsigned char *bytes = address.Bytes() + (address.ByteCount() >= 4 ? address.ByteCount() - 4 : 0);
    Slot &slot = m_aSlots[(bytes[2] * 31 + bytes[3]) % kSlots];
    uint64_t qwNowMs = platform::MonotonicMs();
    if (slot.bUsed && slot.address == address && qwNowMs - slot.qwProbedMs < kKeepMs) return slot.nMtu;
    slot = Slot{address, platform::PathMtuTo(address), qwNowMs, true};
    return slot.nMtu;
}
