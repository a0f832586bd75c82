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

extern std::atomic<BootEventProc> g_pfnBootEvent;

inline bool BootEventsWanted() { return g_pfnBootEvent.load(std::memory_order_relaxed) != nullptr; }

// A record of KIND with every field empty: zeros, and -1 for arch and size.
BootEventRecord NewBootEvent(int nKind, int nReason, int nPort);
// Stamps the time and the drop count and queues the record; drops it when
// the queue is full.
void EmitBootEvent(BootEventRecord &event);

// RegisterBootEventCallback: stores the observer; delivery runs while one is
// registered and the services run.
void SetBootEventObserver(BootEventProc proc);
// StartPXE and StopPXE: the delivery thread's life. Stopping first delivers
// what is queued (for a bounded time).
void StartBootEventDelivery();
void StopBootEventDelivery();

// The services' emission points, each behind `if (BootEventsWanted())`.
// Addresses are in network order; texts may be null.
// NREASON: why an answer refuses (a NAK's), else TAVREL_REASON_NONE.
void EmitDhcpAnswer(int nPort, int nMessageType, const unsigned char *lpMac, uint32_t dwAddr, int nArch,
                    const char *lpUserClass, const char *lpFile, int nReason = TAVREL_REASON_NONE);
void EmitDhcpUnanswered(int nPort, int nMessageType, const unsigned char *lpMac, uint32_t dwSource, int nReason);
// 4455: a request (REPORT false) or a report of the server the client booted from.
void EmitMirrorMessage(bool bReport, const unsigned char *lpMac, uint32_t dwSource, const char *lpServer);
void EmitTftpRefused(uint32_t dwClient, const char *lpFile, int nReason);
// A probe found the address in use.
void EmitAddressInUse(uint32_t dwAddr);
void EmitTftpStarted(uint32_t dwClient, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow);
void EmitTftpEnded(uint32_t dwClient, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow,
                   uint64_t qwBytes, uint64_t qwDurationMs, int nReason);

// Events dropped so far.
int64_t DroppedBootEvents();

// Text fields: the source up to its end or the field's size less one, NUL-terminated.
void PutEventText(char *lpField, size_t nFieldSize, const char *lpText);
// The dotted address of a network-order IPv4 address into the 16-byte field.
void PutEventAddress(char *lpField, uint32_t dwAddrNet);
