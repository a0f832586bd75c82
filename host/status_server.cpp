#include "host/status_server.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <httplib.h>
#include <sstream>

#include "host/farm.h"
#include "host/json_text.h"
#include "host/status_page.h"  // made by the build from host/status/

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

StatusServer::StatusServer(BootTracker &tracker, PolicyService &policy) : m_Tracker(tracker), m_Policy(policy) {}

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
    *members = m_Policy.Members();
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
        const char *lpState = m.state != "running" ? "stopped" : m.age < kLiveSeconds ? "live" : "dead";
        out << (i ? ", " : "") << "{\"address\": " << JsonText(m.address) << ", \"name\": " << JsonText(m.name)
            << ", \"state\": " << JsonText(lpState) << ", \"served\": " << m.served << "}";
    }
    out << "]}\n";
    return out.str();
}

bool StatusServer::Start(const std::string &address, int nPort, std::string *error) {
    m_Server = std::make_unique<httplib::Server>();
    auto page = [](const char *lpType, const char *lpBody) {
        return [lpType, lpBody](const httplib::Request &, httplib::Response &response) {
            response.set_content(lpBody, lpType);
        };
    };
    m_Server->Get("/", page("text/html; charset=utf-8", kStatusHtml));
    m_Server->Get("/status.css", page("text/css; charset=utf-8", kStatusCss));
    m_Server->Get("/status.js", page("text/javascript; charset=utf-8", kStatusJs));
    m_Server->Get("/status.json", [this](const httplib::Request &, httplib::Response &response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(StatusJson(), "application/json");
    });
    m_Server->Get("/metrics", [this](const httplib::Request &, httplib::Response &response) {
        response.set_content(Metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    if (!m_Server->bind_to_port(address, nPort)) {
        *error = "cannot listen on " + address + ":" + std::to_string(nPort) + " for metrics";
        m_Server.reset();
        return false;
    }
    m_Listener = std::thread([this] { m_Server->listen_after_bind(); });
    return true;
}

void StatusServer::Stop() {
    if (!m_Server) return;
    m_Server->stop();
    if (m_Listener.joinable()) m_Listener.join();
    m_Server.reset();
}
