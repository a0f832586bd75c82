#include "host/web/metrics_text.h"

#include <cstdio>
#include <sstream>

namespace {

class Exposition {
public:
    // One family: its HELP and TYPE lines, then its samples.
    Exposition &Family(const char *lpName, const char *lpType, const char *lpHelp) {
        m_Name = lpName;
        m_Out << "# HELP " << lpName << ' ' << lpHelp << "\n# TYPE " << lpName << ' ' << lpType << '\n';
        return *this;
    }
    Exposition &Sample(double value, const std::string &labels = "") {
        char number[32];
        snprintf(number, sizeof number, "%.17g", value);
        m_Out << m_Name << (labels.empty() ? "" : "{" + labels + "}") << ' ' << number << '\n';
        return *this;
    }
    // One sample per label value; a family without any gets one at zero
    // with DEFAULT, so dashboards see the series from the start.
    Exposition &Samples(const CountsByLabel &counts, const char *lpLabel, const char *lpDefault) {
        if (counts.empty()) return Sample(0, Label(lpLabel, lpDefault));
        for (const auto &entry : counts) Sample(static_cast<double>(entry.second), Label(lpLabel, entry.first));
        return *this;
    }
    // Cumulative buckets, each counting those at most its bound, then +Inf,
    // the sum and the count.
    Exposition &Histogram(const TimeHistogram &h) {
        std::string name = m_Name;
        uint64_t qwUpTo = 0;
        for (size_t i = 0; i <= h.bounds.size(); ++i) {
            qwUpTo += h.counts[i];
            char bound[32];
            if (i < h.bounds.size()) snprintf(bound, sizeof bound, "%g", h.bounds[i]);
            else snprintf(bound, sizeof bound, "+Inf");
            m_Name = name + "_bucket";
            Sample(static_cast<double>(qwUpTo), Label("le", bound));
        }
        m_Name = name + "_sum";
        Sample(h.sum);
        m_Name = name + "_count";
        Sample(static_cast<double>(h.total));
        m_Name = name;
        return *this;
    }
    static std::string Label(const char *lpName, const std::string &value) {
        std::string escaped;
        for (char c : value) {
            if (c == '\\' || c == '"') escaped += '\\';
            escaped += c == '\n' ? ' ' : c;
        }
        return std::string(lpName) + "=\"" + escaped + "\"";
    }
    std::string Text() const { return m_Out.str(); }

private:
    std::ostringstream m_Out;
    std::string m_Name;
};

}  // namespace

