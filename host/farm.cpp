#include "host/farm.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// At most this many clients are remembered for the served count: MACs come
// from the wire, so what they create is bounded.
constexpr size_t kMaxServedTracked = 65536;
constexpr int64_t kServedWindowSeconds = 3600;
constexpr int kIdleWaitMs = 250;  // how often the sync thread looks at its stop flag

uint64_t Mix(uint64_t x) {  // splitmix64's finaliser: every input bit moves every output bit
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

uint64_t MacKey(const unsigned char *mac) {
    uint64_t key = 0;
    for (int i = 0; i < 6; ++i) key = key << 8 | mac[i];
    return key;
}

uint32_t HostAddress(const std::string &text) {
    in_addr parsed{};
    return inet_pton(AF_INET, text.c_str(), &parsed) == 1 ? ntohl(parsed.s_addr) : 0;
}

int64_t NowSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

struct Span {
    uint32_t begin, end;
    std::string text;
};

std::vector<Span> SpansOf(const std::string &ranges) {
    std::vector<Span> spans;
    size_t start = 0;
    while (start < ranges.size()) {
        size_t stop = ranges.find(';', start);
        if (stop == std::string::npos) stop = ranges.size();
        std::string item = ranges.substr(start, stop - start);
        size_t dash = item.find('-');
        if (dash != std::string::npos)
            spans.push_back({HostAddress(item.substr(0, dash)), HostAddress(item.substr(dash + 1)), item});
        start = stop + 1;
    }
    return spans;
}

bool IsLive(const MemberRow &member) { return member.state == "running" && member.age < kLiveSeconds; }

}  // namespace

uint32_t RendezvousChoice(const std::vector<LiveMember> &live, const unsigned char *mac) {
    uint64_t key = Mix(MacKey(mac));
    uint32_t best = 0;
    double bestScore = -1;
    for (const LiveMember &member : live) {
        // A uniform draw in (0, 1) per (MAC, server); weight / -ln(draw) makes
        // each server win in proportion to its weight.
        double draw = (static_cast<double>(Mix(key ^ Mix(member.address)) >> 11) + 0.5) / 9007199254740992.0;
        double score = member.weight / -std::log(draw);
        if (score > bestScore || (score == bestScore && member.address < best)) {
            bestScore = score;
            best = member.address;
        }
    }
    return best;
}

std::vector<LiveMember> LiveMembers(const std::vector<MemberRow> &members, const std::vector<LiveMember> *keep) {
    std::vector<LiveMember> live;
    for (const MemberRow &member : members) {
        uint32_t address = HostAddress(member.address);
        bool kept = keep && member.state == "running" &&
                    std::any_of(keep->begin(), keep->end(), [&](const LiveMember &m) { return m.address == address; });
        if (address != 0 && (IsLive(member) || kept)) live.push_back({address, member.weight});
    }
    return live;
}

MemberRow SelfRow(const HostConfig &config) {
    MemberRow self;
    self.address = config.server.ServerIP;
    self.name = config.farmName;
    self.weight = config.farmWeight;
    for (const TeskSubNetStruct &range : config.ranges)
        self.ranges += (self.ranges.empty() ? "" : ";") + std::string(range.beginip) + "-" + range.endip;
    for (const TeskStaticDhcpStruct &entry : config.statics)
        self.statics += (self.statics.empty() ? "" : ";") + std::string(entry.mac) + "=" + entry.ip;
    return self;
}

std::string FindRangeOverlap(const MemberRow &self, const std::vector<MemberRow> &members) {
    for (const MemberRow &other : members) {
        if (other.address == self.address || !IsLive(other)) continue;
        for (const Span &mine : SpansOf(self.ranges))
            for (const Span &theirs : SpansOf(other.ranges))
                if (mine.begin <= theirs.end && theirs.begin <= mine.end)
                    return "dynamic range " + mine.text + " of this server " + self.address + " (\"" + self.name +
                           "\") overlaps range " + theirs.text + " of live server " + other.address + " (\"" +
                           other.name + "\")";
    }
    return "";
}

PolicyView::Snapshot PolicyView::Current() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Snapshot;
}

int PolicyView::Choose(const unsigned char *mac, char *server) {
    Snapshot now = Current();
    std::string chosen;
    if (now.assigned) {
        auto row = now.assigned->find(MacKey(mac));
        if (row != now.assigned->end()) chosen = row->second;
    }
    if (chosen.empty() && m_bFarm && now.live) {
        uint32_t winner = RendezvousChoice(*now.live, mac);
        if (winner == 0) return 0;
        char text[16];
        snprintf(text, sizeof text, "%u.%u.%u.%u", winner >> 24, winner >> 16 & 255, winner >> 8 & 255, winner & 255);
        chosen = text;
    }
    if (chosen.empty()) return 0;
    if (m_bFarm && HostAddress(chosen) == now.self) NoteServed(mac);
    snprintf(server, 16, "%s", chosen.c_str());
    return 1;
}

