// Boot events for the host's optional observer. The services call
// EmitBootEvent where something happens to a client; the record goes into a
// bounded queue and one delivery thread of this module hands it to the host.
// A full queue drops the event and counts it: the services never wait for
// the host. With no observer registered an emission point costs one relaxed
// atomic load (BootEventsWanted) and builds nothing.
#pragma once

#include <atomic>
#include <cstdint>

#include "Tavrel.h"
#include "dhcp/client_key.h"
#include "net/ip_address.h"

extern std::atomic<BootEventProc> g_pfnBootEvent;
extern std::atomic<BootEventProcV6> g_pfnBootEventV6;
extern std::atomic<BootEventProcEx> g_pfnBootEventEx;

inline bool BootEventsWanted() {
    return g_pfnBootEvent.load(std::memory_order_relaxed) != nullptr ||
           g_pfnBootEventV6.load(std::memory_order_relaxed) != nullptr ||
           g_pfnBootEventEx.load(std::memory_order_relaxed) != nullptr;
}

// An event as the services make it: the exported record, and the client's
// address of either family beside it. The record's address field is left
// empty until hand-over, when an IPv4 address is written into it as it
// always was. An event with an IPv6 address goes to the IPv6 observer as a
// BootEventRecordV6, with the key (a DHCPv6 client's DUID) beside it.
struct BootEvent {
    BootEventRecord record;
    IpAddress address;
    ClientKey key;
    uint32_t dwQuirks;  // TAVREL_QUIRK_*: noted for the datagram that made it
};

// An event of KIND with every field empty: zeros, -1 for arch and size, no
// address; the quirks noted so far for the datagram being answered.
BootEvent NewBootEvent(int nKind, int nReason, int nPort);
// Stamps the time and queues the event; drops it when the queue is full.
void EmitBootEvent(BootEvent &event);

// RegisterBootEventCallback: stores the observer; delivery runs while one is
// registered and the services run.
void SetBootEventObserver(BootEventProc proc);
// RegisterBootEventCallbackV6: the observer of the events with an IPv6 address.
void SetBootEventObserverV6(BootEventProcV6 proc);
// RegisterBootEventCallbackEx: the IPv4 events with their quirks.
void SetBootEventObserverEx(BootEventProcEx proc);
// StartPXE and StopPXE: the delivery thread's life. Stopping first delivers
// what is queued (for a bounded time).
void StartBootEventDelivery();
void StopBootEventDelivery();

// The services' emission points, each behind `if (BootEventsWanted())`.
// Texts may be null.
// NREASON: why an answer refuses (a NAK's), else TAVREL_REASON_NONE.
void EmitDhcpAnswer(int nPort, int nMessageType, const unsigned char *lpMac, const IpAddress &address, int nArch,
                    const char *lpUserClass, const char *lpFile, int nReason = TAVREL_REASON_NONE);
void EmitDhcpUnanswered(int nPort, int nMessageType, const unsigned char *lpMac, const IpAddress &source, int nReason);
// DHCPv6: the same, with the client's key (its DUID); LPMAC null when unknown.
void EmitDhcpAnswer(int nPort, int nMessageType, const unsigned char *lpMac, const IpAddress &address,
                    const ClientKey &key, int nArch, const char *lpUserClass, const char *lpFile,
                    int nReason = TAVREL_REASON_NONE);
void EmitDhcpUnanswered(int nPort, int nMessageType, const unsigned char *lpMac, const IpAddress &source,
                        const ClientKey &key, int nReason);
// 4455: a request (REPORT false) or a report of the server the client booted from.
void EmitMirrorMessage(bool bReport, const unsigned char *lpMac, const IpAddress &source, const char *lpServer);
void EmitTftpRefused(const IpAddress &client, const char *lpFile, int nReason);
// A probe found the address in use.
void EmitAddressInUse(const IpAddress &address);
void EmitTftpStarted(const IpAddress &client, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow);
// At most every kTftpProgressMs of a transfer: the bytes acknowledged so far.
constexpr uint64_t kTftpProgressMs = 1000;
void EmitTftpProgress(const IpAddress &client, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow,
                      uint64_t qwBytes, uint64_t qwDurationMs);
void EmitTftpEnded(const IpAddress &client, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow,
                   uint64_t qwBytes, uint64_t qwDurationMs, int nReason);

// The IPv4 services' forms: addresses in network order.
inline void EmitDhcpAnswer(int nPort, int nMessageType, const unsigned char *lpMac, uint32_t dwAddr, int nArch,
                           const char *lpUserClass, const char *lpFile, int nReason = TAVREL_REASON_NONE) {
    EmitDhcpAnswer(nPort, nMessageType, lpMac, IpAddress::FromV4Net(dwAddr), nArch, lpUserClass, lpFile, nReason);
}
inline void EmitDhcpUnanswered(int nPort, int nMessageType, const unsigned char *lpMac, uint32_t dwSource,
                               int nReason) {
    EmitDhcpUnanswered(nPort, nMessageType, lpMac, IpAddress::FromV4Net(dwSource), nReason);
}
inline void EmitMirrorMessage(bool bReport, const unsigned char *lpMac, uint32_t dwSource, const char *lpServer) {
    EmitMirrorMessage(bReport, lpMac, IpAddress::FromV4Net(dwSource), lpServer);
}
inline void EmitTftpRefused(uint32_t dwClient, const char *lpFile, int nReason) {
    EmitTftpRefused(IpAddress::FromV4Net(dwClient), lpFile, nReason);
}
inline void EmitAddressInUse(uint32_t dwAddr) { EmitAddressInUse(IpAddress::FromV4Net(dwAddr)); }
inline void EmitTftpStarted(uint32_t dwClient, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow) {
    EmitTftpStarted(IpAddress::FromV4Net(dwClient), lpFile, dwSize, nBlockSize, nWindow);
}
inline void EmitTftpProgress(uint32_t dwClient, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow,
                             uint64_t qwBytes, uint64_t qwDurationMs) {
    EmitTftpProgress(IpAddress::FromV4Net(dwClient), lpFile, dwSize, nBlockSize, nWindow, qwBytes, qwDurationMs);
}
inline void EmitTftpEnded(uint32_t dwClient, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow,
                          uint64_t qwBytes, uint64_t qwDurationMs, int nReason) {
    EmitTftpEnded(IpAddress::FromV4Net(dwClient), lpFile, dwSize, nBlockSize, nWindow, qwBytes, qwDurationMs,
                  nReason);
}

// Events dropped so far.
int64_t DroppedBootEvents();

// Text fields: the source up to its end or the field's size less one, NUL-terminated.
void PutEventText(char *lpField, size_t nFieldSize, const char *lpText);
// The record's 16-byte address field for the address: dotted IPv4, empty otherwise.
void PutEventAddress(char *lpField, const IpAddress &address);
// The record an IPv6 event reaches the IPv6 observer as.
void MakeEventRecordV6(const BootEvent &event, BootEventRecordV6 *lpRecord);