std::string MetricsText(const MetricsInput &in) {
    const BootCounters &c = in.counters;
    Exposition out;
    out.Family("tavrel_dhcp_answers_total", "counter", "DHCP answers sent, by message type and UDP port.");
    if (c.dhcpAnswers.empty()) out.Sample(0, "type=\"offer\",port=\"67\"");
    for (const auto &entry : c.dhcpAnswers) {
        std::string type = entry.first.substr(0, entry.first.find(' '));
        std::string port = entry.first.substr(entry.first.find(' ') + 1);
        out.Sample(static_cast<double>(entry.second),
                   Exposition::Label("type", type) + "," + Exposition::Label("port", port));
    }
    out.Family("tavrel_dhcp_unanswered_requests_total", "counter", "DHCP requests left unanswered, by reason.")
        .Samples(c.dhcpUnanswered, "reason", "no_free_address");
    out.Family("tavrel_dhcp_other_servers_requests_total", "counter",
               "DHCP requests left to another server: the policy names it (host_declined) or the client took its "
               "offer (other_server).")
        .Samples(c.dhcpOtherServers, "reason", "host_declined");
    out.Family("tavrel_dhcp_declines_total", "counter", "DHCPDECLINE messages received.")
        .Sample(static_cast<double>(c.dhcpDeclines));
    out.Family("tavrel_dhcp_probe_conflicts_total", "counter",
               "Free addresses a probe (ICMP echo) before their first offer found in use; each is offered to nobody "
               "for 10 minutes.")
        .Sample(static_cast<double>(c.dhcpProbeConflicts));
    out.Family("tavrel_dhcp_unknown_lease_claims_total", "counter",
               "RENEWING or REBINDING requests for a free address whose lease this server has no record of (forged, "
               "or a lease file lost), refused: NAKed when sent to this server (nak), else not answered (none).")
        .Samples(c.dhcpUnknownLeases, "answer", "nak");
    out.Family("tavrel_mirror_messages_total", "counter", "UDP 4455 requests and reports, by kind.")
        .Samples(c.mirrorMessages, "kind", "report");
    out.Family("tavrel_pool_addresses", "gauge", "Addresses in each dynamic range.");
    for (const PoolUse &pool : in.pools) out.Sample(static_cast<double>(pool.size), Exposition::Label("range", pool.range));
    out.Family("tavrel_pool_addresses_in_use", "gauge", "Addresses of each dynamic range acknowledged within a lease time.");
    for (const PoolUse &pool : in.pools) out.Sample(static_cast<double>(pool.inUse), Exposition::Label("range", pool.range));
    out.Family("tavrel_tftp_transfers_total", "counter",
               "TFTP transfers ended, by result (complete, size_probe: ended by the client once it knew the size, or "
               "the reason; unacknowledged: its first answer was never acknowledged, taken back).")
        .Samples(c.tftpTransfers, "result", "complete");
    out.Family("tavrel_tftp_refused_total", "counter",
               "TFTP read requests refused before a transfer started, by reason (busy: answered \"Server Busy\", "
               "no room for another transfer from that address or at all).")
        .Samples(c.tftpRefused, "reason", "busy");
    CountsByLabel errors = c.tftpRefused;
    for (const auto &entry : c.tftpTransfers)
        if (entry.first != "complete" && entry.first != "size_probe") errors[entry.first] += entry.second;
    out.Family("tavrel_tftp_errors_total", "counter", "TFTP requests refused and transfers failed, by reason.")
        .Samples(errors, "reason", "not_found");
    out.Family("tavrel_tftp_sent_bytes_total", "counter", "Bytes of files sent over TFTP.")
        .Sample(static_cast<double>(c.tftpBytes));
    out.Family("tavrel_http_requests_total", "counter", "HTTP requests answered, by status code.")
        .Samples(c.httpRequests, "code", "200");
    out.Family("tavrel_http_sent_bytes_total", "counter", "Bytes of files sent over HTTP.")
        .Sample(static_cast<double>(c.httpBytes));
    out.Family("tavrel_http_requests_in_flight", "gauge", "HTTP requests being served now.")
        .Sample(static_cast<double>(c.httpInFlight));
    out.Family("tavrel_farm_members_live", "gauge", "Servers of the farm with a recent heartbeat.")
        .Sample(static_cast<double>(in.liveMembers));
    out.Family("tavrel_farm_datagrams_ignored_total", "counter",
               "Farm heartbeat and lease datagrams ignored, by reason: forged (not of the form, or the signature "
               "fails), not_member (from an address that is no member, or not the one it names), replayed (a "
               "sequence already passed).")
        .Samples(c.farmIgnored, "reason", "replayed");
    out.Family("tavrel_machines_enrolled", "gauge", "Machines enrolled in the store, as last read.")
        .Sample(static_cast<double>(in.machines.enrolled));
    out.Family("tavrel_machines_unknown", "gauge", "Machines answered without being enrolled, kept in memory (capped).")
        .Sample(static_cast<double>(in.machines.unknown));
    out.Family("tavrel_machines_unknown_dropped_total", "counter",
               "Unknown machines dropped: the oldest past identity.max_unknown, or past the retention.")
        .Sample(static_cast<double>(in.machines.unknownDropped));
    out.Family("tavrel_machines_untrusted_uuid_total", "counter",
               "Machines whose UUID was not believed (placeholder, deny list, or on two MACs at once), once each.")
        .Sample(static_cast<double>(in.machines.untrusted));
    out.Family("tavrel_dhcp_ack_seconds", "histogram",
               "Per machine and boot: seconds from its first DHCP request to its first ACK (a renewal is none).")
        .Histogram(c.dhcpAckSeconds);
    out.Family("tavrel_boot_seconds", "histogram",
               "Per machine and boot: seconds from its first DHCP request to the last byte of its payload (the last "
               "file it fetched), counted once the boot settled as booted.")
        .Histogram(c.bootSeconds);
    out.Family("tavrel_renders_total", "counter",
               "Per-machine files rendered on request, by service; result none: a per-machine name the asking "
               "machine has no file for (not enrolled, or its template failed).");
    for (const char *lpService : {"tftp", "http"}) {
        auto count = [&](const CountsByLabel &counts) {
            auto found = counts.find(lpService);
            return static_cast<double>(found == counts.end() ? 0 : found->second);
        };
        std::string service = Exposition::Label("service", lpService);
        out.Sample(count(in.renders.rendered), service + ",result=\"rendered\"")
            .Sample(count(in.renders.none), service + ",result=\"none\"");
    }
    out.Family("tavrel_render_seconds_total", "counter", "Time spent rendering per-machine files, by service.");
    for (const char *lpService : {"tftp", "http"}) {
        auto found = in.renders.seconds.find(lpService);
        out.Sample(found == in.renders.seconds.end() ? 0 : found->second, Exposition::Label("service", lpService));
    }
    out.Family("tavrel_renders_slow_total", "counter",
               "Renders that took longer than 5 ms (a TFTP worker waits on each), by service.")
        .Samples(in.renders.slow, "service", "tftp");
    out.Family("tavrel_boot_events_dropped_total", "counter", "Boot events the library dropped while the host was busy.")
        .Sample(static_cast<double>(c.droppedEvents));
    return out.Text();
}
