#include "dhcp/address_probe.h"

#include "events/boot_events.h"
#include "log/logger.h"
#include "net/address_text.h"
#include "net/ip_address.h"

void AddressProber::Start(bool bAllowed) {
    Close();
    if (m_Leases.HistoryWhole()) return;
    if (!bAllowed) {
        LogWriteText("lease history unknown; addresses are offered unprobed (ProbeAddresses=0)");
        return;
    }
    if (!platform::kCanProbe) {
        LogWriteText("lease history unknown; addresses are offered unprobed (no ICMP echo on this platform)");
        return;
    }
    int nResult = platform::IcmpOpen(&m_Socket);
    if (nResult < 0) {
        LogWriteText("lease history unknown; addresses are offered unprobed: no ICMP echo socket (%d), "
                     "see net.ipv4.ping_group_range",
                     nResult);
        return;
    }
    LogWriteText("lease history unknown: each free address is probed (ICMP echo, %d ms) before its first offer",
                 kProbeWaitMs);
    m_Leases.EnableProbes(true);
    // The worker has not started: the first window goes out now, before any DISCOVER.
    Pump(platform::MonotonicMs());
}

void AddressProber::Close() {
    platform::SocketClose(m_Socket);
    m_Socket = platform::kInvalidSocket;
    m_Out.clear();
}

int AddressProber::TickMs() const {
    if (m_Socket == platform::kInvalidSocket) return platform::kWaitForever;
    return m_Out.empty() ? kIdleTickMs : kBusyTickMs;
}

void AddressProber::Pump(uint64_t qwNowMs) {
    if (m_Socket == platform::kInvalidSocket) return;
    m_qwNowMs = qwNowMs;
    for (uint32_t dwIp : m_Leases.TakeProbes()) {
        // A probe that cannot be sent ends silent when its wait is over, as
        // one nobody answers.
        int nResult = platform::IcmpSendEcho(m_Socket, platform::HostToNet32(dwIp), ++m_wSequence);
        if (nResult < 0) {
            LogCapScope scope(m_LogCap, qwNowMs);
            LogWrite(LOG_ERROR, "probe of %s not sent: %d", Ipv4Text(platform::HostToNet32(dwIp)).c_str(), nResult);
        }
        m_Out[dwIp] = qwNowMs + kProbeWaitMs;
    }
    if (m_Out.empty()) return;
    TakeReplies();
    EndWaits(qwNowMs);
}

void AddressProber::TakeReplies() {
    uint32_t dwFrom = 0;
    for (int n = 0; n < kRepliesPerPump && platform::IcmpRecvEchoReply(m_Socket, &dwFrom) == 0; ++n) {
        // A late reply, or one for an address no longer waited on, changes nothing.
        if (m_Out.erase(platform::NetToHost32(dwFrom)) == 0) continue;
        if (!m_Leases.ProbeResult(platform::NetToHost32(dwFrom), true)) continue;
        if (BootEventsWanted()) EmitAddressInUse(dwFrom);
        LogCapScope scope(m_LogCap, m_qwNowMs);
        LogWrite(LOG_INFO, "%s answers ICMP echo: in use, offered to nobody for %d s", Ipv4Text(dwFrom).c_str(),
                 static_cast<int>(LeaseBook::kDeclineHoldSeconds));
    }
}

void AddressProber::EndWaits(uint64_t qwNowMs) {
    for (auto it = m_Out.begin(); it != m_Out.end();) {
        if (qwNowMs < it->second) {
            ++it;
            continue;
        }
        m_Leases.ProbeResult(it->first, false);
        it = m_Out.erase(it);
    }
}
