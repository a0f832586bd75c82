#include "host/web/status_server.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <utility>

#include "host/farm/farm.h"
#include "host/text/json_text.h"
#include "host/web/status_page.h"  // made by the build from host/web/status/

namespace {

constexpr size_t kPageMachines = 200;

uint32_t HostOrder(const char *lpText) {
    in_addr parsed{};
    return inet_pton(AF_INET, lpText, &parsed) == 1 ? ntohl(parsed.s_addr) : 0;
}

std::string HostText(uint32_t dwAddr) {
    in_addr addr{htonl(dwAddr)};
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

std::string MachineJson(const MachineRecord &m) {
    std::ostringstream out;
    char seen[32];
    snprintf(seen, sizeof seen, "%.0f", m.lastSeen);
    out << "{\"mac\": " << JsonText(m.mac) << ", \"address\": " << JsonText(m.address)
        << ", \"stage\": " << JsonText(m.stage) << ", \"result\": " << JsonText(m.result)
        << ", \"reason\": " << JsonText(ReasonWords(m.reason)) << ", \"server\": " << JsonText(m.reporter)
        << ", \"last_seen\": " << seen << ", \"why\": " << JsonText(DescribeAttempt(m)) << "}";
    return out.str();
}

}  // namespace

StatusServer::StatusServer(BootTracker &tracker, MemberSource members)
    : m_Tracker(tracker), m_Members(std::move(members)) {}

StatusServer::~StatusServer() { Stop(); }

void StatusServer::SetConfig(const HostConfig &config) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Ranges.clear();
    for (const TeskSubNetStruct &range : config.ranges)
        m_Ranges.emplace_back(HostOrder(range.beginip), HostOrder(range.endip));
    m_ServerName = config.server.ServerIP;
}

std::vector<PoolUse> StatusServer::Pools() {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        ranges = m_Ranges;
    }
    std::vector<PoolUse> pools;
    for (const auto &range : ranges) {
        PoolUse pool;
        pool.range = HostText(range.first) + "-" + HostText(range.second);
        pool.size = range.second >= range.first ? static_cast<long>(range.second - range.first + 1) : 0;
        pool.inUse = m_Tracker.AddressesInUse(range.first, range.second);
        pools.push_back(pool);
    }
    return pools;
}

long StatusServer::LiveMembers(std::vector<MemberRow> *members) {
    *members = m_Members();
    long live = 0;
    for (const MemberRow &m : *members) live += m.state == "running" && m.age < kLiveSeconds;
    return live;
}

std::string StatusServer::Metrics() {
    MetricsInput input;
    input.counters = m_Tracker.Counters();
    input.pools = Pools();
    std::vector<MemberRow> members;
    input.liveMembers = LiveMembers(&members);
    return MetricsText(input);
}

std::string StatusServer::StatusJson() {
    std::ostringstream out;
    std::string server;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        server = m_ServerName;
    }
    double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    char time[32];
    snprintf(time, sizeof time, "%.0f", now);
    out << "{\"server\": " << JsonText(server) << ", \"time\": " << time << ",\n \"machines\": [";
    std::vector<MachineRecord> machines = m_Tracker.Machines();
    for (size_t i = 0; i < machines.size() && i < kPageMachines; ++i)
        out << (i ? ",\n  " : "\n  ") << MachineJson(machines[i]);
    out << "],\n \"pools\": [";
    std::vector<PoolUse> pools = Pools();
    for (size_t i = 0; i < pools.size(); ++i)
        out << (i ? ", " : "") << "{\"range\": " << JsonText(pools[i].range) << ", \"size\": " << pools[i].size
            << ", \"in_use\": " << pools[i].inUse << "}";
    out << "],\n \"members\": [";
    std::vector<MemberRow> members;
    LiveMembers(&members);
    for (size_t i = 0; i < members.size(); ++i) {
        const MemberRow &m = members[i];
        out << (i ? ", " : "") << "{\"address\": " << JsonText(m.address) << ", \"name\": " << JsonText(m.name)
            << ", \"state\": " << JsonText(MemberState(m, members)) << ", \"served\": " << m.served << "}";
    }
    out << "]}\n";
    return out.str();
}

bool StatusServer::Start(const std::string &address, int nPort, std::string *error) {
    return m_Listener.Start(address, nPort, http_limits::OwnConnectionShares().status, *this, "metrics", error);
}

// Answers at the second call, once the request is complete; refusals at once.
bool StatusServer::Serve(MHD_Connection *connection, const char *lpUrl, const char *lpMethod, void **lpRequest) {
    if (!*lpRequest) {
        *lpRequest = this;
        const char *lpWhy = nullptr;
        int nStatus = RefusedRequest(connection, lpUrl, lpMethod, &lpWhy);
        return !nStatus || QueueAnswer(connection, static_cast<unsigned>(nStatus), std::string(lpWhy) + "\n",
                                       "text/plain");
    }
    std::string url = lpUrl;
    if (url == "/") return QueueAnswer(connection, 200, kStatusHtml, "text/html; charset=utf-8");
    if (url == "/status.css") return QueueAnswer(connection, 200, kStatusCss, "text/css; charset=utf-8");
    if (url == "/status.js") return QueueAnswer(connection, 200, kStatusJs, "text/javascript; charset=utf-8");
    if (url == "/status.json")
        return QueueAnswer(connection, 200, StatusJson(), "application/json", "Cache-Control", "no-store");
    if (url == "/metrics")
        return QueueAnswer(connection, 200, Metrics(), "text/plain; version=0.0.4; charset=utf-8");
    return QueueAnswer(connection, 404, "404 Not Found\n", "text/plain");
}