void PolicyView::SetAssignments(const PolicyRows &rows) {
    auto assigned = std::make_shared<std::unordered_map<uint64_t, std::string>>();
    for (const auto &row : rows) {
        unsigned int b[6];
        if (sscanf(row.first.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
            continue;
        unsigned char mac[6];
        for (int i = 0; i < 6; ++i) mac[i] = static_cast<unsigned char>(b[i]);
        (*assigned)[MacKey(mac)] = row.second;
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Snapshot.assigned = std::move(assigned);
}

void PolicyView::SetLive(std::vector<LiveMember> live) {
    auto shared = std::make_shared<const std::vector<LiveMember>>(std::move(live));
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Snapshot.live = std::move(shared);
}

void PolicyView::SetSelf(uint32_t self) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Snapshot.self = self;
}

void PolicyView::NoteServed(const unsigned char *mac) {
    std::lock_guard<std::mutex> guard(m_ServedLock);
    auto entry = m_Served.find(MacKey(mac));
    if (entry != m_Served.end())
        entry->second = NowSeconds();
    else if (m_Served.size() < kMaxServedTracked)
        m_Served.emplace(MacKey(mac), NowSeconds());
}

long PolicyView::ServedLastHour() {
    std::lock_guard<std::mutex> guard(m_ServedLock);
    int64_t oldest = NowSeconds() - kServedWindowSeconds;
    for (auto entry = m_Served.begin(); entry != m_Served.end();)
        entry = entry->second < oldest ? m_Served.erase(entry) : std::next(entry);
    return static_cast<long>(m_Served.size());
}

FarmSync::FarmSync(std::unique_ptr<PolicyStore> store, PolicyView *view, MemberRow self, bool farm)
    : m_Store(std::move(store)), m_lpView(view), m_bFarm(farm), m_Self(std::move(self)) {}

FarmSync::~FarmSync() { Stop(); }

bool FarmSync::Prime(std::vector<MemberRow> *members) {
    if (m_bFarm && !Beat()) return false;
    *members = KnownMembers();
    return ReloadPolicy();
}

void FarmSync::Start() { m_Thread = std::thread([this] { Loop(); }); }

void FarmSync::Stop() {
    if (!m_Thread.joinable()) return;
    m_bStop = true;
    m_Thread.join();
    if (m_bFarm) m_Store->MarkStopped(m_Self.address);
}

void FarmSync::SetSelf(const MemberRow &self) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Self = self;
}

std::vector<MemberRow> FarmSync::KnownMembers() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Members;
}

bool FarmSync::Beat() {
    MemberRow self;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        self = m_Self;
    }
    self.served = m_lpView->ServedLastHour();
    bool written = m_Store->Heartbeat(self, !m_bJoined);
    m_bJoined = m_bJoined || written;
    m_lpView->SetSelf(HostAddress(self.address));
    return ReadMembers() && written;
}

// While the database is unreachable the last members read stay in force:
// every server keeps the view it had, so they keep agreeing.
bool FarmSync::ReadMembers() {
    std::vector<MemberRow> members;
    if (!m_Store->Members(&members)) {
        m_bBeatFailed = true;
        return false;
    }
    // Back from an outage nobody could beat through: the others' beats are
    // old only because of it. Until they have had time to beat again, those
    // live before stay live, or this server would take their clients too.
    auto now = std::chrono::steady_clock::now();
    if (m_bBeatFailed) m_GraceEnd = now + std::chrono::milliseconds(kHeartbeatMs * 3 / 2);
    m_bBeatFailed = false;
    m_Live = LiveMembers(members, now < m_GraceEnd ? &m_Live : nullptr);
    m_lpView->SetLive(m_Live);
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Members = std::move(members);
    return true;
}

bool FarmSync::ReloadPolicy() {
    PolicyRows rows;
    if (!m_Store->Assignments(&rows)) return false;
    m_lpView->SetAssignments(rows);
    return true;
}

void FarmSync::Loop() {
    using clock = std::chrono::steady_clock;
    clock::time_point next = clock::now() + std::chrono::milliseconds(kHeartbeatMs);
    bool bPending = false;  // a change seen but not yet read
    while (!m_bStop) {
        if (m_bFarm && clock::now() >= next) {
            next = clock::now() + std::chrono::milliseconds(kHeartbeatMs);
            Beat();
        }
        int waitMs = kIdleWaitMs;
        if (m_bFarm) {
            auto due = std::chrono::duration_cast<std::chrono::milliseconds>(next - clock::now()).count();
            waitMs = static_cast<int>(std::max<long long>(0, std::min<long long>(waitMs, due)));
        }
        bPending = m_Store->WaitForPolicyChange(waitMs) || bPending;
        if (bPending) bPending = !ReloadPolicy() || (m_bFarm && !ReadMembers());
    }
}
