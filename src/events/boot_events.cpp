#include "events/boot_events.h"

#include <cstring>
#include <type_traits>

#include "boot/quirks.h"
#include "net/address_text.h"
#include "platform/platform.h"

std::atomic<BootEventProc> g_pfnBootEvent{nullptr};
std::atomic<BootEventProcV6> g_pfnBootEventV6{nullptr};
std::atomic<BootEventProcEx> g_pfnBootEventEx{nullptr};

namespace {

constexpr int kTftpPort = 69;
constexpr int kDhcpPort = 67;
// A fleet of thousands powering on at once makes some fifteen events a
// machine within seconds, faster than a host that files each one keeps up
// with for a while: room for about a thousand machines' worth (7.6 MB). The
// ring lives in zeroed static storage, touched only as far as events fill it.
constexpr int kQueueCapacity = 16384;
// StopPXE waits this long for the host to take what is queued.
constexpr int kDrainMs = 2000;
constexpr int kDrainPollMs = 10;
// Events wait at most this long for delivery, unless the queue fills faster.
constexpr int kDeliveryPeriodMs = 20;
constexpr int kWakeCount = kQueueCapacity / 2;

thread_local bool t_bDeliveryThread = false;

static_assert(std::is_trivially_copyable<BootEvent>::value, "events are queued as bytes");

class BootEventQueue {
public:
    // Producers: never blocks beyond the copy under the lock.
    void Push(const BootEvent &event) {
        bool bWake;
        {
            platform::TeskLockGuard guard(m_Lock);
            if (m_nCount == kQueueCapacity) {
                m_nDropped.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            memcpy(m_Ring[(m_nHead + m_nCount) % kQueueCapacity], &event, sizeof event);
            // While events flow the delivery thread looks every period by
            // itself; it is woken only from its idle sleep, or early by a
            // queue filling up, so a busy service makes no system call per event.
            bWake = ++m_nCount == kWakeCount || m_bAsleep;
            m_bAsleep = false;
        }
        if (bWake) platform::EventSet(m_hWake);
    }

    void Start() {
        platform::TeskLockGuard guard(m_Control);
        if ((!g_pfnBootEvent.load() && !g_pfnBootEventV6.load() && !g_pfnBootEventEx.load()) || !m_bServicesRun)
            return;
        if (m_hThread) {
            // One delivery thread at most: one that was told to stop and is
            // still in the observer must end first.
            if (!m_bStop.load() || platform::ThreadJoin(m_hThread, 0) != 0) return;
            platform::ThreadClose(m_hThread);
            m_hThread = nullptr;
        }
        if (!m_hWake && platform::EventCreate(&m_hWake) != 0) return;
        if (!m_hPause && platform::EventCreate(&m_hPause) != 0) return;
        m_bStop.store(false);
        platform::ThreadStart(DeliveryMain, this, &m_hThread);
    }

    // Delivers what is queued (for a bounded time), then ends the thread.
    void Stop() {
        platform::TeskLockGuard guard(m_Control);
        // The observer's own thread cannot wait for itself.
        if (!m_hThread || t_bDeliveryThread) return;
        for (int waited = 0; waited < kDrainMs && Busy(); waited += kDrainPollMs)
            platform::WaitAny(&m_hPause, 1, kDrainPollMs);
        m_bStop.store(true);
        platform::EventSet(m_hWake);
        // A host stuck in its observer keeps the thread, which ends when it returns.
        if (platform::ThreadJoin(m_hThread, kDrainMs) != 0) return;
        platform::ThreadClose(m_hThread);
        m_hThread = nullptr;
    }

    void SetServicesRun(bool bRun) {
        platform::TeskLockGuard guard(m_Control);
        m_bServicesRun = bRun;
    }

    int64_t Dropped() const { return m_nDropped.load(std::memory_order_relaxed); }

private:
    static unsigned DeliveryMain(void *arg) {
        t_bDeliveryThread = true;
        static_cast<BootEventQueue *>(arg)->Deliver();
        return 0;
    }

    void Deliver() {
        // Reset before emptying the queue: a wake-up after that is seen.
        while (!m_bStop.load()) {
            platform::EventReset(m_hWake);
            BootEvent event;
            while (!m_bStop.load() && Pop(&event)) {
                Hand(event);
                m_bDelivering.store(false);
            }
            if (platform::WaitAny(&m_hWake, 1, kDeliveryPeriodMs) != platform::kWaitTimedOut || !FallAsleep()) continue;
            platform::WaitAny(&m_hWake, 1, platform::kWaitForever);
        }
    }

    // A period without events: sleep until the next one comes.
    bool FallAsleep() {
        platform::TeskLockGuard guard(m_Lock);
        m_bAsleep = m_nCount == 0;
        return m_bAsleep;
    }

    // An IPv6 event goes to the IPv6 observer alone, every other one to the
    // IPv4 observer as it always did.
    static void Hand(const BootEvent &event) {
        if (event.address.IsV6()) {
            if (BootEventProcV6 proc = g_pfnBootEventV6.load()) {
                BootEventRecordV6 record;
                MakeEventRecordV6(event, &record);
                proc(&record);
            }
            return;
        }
        BootEventRecord record = event.record;
        PutEventAddress(record.address, event.address);
        if (BootEventProc proc = g_pfnBootEvent.load()) proc(&record);
        if (BootEventProcEx proc = g_pfnBootEventEx.load()) {
            BootEventRecordEx extended;
            memset(&extended, 0, sizeof extended);
            extended.base = record;
            extended.quirks = event.dwQuirks;
            QuirkNames(event.dwQuirks, extended.quirknames, sizeof extended.quirknames);
            proc(&extended);
        }
    }

    bool Pop(BootEvent *lpEvent) {
        platform::TeskLockGuard guard(m_Lock);
        if (m_nCount == 0) return false;
        memcpy(static_cast<void *>(lpEvent), m_Ring[m_nHead], sizeof *lpEvent);
        // Counted at hand-over, so the observer learns of drops that came after the event.
        lpEvent->record.dropped = m_nDropped.load(std::memory_order_relaxed);
        m_nHead = (m_nHead + 1) % kQueueCapacity;
        --m_nCount;
        m_bDelivering.store(true);
        return true;
    }

    bool Busy() {
        platform::TeskLockGuard guard(m_Lock);
        return m_nCount > 0 || m_bDelivering.load();
    }

    platform::TeskLock m_Lock;  // the ring
    // Raw bytes, not BootEvents: their addresses' constructors would write
    // every slot when the queue is made, at every start.
    alignas(BootEvent) unsigned char m_Ring[kQueueCapacity][sizeof(BootEvent)];
    int m_nHead = 0;
    int m_nCount = 0;
    bool m_bAsleep = false;  // the delivery thread waits for the next event
    std::atomic<int64_t> m_nDropped{0};
    std::atomic<bool> m_bDelivering{false};

    platform::TeskLock m_Control;  // the thread's start and stop
    platform::ThreadHandle m_hThread = nullptr;
    platform::WaitHandle m_hWake = nullptr;
    platform::WaitHandle m_hPause = nullptr;  // never set: a timed wait
    std::atomic<bool> m_bStop{false};
    bool m_bServicesRun = false;
};

BootEventQueue &Queue() {
    static BootEventQueue queue;
    return queue;
}

}  // namespace

BootEvent NewBootEvent(int nKind, int nReason, int nPort) {
    BootEvent event;
    memset(&event.record, 0, sizeof event.record);
    event.record.kind = nKind;
    event.record.reason = nReason;
    event.record.port = nPort;
    event.record.arch = -1;
    event.record.size = -1;
    event.dwQuirks = NotedQuirks();
    return event;
}

void EmitBootEvent(BootEvent &event) {
    event.record.time = platform::GetUnixTime();
    Queue().Push(event);
}

// Removing the observer leaves the thread idle: it ends with the services.
void SetBootEventObserver(BootEventProc proc) {
    g_pfnBootEvent.store(proc);
    if (proc) Queue().Start();
}

void SetBootEventObserverV6(BootEventProcV6 proc) {
    g_pfnBootEventV6.store(proc);
    if (proc) Queue().Start();
}

void SetBootEventObserverEx(BootEventProcEx proc) {
    g_pfnBootEventEx.store(proc);
    if (proc) Queue().Start();
}

void StartBootEventDelivery() {
    Queue().SetServicesRun(true);
    Queue().Start();
}

void StopBootEventDelivery() {
    Queue().Stop();
    Queue().SetServicesRun(false);
}

int64_t DroppedBootEvents() { return Queue().Dropped(); }

void PutEventText(char *lpField, size_t nFieldSize, const char *lpText) {
    size_t len = lpText ? strnlen(lpText, nFieldSize - 1) : 0;
    memcpy(lpField, lpText ? lpText : "", len);
    lpField[len] = '\0';
}

void PutEventAddress(char *lpField, const IpAddress &address) {
    constexpr size_t kFieldSize = sizeof(BootEventRecord::address);
    if (address.IsV4()) HostIpToText(kFieldSize, lpField, address.V4Host());
    else memset(lpField, 0, kFieldSize);
}

void MakeEventRecordV6(const BootEvent &event, BootEventRecordV6 *lpRecord) {
    memset(lpRecord, 0, sizeof *lpRecord);
    lpRecord->base = event.record;
    memset(lpRecord->base.address, 0, sizeof lpRecord->base.address);
    FormatIpAddress(event.address, lpRecord->address, sizeof lpRecord->address);
    if (event.key.GetKind() == ClientKey::Kind::kDuid) event.key.Format(lpRecord->clientkey, sizeof lpRecord->clientkey);
}

void EmitDhcpAnswer(int nPort, int nMessageType, const unsigned char *lpMac, const IpAddress &address,
                    const ClientKey &key, int nArch, const char *lpUserClass, const char *lpFile, int nReason) {
    BootEvent event = NewBootEvent(TAVREL_EVENT_DHCP_ANSWER, nReason, nPort);
    event.record.messagetype = nMessageType;
    if (lpMac) memcpy(event.record.mac, lpMac, sizeof event.record.mac);
    event.address = address;
    event.key = key;
    event.record.arch = nArch;
    PutEventText(event.record.userclass, sizeof event.record.userclass, lpUserClass);
    PutEventText(event.record.file, sizeof event.record.file, lpFile);
    EmitBootEvent(event);
}

void EmitDhcpUnanswered(int nPort, int nMessageType, const unsigned char *lpMac, const IpAddress &source,
                        const ClientKey &key, int nReason) {
    BootEvent event = NewBootEvent(TAVREL_EVENT_DHCP_UNANSWERED, nReason, nPort);
    event.record.messagetype = nMessageType;
    if (lpMac) memcpy(event.record.mac, lpMac, sizeof event.record.mac);
    event.address = source;
    event.key = key;
    EmitBootEvent(event);
}

void EmitDhcpAnswer(int nPort, int nMessageType, const unsigned char *lpMac, const IpAddress &address, int nArch,
                    const char *lpUserClass, const char *lpFile, int nReason) {
    BootEvent event = NewBootEvent(TAVREL_EVENT_DHCP_ANSWER, nReason, nPort);
    event.record.messagetype = nMessageType;
    memcpy(event.record.mac, lpMac, sizeof event.record.mac);
    event.address = address;
    event.record.arch = nArch;
    PutEventText(event.record.userclass, sizeof event.record.userclass, lpUserClass);
    PutEventText(event.record.file, sizeof event.record.file, lpFile);
    EmitBootEvent(event);
}

void EmitDhcpUnanswered(int nPort, int nMessageType, const unsigned char *lpMac, const IpAddress &source, int nReason) {
    BootEvent event = NewBootEvent(TAVREL_EVENT_DHCP_UNANSWERED, nReason, nPort);
    event.record.messagetype = nMessageType;
    if (lpMac) memcpy(event.record.mac, lpMac, sizeof event.record.mac);
    event.address = source;
    EmitBootEvent(event);
}

void EmitMirrorMessage(bool bReport, const unsigned char *lpMac, const IpAddress &source, const char *lpServer) {
    BootEvent event =
        NewBootEvent(bReport ? TAVREL_EVENT_MIRROR_REPORT : TAVREL_EVENT_MIRROR_REQUEST, TAVREL_REASON_NONE, 4455);
    memcpy(event.record.mac, lpMac, sizeof event.record.mac);
    event.address = source;
    PutEventText(event.record.server, sizeof event.record.server, lpServer);
    EmitBootEvent(event);
}

void EmitAddressInUse(const IpAddress &address) {
    BootEvent event = NewBootEvent(TAVREL_EVENT_ADDRESS_IN_USE, TAVREL_REASON_ADDRESS_PROBE, kDhcpPort);
    event.address = address;
    EmitBootEvent(event);
}

void EmitTftpRefused(const IpAddress &client, const char *lpFile, int nReason) {
    BootEvent event = NewBootEvent(TAVREL_EVENT_TFTP_REFUSED, nReason, kTftpPort);
    event.address = client;
    PutEventText(event.record.file, sizeof event.record.file, lpFile);
    EmitBootEvent(event);
}

static BootEvent TftpEvent(int nKind, int nReason, const IpAddress &client, const char *lpFile, uint32_t dwSize,
                           int nBlockSize, int nWindow) {
    BootEvent event = NewBootEvent(nKind, nReason, kTftpPort);
    event.address = client;
    PutEventText(event.record.file, sizeof event.record.file, lpFile);
    event.record.size = dwSize;
    event.record.blksize = nBlockSize;
    event.record.windowsize = nWindow;
    return event;
}

void EmitTftpStarted(const IpAddress &client, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow) {
    BootEvent event =
        TftpEvent(TAVREL_EVENT_TFTP_STARTED, TAVREL_REASON_NONE, client, lpFile, dwSize, nBlockSize, nWindow);
    EmitBootEvent(event);
}

static int DurationField(uint64_t qwDurationMs) {
    return qwDurationMs > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(qwDurationMs);
}

void EmitTftpProgress(const IpAddress &client, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow,
                      uint64_t qwBytes, uint64_t qwDurationMs) {
    BootEvent event =
        TftpEvent(TAVREL_EVENT_TFTP_PROGRESS, TAVREL_REASON_NONE, client, lpFile, dwSize, nBlockSize, nWindow);
    event.record.bytes = static_cast<long long>(qwBytes);
    event.record.durationms = DurationField(qwDurationMs);
    EmitBootEvent(event);
}

void EmitTftpEnded(const IpAddress &client, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow,
                   uint64_t qwBytes, uint64_t qwDurationMs, int nReason) {
    BootEvent event = TftpEvent(TAVREL_EVENT_TFTP_ENDED, nReason, client, lpFile, dwSize, nBlockSize, nWindow);
    event.record.bytes = static_cast<long long>(qwBytes);
    event.record.durationms = DurationField(qwDurationMs);
    event.record.result = nReason == TAVREL_REASON_NONE ? 1 : 0;
    EmitBootEvent(event);
}
