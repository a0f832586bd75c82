#include "events/boot_events.h"

#include <cstring>

#include "net/address_text.h"
#include "platform/platform.h"

std::atomic<BootEventProc> g_pfnBootEvent{nullptr};

namespace {

constexpr int kTftpPort = 69;
constexpr int kDhcpPort = 67;
// Enough for a burst of thousands of answers a second while the host is
// busy for a moment; the ring lives in zeroed static storage, touched only
// when events flow.
constexpr int kQueueCapacity = 1024;
// StopPXE waits this long for the host to take what is queued.
constexpr int kDrainMs = 2000;
constexpr int kDrainPollMs = 10;
// Events wait at most this long for delivery, unless the queue fills faster.
constexpr int kDeliveryPeriodMs = 20;
constexpr int kWakeCount = kQueueCapacity / 2;

thread_local bool t_bDeliveryThread = false;

class BootEventQueue {
public:
    // Producers: never blocks beyond the copy under the lock.
    void Push(BootEventRecord &event) {
        bool bWake;
        {
            platform::TeskLockGuard guard(m_Lock);
            if (m_nCount == kQueueCapacity) {
                m_nDropped.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            m_Ring[(m_nHead + m_nCount) % kQueueCapacity] = event;
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
        if (!g_pfnBootEvent.load() || !m_bServicesRun) return;
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
            BootEventRecord event;
            while (!m_bStop.load() && Pop(&event)) {
                if (BootEventProc proc = g_pfnBootEvent.load()) proc(&event);
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

    bool Pop(BootEventRecord *lpEvent) {
        platform::TeskLockGuard guard(m_Lock);
        if (m_nCount == 0) return false;
        *lpEvent = m_Ring[m_nHead];
        // Counted at hand-over, so the observer learns of drops that came after the event.
        lpEvent->dropped = m_nDropped.load(std::memory_order_relaxed);
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
    BootEventRecord m_Ring[kQueueCapacity];
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

BootEventRecord NewBootEvent(int nKind, int nReason, int nPort) {
    BootEventRecord event;
    memset(&event, 0, sizeof event);
    event.kind = nKind;
    event.reason = nReason;
    event.port = nPort;
    event.arch = -1;
    event.size = -1;
    return event;
}

void EmitBootEvent(BootEventRecord &event) {
    event.time = platform::GetUnixTime();
    Queue().Push(event);
}

// Removing the observer leaves the thread idle: it ends with the services.
void SetBootEventObserver(BootEventProc proc) {
    g_pfnBootEvent.store(proc);
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

void PutEventAddress(char *lpField, uint32_t dwAddrNet) { HostIpToText(16, lpField, platform::NetToHost32(dwAddrNet)); }

void EmitDhcpAnswer(int nPort, int nMessageType, const unsigned char *lpMac, uint32_t dwAddr, int nArch,
                    const char *lpUserClass, const char *lpFile, int nReason) {
    BootEventRecord event = NewBootEvent(TAVREL_EVENT_DHCP_ANSWER, nReason, nPort);
    event.messagetype = nMessageType;
    memcpy(event.mac, lpMac, sizeof event.mac);
    PutEventAddress(event.address, dwAddr);
    event.arch = nArch;
    PutEventText(event.userclass, sizeof event.userclass, lpUserClass);
    PutEventText(event.file, sizeof event.file, lpFile);
    EmitBootEvent(event);
}

void EmitDhcpUnanswered(int nPort, int nMessageType, const unsigned char *lpMac, uint32_t dwSource, int nReason) {
    BootEventRecord event = NewBootEvent(TAVREL_EVENT_DHCP_UNANSWERED, nReason, nPort);
    event.messagetype = nMessageType;
    if (lpMac) memcpy(event.mac, lpMac, sizeof event.mac);
    PutEventAddress(event.address, dwSource);
    EmitBootEvent(event);
}

void EmitMirrorMessage(bool bReport, const unsigned char *lpMac, uint32_t dwSource, const char *lpServer) {
    BootEventRecord event =
        NewBootEvent(bReport ? TAVREL_EVENT_MIRROR_REPORT : TAVREL_EVENT_MIRROR_REQUEST, TAVREL_REASON_NONE, 4455);
    memcpy(event.mac, lpMac, sizeof event.mac);
    PutEventAddress(event.address, dwSource);
    PutEventText(event.server, sizeof event.server, lpServer);
    EmitBootEvent(event);
}

void EmitAddressInUse(uint32_t dwAddr) {
    BootEventRecord event = NewBootEvent(TAVREL_EVENT_ADDRESS_IN_USE, TAVREL_REASON_ADDRESS_PROBE, kDhcpPort);
    PutEventAddress(event.address, dwAddr);
    EmitBootEvent(event);
}

void EmitTftpRefused(uint32_t dwClient, const char *lpFile, int nReason) {
    BootEventRecord event = NewBootEvent(TAVREL_EVENT_TFTP_REFUSED, nReason, kTftpPort);
    PutEventAddress(event.address, dwClient);
    PutEventText(event.file, sizeof event.file, lpFile);
    EmitBootEvent(event);
}

static BootEventRecord TftpEvent(int nKind, int nReason, uint32_t dwClient, const char *lpFile, uint32_t dwSize,
                                 int nBlockSize, int nWindow) {
    BootEventRecord event = NewBootEvent(nKind, nReason, kTftpPort);
    PutEventAddress(event.address, dwClient);
    PutEventText(event.file, sizeof event.file, lpFile);
    event.size = dwSize;
    event.blksize = nBlockSize;
    event.windowsize = nWindow;
    return event;
}

void EmitTftpStarted(uint32_t dwClient, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow) {
    BootEventRecord event =
        TftpEvent(TAVREL_EVENT_TFTP_STARTED, TAVREL_REASON_NONE, dwClient, lpFile, dwSize, nBlockSize, nWindow);
    EmitBootEvent(event);
}

void EmitTftpEnded(uint32_t dwClient, const char *lpFile, uint32_t dwSize, int nBlockSize, int nWindow,
                   uint64_t qwBytes, uint64_t qwDurationMs, int nReason) {
    BootEventRecord event = TftpEvent(TAVREL_EVENT_TFTP_ENDED, nReason, dwClient, lpFile, dwSize, nBlockSize, nWindow);
    event.bytes = static_cast<long long>(qwBytes);
    event.durationms = qwDurationMs > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(qwDurationMs);
    event.result = nReason == TAVREL_REASON_NONE ? 1 : 0;
    EmitBootEvent(event);
}
