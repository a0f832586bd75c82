#include "host/web/status_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "host/farm/farm.h"
#include "host/text/address_text.h"
#include "host/text/json_document.h"
#include "host/text/time_text.h"
#include "host/web/status_page.h"  // made by the build from host/web/status/

struct StatusInputs {
    std::string server;
    std::vector<LoaderFinding> loaders;
    double now = 0;
    std::vector<MachineRecord> machines;
    std::vector<TransferUnderWay> transfers;
    std::vector<PoolUse> pools;
    std::vector<MemberRow> members;
    std::vector<MinuteSample> history;
    std::vector<RecentLine> lines;
    std::vector<UnknownRow> unknown;
};

namespace {

constexpr size_t kPageMachines = 200;

double Now() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

// Times go out twice: seconds since the epoch, and as the page shows them.
long long Whole(double seconds) { return std::llround(seconds); }

JsonValue MachineJson(const MachineRecord &m) {
    return {{"mac", m.mac},
            {"address", m.address},
            {"stage", m.stage},
            {"result", m.result},
            {"reason", ReasonWords(m.reason)},
            {"server", m.reporter},
            {"last_seen", Whole(m.lastSeen)},
            {"last_seen_text", ZonedTimeText(m.lastSeen)},
            {"why", DescribeAttempt(m)}};
}

// The rate is the transfer's own so far: its bytes over its time.
JsonValue TransferJson(const TransferUnderWay &t, double now) {
    double seconds = t.seconds > 0 ? t.seconds : std::max(0.0, now - t.started);
    return {{"protocol", t.protocol},
            {"mac", ShownText(t.mac)},
            {"address", t.address},
            {"file", ShownText(t.file)},
            {"bytes", t.bytes},
            {"size", t.size},
            {"seconds", std::round(seconds * 10) / 10},
            {"rate", seconds > 0 ? std::llround(static_cast<double>(t.bytes) / seconds) : 0LL},
            {"started", Whole(t.started)},
            {"started_text", ZonedTimeText(t.started)}};
}

JsonValue HistoryJson(const std::vector<MinuteSample> &minutes) {
    JsonValue list = JsonValue::array();
    for (const MinuteSample &m : minutes) {
        double start = static_cast<double>(m.minute) * 60;
        list.push_back({{"minute", Whole(start)},
                        {"time_text", ZonedTimeText(start)},
                        {"booted", m.booted},
                        {"failed", m.failed},
                        {"in_use", m.inUse >= 0 ? JsonValue(m.inUse) : JsonValue(nullptr)},
                        {"size", m.size}});
    }
    return list;
}

// A log line as the page shows it: control bytes as \xNN (a line ending's
// \r dropped); the library's notices are UTF-8 and stay so, and bytes that
// are not UTF-8 the JSON writer replaces.
std::string LineText(std::string text) {
    while (!text.empty() && text.back() == '\r') text.pop_back();
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
            continue;
        }
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        out += escaped;
    }
    return out;
}

JsonValue LogJson(const std::vector<RecentLine> &lines) {
    JsonValue list = JsonValue::array();
    for (const RecentLine &line : lines)
        list.push_back({{"time", Whole(line.time)},
                        {"time_text", ZonedTimeText(line.time)},
                        {"source", line.source},
                        {"text", LineText(line.text)}});
    return list;
}

std::string StatusText(const StatusInputs &in) {
    JsonValue out = {{"server", in.server}, {"time", Whole(in.now)}, {"time_text", ZonedTimeText(in.now)}};
    JsonValue &machines = out["machines"] = JsonValue::array();
    for (const MachineRecord &record : in.machines) machines.push_back(MachineJson(record));
    JsonValue &transfers = out["transfers"] = JsonValue::array();
    for (const TransferUnderWay &t : in.transfers) transfers.push_back(TransferJson(t, in.now));
    JsonValue &poolList = out["pools"] = JsonValue::array();
    for (const PoolUse &pool : in.pools)
        poolList.push_back({{"range", pool.range}, {"size", pool.size}, {"in_use", pool.inUse}});
    JsonValue &memberList = out["members"] = JsonValue::array();
    for (const MemberRow &m : in.members)
        memberList.push_back(
            {{"address", m.address}, {"name", m.name}, {"state", MemberState(m, in.members)}, {"served", m.served}});
    out["history"] = HistoryJson(in.history);
    out["log"] = LogJson(in.lines);
    JsonValue &loaders = out["secure_boot"] = JsonValue::array();
    for (const LoaderFinding &f : in.loaders)
        loaders.push_back({{"key", f.key}, {"file", ShownText(f.file)}, {"problem", ShownText(f.problem)}});
    JsonValue &unknown = out["unknown"] = JsonValue::array();
    for (const UnknownRow &u : in.unknown)
        unknown.push_back({{"uuid", ShownText(u.uuid)}, {"mac", ShownText(u.mac)}, {"arch", u.arch},
                           {"vendor_class", ShownText(u.vendorClass)}, {"address", ShownText(u.address)},
                           {"first_seen_text", LocalTimeText(u.firstSeen)},
                           {"last_seen_text", LocalTimeText(u.lastSeen)}});
    return JsonDocument(out);
}

// Addresses from BEGIN to END, inclusive; a range wider than a long can
// count (a /64) shows as the most it can.
long RangeSize6(const unsigned char abBegin[16], const unsigned char abEnd[16]) {
    uint64_t hiBegin = 0, hiEnd = 0, loBegin = 0, loEnd = 0;
    for (int i = 0; i < 8; ++i) {
        hiBegin = hiBegin << 8 | abBegin[i], hiEnd = hiEnd << 8 | abEnd[i];
        loBegin = loBegin << 8 | abBegin[8 + i], loEnd = loEnd << 8 | abEnd[8 + i];
    }
    if (hiEnd < hiBegin || (hiEnd == hiBegin && loEnd < loBegin)) return 0;
    uint64_t lo = loEnd - loBegin, hi = hiEnd - hiBegin - (loEnd < loBegin ? 1 : 0);
    if (hi != 0 || lo >= static_cast<uint64_t>(LONG_MAX)) return LONG_MAX;
    return static_cast<long>(lo + 1);
}

}  // namespace

StatusServer::StatusServer(BootTracker &tracker, StatusSources sources)
    : m_Tracker(tracker), m_Sources(std::move(sources)) {}

StatusServer::~StatusServer() { Stop(); }

void StatusServer::SetConfig(const HostConfig &config) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Ranges.clear();
    for (const TeskSubNetStruct &range : config.ranges)
        m_Ranges.emplace_back(AddressValue(range.beginip), AddressValue(range.endip));
    m_Ranges6.clear();
    for (const TeskSubNetV6Struct &range : config.ranges6) {
        Range6 r6;
        if (!config.ipv6 || !CanonicalAddress6(range.beginip, &r6.begin) || !CanonicalAddress6(range.endip, &r6.end))
            continue;
        ParseAddress6(r6.begin, r6.abBegin);
        ParseAddress6(r6.end, r6.abEnd);
        m_Ranges6.push_back(r6);
    }
    m_ServerName = config.server.ServerIP;
    m_Loaders = config.secureBoot.findings;
    m_Api.SetConfig(config);
}

std::vector<PoolUse> StatusServer::Pools() {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    std::vector<Range6> ranges6;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        ranges = m_Ranges;
        ranges6 = m_Ranges6;
    }
    std::vector<PoolUse> pools;
    for (const auto &range : ranges) {
        PoolUse pool;
        pool.range = AddressText(range.first) + "-" + AddressText(range.second);
        pool.size = range.second >= range.first ? static_cast<long>(range.second - range.first + 1) : 0;
        pool.inUse = m_Tracker.AddressesInUse(range.first, range.second);
        pools.push_back(pool);
    }
    for (const Range6 &range : ranges6) {
        PoolUse pool;
        pool.range = range.begin + "-" + range.end;
        pool.size = RangeSize6(range.abBegin, range.abEnd);
        pool.inUse = m_Tracker.AddressesInUse6(range.abBegin, range.abEnd);
        pools.push_back(pool);
    }
    return pools;
}

long StatusServer::LiveMembers(std::vector<MemberRow> *members) {
    *members = m_Sources.members ? m_Sources.members() : std::vector<MemberRow>{};
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
    if (m_Sources.lpMachines) input.machines = m_Sources.lpMachines->Counters();
    if (m_Sources.renders) input.renders = m_Sources.renders();
    return m_Renderer.Render([&input] { return MetricsText(input); });
}

std::vector<MinuteSample> StatusServer::Sample(const std::vector<PoolUse> &pools) {
    BootOutcomes outcomes = m_Tracker.Outcomes();
    long inUse = 0, size = 0;
    for (const PoolUse &pool : pools) inUse += pool.inUse, size = pool.size > LONG_MAX - size ? LONG_MAX : size + pool.size;
    double now = Now();
    std::lock_guard<std::mutex> lock(m_Lock);
    m_History.Note(now, outcomes, inUse, size);
    return m_History.Last(now);
}

void StatusServer::SampleLoop() {
    for (;;) {
        Sample(Pools());
        std::unique_lock<std::mutex> lock(m_StopLock);
        if (m_StopSignal.wait_for(lock, std::chrono::seconds(kSampleSeconds), [this] { return m_bStop; })) return;
    }
}

// Copied here, under the locks they share with the boot path; rendered on
// the background thread from the copies alone.
StatusInputs StatusServer::GatherStatus() {
    StatusInputs in;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        in.server = m_ServerName;
        in.loaders = m_Loaders;
    }
    if (m_Sources.http) m_Tracker.HttpProgress(m_Sources.http());
    in.now = Now();
    // The page's few only: the DHCP worker's boot-file callback waits on the
    // lock the tracker copies them under.
    in.machines = m_Tracker.Machines(kPageMachines);
    in.transfers = m_Tracker.Transfers();
    in.pools = Pools();
    LiveMembers(&in.members);
    in.history = Sample(in.pools);
    if (m_Sources.lpLines) in.lines = m_Sources.lpLines->Lines();
    if (m_Sources.lpMachines) in.unknown = m_Sources.lpMachines->Unknown();
    if (in.unknown.size() > kPageMachines) in.unknown.resize(kPageMachines);
    return in;
}

std::string StatusServer::StatusJson() {
    StatusInputs in = GatherStatus();
    return m_Renderer.Render([&in] { return StatusText(in); });
}

// The API takes bodies (POST, PUT), up to kMaxApiBody; its request lives
// from the first call to Done.
bool StatusServer::ServeApi(MHD_Connection *connection, const char *lpUrl, const char *lpMethod, void **lpRequest) {
    if (!*lpRequest) {
        auto *request = new ApiRequest;
        *lpRequest = request;
        request->method = lpMethod;
        request->path = lpUrl;
        const char *lpAuthorization = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization");
        request->authorization = lpAuthorization ? lpAuthorization : "";
        const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        char text[64] = "?";
        if (info && info->client_addr && info->client_addr->sa_family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(info->client_addr)->sin_addr, text, sizeof text);
        else if (info && info->client_addr && info->client_addr->sa_family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(info->client_addr)->sin6_addr, text, sizeof text);
        request->client = text;
        return true;
    }
    auto *request = static_cast<ApiRequest *>(*lpRequest);
    ApiReply reply = m_Api.Handle(*request, [this] {
        JsonValue pools = JsonValue::array();
        for (const PoolUse &pool : Pools()) pools.push_back({{"range", pool.range}, {"size", pool.size}, {"in_use", pool.inUse}});
        return pools;
    });
    return QueueAnswer(connection, reply.status, reply.body, "application/json", "Cache-Control", "no-store");
}

bool StatusServer::Upload(MHD_Connection *, void **lpRequest, const char *lpData, size_t size) {
    if (*lpRequest == this) return true;  // the page's requests take no body
    auto *request = static_cast<ApiRequest *>(*lpRequest);
    if (request->body.size() + size > kMaxApiBody) request->bodyTooLarge = true;
    else request->body.append(lpData, size);
    return true;
}

void StatusServer::Done(MHD_Connection *, void **lpRequest, bool) {
    if (*lpRequest && *lpRequest != this) delete static_cast<ApiRequest *>(*lpRequest);
    *lpRequest = nullptr;
}

bool StatusServer::Start(const std::string &address, int nPort, std::string *error) {
    if (!m_Listener.Start(address, nPort, http_limits::OwnConnectionShares().status, *this, "metrics", error))
        return false;
    m_Sampler = std::thread(&StatusServer::SampleLoop, this);
    return true;
}

void StatusServer::Stop() {
    m_Listener.Stop();
    if (!m_Sampler.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_StopLock);
        m_bStop = true;
    }
    m_StopSignal.notify_all();
    m_Sampler.join();
}

// Answers at the second call, once the request is complete; refusals at once.
bool StatusServer::Serve(MHD_Connection *connection, const char *lpUrl, const char *lpMethod, void **lpRequest) {
    if (!*lpRequest && strncmp(lpUrl, "/api/", 5) == 0) return ServeApi(connection, lpUrl, lpMethod, lpRequest);
    if (!*lpRequest) {
        *lpRequest = this;
        const char *lpWhy = nullptr;
        int nStatus = RefusedRequest(connection, lpUrl, lpMethod, &lpWhy);
        return !nStatus || QueueAnswer(connection, static_cast<unsigned>(nStatus), std::string(lpWhy) + "\n",
                                       "text/plain");
    }
    if (*lpRequest != this) return ServeApi(connection, lpUrl, lpMethod, lpRequest);
    std::string url = lpUrl;
    // Only the page's own files run, whatever a text from the wire held.
    if (url == "/")
        return QueueAnswer(connection, 200, kStatusHtml, "text/html; charset=utf-8", "Content-Security-Policy",
                           "default-src 'self'");
    if (url == "/status.css") return QueueAnswer(connection, 200, kStatusCss, "text/css; charset=utf-8");
    if (url == "/status.js") return QueueAnswer(connection, 200, kStatusJs, "text/javascript; charset=utf-8");
    if (url == "/status.json")
        return QueueAnswer(connection, 200, StatusJson(), "application/json", "Cache-Control", "no-store");
    if (url == "/metrics")
        return QueueAnswer(connection, 200, Metrics(), "text/plain; version=0.0.4; charset=utf-8");
    return QueueAnswer(connection, 404, "404 Not Found\n", "text/plain");
}
