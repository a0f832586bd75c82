#include "host/farm/farm.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "host/text/address_text.h"
#include "host/text/mac_text.h"

namespace {

// At most this many clients are remembered for the served count: MACs come
// from the wire, so what they create is bounded.
constexpr size_t kMaxServedTracked = 65536;
constexpr int64_t kServedWindowSeconds = 3600;
constexpr int kIdleWaitMs = 250;  // how often the sync thread looks at its stop flag
constexpr int kPruneEverySeconds = 60;
// Beats a server may have sent past the sequence its row last kept (while
// the database was out of reach): about 12 days of them.
constexpr uint64_t kSequenceRestartGap = 1u << 20;

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
            spans.push_back({AddressValue(item.substr(0, dash)), AddressValue(item.substr(dash + 1)), item});
        start = stop + 1;
    }
    return spans;
}

bool IsLive(const MemberRow &member) { return member.state == "running" && member.age < kLiveSeconds; }

}  // namespace

uint32_t RendezvousChoice(const std::vector<LiveMember> &live, const unsigned char *mac) {
    uint64_t key = Mix(MacKey(mac));
    uint32_t best = 0, bestFree = 0;
    double bestScore = -1, bestFreeScore = -1;
    for (const LiveMember &member : live) {
        // A uniform draw in (0, 1) per (MAC, server); weight / -ln(draw) makes
        // each server win in proportion to its weight.
        double draw = (static_cast<double>(Mix(key ^ Mix(member.address)) >> 11) + 0.5) / 9007199254740992.0;
        double score = member.weight / -std::log(draw);
        if (score > bestScore || (score == bestScore && member.address < best)) {
            bestScore = score;
            best = member.address;
        }
        if (!member.full && (score > bestFreeScore || (score == bestFreeScore && member.address < bestFree))) {
            bestFreeScore = score;
            bestFree = member.address;
        }
    }
    return bestFree ? bestFree : best;
}

std::vector<LiveMember> LiveMembers(const std::vector<MemberRow> &members, double sinceRead,
                                    const std::unordered_map<uint32_t, PeerBeat> &beats, uint32_t self,
                                    long selfFree) {
    auto now = std::chrono::steady_clock::now();
    std::vector<LiveMember> live;
    for (const MemberRow &member : members) {
        uint32_t address = AddressValue(member.address);
        if (address == 0) continue;
        long free = member.free;
        bool isLive = member.state == "running" && member.age + sinceRead < kLiveSeconds;
        auto beat = beats.find(address);
        // The newer word wins: a stop the direct beat tells ends the member at
        // once, and a database heartbeat written after it (a restart whose
        // direct beats do not get through) brings it back.
        auto rowAt = now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(member.age + sinceRead));
        if (beat != beats.end() && now - beat->second.at < std::chrono::duration<double>(kLiveSeconds) &&
            !(member.state == "running" && rowAt > beat->second.at)) {
            isLive = !beat->second.stopped;
            free = beat->second.free == kBeatFreeUnknown ? -1 : static_cast<long>(beat->second.free);
        }
        if (address == self) {
            isLive = true;
            free = selfFree;
        }
        if (isLive) live.push_back({address, member.weight, free == 0});
    }
    return live;
}

uint64_t MacKeyOfText(const std::string &text) {
    unsigned char mac[kMacBytes];
    return ParseMac(text, mac) ? MacKey(mac) : 0;
}

std::unordered_map<uint64_t, Holder> LeaseHolders(const std::vector<HeldLease> &self, double selfAge,
                                                  const std::vector<std::pair<uint64_t, PeerLease>> &peers,
                                                  const std::vector<LiveMember> &live, uint32_t selfAddress) {
    std::unordered_map<uint64_t, Holder> holders;
    auto offer = [&holders](uint64_t mac, Holder holder) {
        auto taken = holders.emplace(mac, holder);
        Holder &best = taken.first->second;
        if (!taken.second && (holder.secondsLeft > best.secondsLeft ||
                              (holder.secondsLeft == best.secondsLeft && holder.address < best.address)))
            best = holder;
    };
    for (const HeldLease &lease : self)
        offer(lease.mac, {selfAddress, lease.secondsLeft - static_cast<int64_t>(selfAge)});
    auto now = std::chrono::steady_clock::now();
    for (const auto &entry : peers) {
        bool isLive = false;
        for (const LiveMember &member : live) isLive = isLive || member.address == entry.second.holder;
        if (!isLive) continue;
        auto age = std::chrono::duration_cast<std::chrono::seconds>(now - entry.second.at).count();
        offer(entry.first, {entry.second.holder, entry.second.secondsLeft - static_cast<int64_t>(age)});
    }
    return holders;
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

std::string MemberState(const MemberRow &member, const std::vector<MemberRow> &members) {
    if (member.state != "running") return "stopped";
    if (member.age < kLiveSeconds) return "live";
    for (const MemberRow &other : members) {
        if (other.address == member.address || !IsLive(other)) continue;
        size_t start = 0;
        std::string list = other.heard + ";";
        for (size_t stop; (stop = list.find(';', start)) != std::string::npos; start = stop + 1)
            if (list.compare(start, stop - start, member.address) == 0) return "database unreachable, serving";
    }
    return "dead";
}

PolicyView::Snapshot PolicyView::Current() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Snapshot;
}

int PolicyView::Choose(const unsigned char *mac, char *server) {
    if (m_bFarm && !m_bAnswering) {  // an address that is no server's: the library declines
        snprintf(server, 16, "0.0.0.0");
        return 1;
    }
    Snapshot now = Current();
    std::string chosen;
    if (now.assigned) {
        auto row = now.assigned->find(MacKey(mac));
        if (row != now.assigned->end()) chosen = row->second;
    }
    if (chosen.empty() && m_bFarm && now.holders) {
        auto holder = now.holders->find(MacKey(mac));
        if (holder != now.holders->end()) chosen = AddressText(holder->second.address);
    }
    if (chosen.empty() && m_bFarm && now.live) {
        uint32_t winner = RendezvousChoice(*now.live, mac);
        if (winner == 0) return 0;
        chosen = AddressText(winner);
    }
    if (chosen.empty() || AddressValue(chosen) == now.self) NoteServed(mac);
    if (chosen.empty()) return 0;
    snprintf(server, 16, "%s", chosen.c_str());
    return 1;
}

void PolicyView::SetAssignments(const PolicyRows &rows) {
    auto assigned = std::make_shared<std::unordered_map<uint64_t, std::string>>();
    for (const auto &row : rows) {
        unsigned char mac[kMacBytes];
        if (ParseMac(row.first, mac)) (*assigned)[MacKey(mac)] = row.second;
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Snapshot.assigned = std::move(assigned);
}

void PolicyView::SetLive(std::vector<LiveMember> live) {
    auto shared = std::make_shared<const std::vector<LiveMember>>(std::move(live));
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Snapshot.live = std::move(shared);
}

void PolicyView::SetHolders(std::unordered_map<uint64_t, Holder> holders) {
    auto shared = std::make_shared<const std::unordered_map<uint64_t, Holder>>(std::move(holders));
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Snapshot.holders = std::move(shared);
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

bool PolicyView::ChoseRecently(const unsigned char *mac) {
    std::lock_guard<std::mutex> guard(m_ServedLock);
    auto entry = m_Served.find(MacKey(mac));
    return entry != m_Served.end() && entry->second >= NowSeconds() - kServedWindowSeconds;
}

long PolicyView::ServedLastHour() {
    std::lock_guard<std::mutex> guard(m_ServedLock);
    int64_t oldest = NowSeconds() - kServedWindowSeconds;
    for (auto entry = m_Served.begin(); entry != m_Served.end();)
        entry = entry->second < oldest ? m_Served.erase(entry) : std::next(entry);
    return static_cast<long>(m_Served.size());
}

FarmSync::FarmSync(std::unique_ptr<PolicyStore> store, PolicyView *view, MemberRow self, bool farm,
                   std::unique_ptr<FarmBeacon> beacon, std::function<LeaseCount()> leases, double pruneAfterSeconds,
                   HeldOffers *offers)
    : m_Store(std::move(store)),
      m_lpView(view),
      m_bFarm(farm),
      m_Beacon(std::move(beacon)),
      m_Leases(std::move(leases)),
      m_lpOffers(offers),
      m_PruneAfterSeconds(pruneAfterSeconds),
      m_Self(std::move(self)) {
    m_bAnswering = !(m_bFarm && m_Beacon);
    m_lpView->SetAnswering(m_bAnswering);
}

FarmSync::~FarmSync() { Stop(); }

bool FarmSync::Prime(std::vector<MemberRow> *members) {
    if (m_bFarm && !(SeedSequence() && Beat())) return false;
    *members = KnownMembers();
    if (!ReloadPolicy()) return false;
    if (m_bFarm) Decide();
    return true;
}

void FarmSync::Start() {
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_StartedAt = std::chrono::steady_clock::now();
    }
    if (m_Beacon) m_Beacon->Start([this] { Decide(); });
    m_Thread = std::thread([this] { Loop(); });
}

// Silent first, then told: no moment where this server and another both
// answer one client.
void FarmSync::Stop() {
    if (m_bStopped || !m_Thread.joinable()) return;
    m_bStopped = true;
    m_lpView->SetAnswering(false);
    if (m_Beacon) m_Beacon->Stop();
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

void FarmSync::NoteDatabase(bool reached) {
    if (reached == !m_bDatabaseDown) return;
    m_bDatabaseDown = !reached;
    if (reached)
        std::cerr << "tavrel-host: the database is reachable again\n";
    else
        std::cerr << "tavrel-host: the database is out of reach (" << m_Store->LastError()
                  << "); serving on with the farm as last seen and as its members' heartbeats tell\n";
}

bool FarmSync::Beat() {
    MemberRow self;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        self = m_Self;
    }
    self.served = m_lpView->ServedLastHour();
    auto readAt = std::chrono::steady_clock::now();
    LeaseCount leases = m_Leases ? m_Leases() : LeaseCount{};
    if (m_lpOffers && leases.read) m_lpOffers->Settle(readAt);
    self.heard = Heard();
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_nFileFree = leases.free;
        if (leases.read) {  // an unreadable file leaves the leases as last read
            m_FileHeld = std::move(leases.held);
            m_FileLeased = std::move(leases.addresses);
            m_SelfHeldAt = readAt;
        }
        m_qwOffersGeneration = ~0ull;  // counted again with the file's numbers
        CountOwn();
        self.free = m_nSelfFree;
    }
    if (m_Beacon) self.beatSequence = m_Beacon->Sequence();
    bool written = m_Store->Heartbeat(self, !m_bJoined);
    m_bJoined = m_bJoined || written;
    m_lpView->SetSelf(AddressValue(self.address));
    bool read = ReadMembers();
    NoteDatabase(written && read);
    return read && written;
}

// This server's room and holds: the lease file's, less and plus the offers
// its clients have not taken yet. Told to the others at once when it fills
// or frees, so they send its new clients elsewhere no later than it does.
void FarmSync::CountOwn() {
    std::vector<HeldLease> offers;
    if (m_lpOffers) offers = m_lpOffers->Held(m_FileLeased, std::chrono::steady_clock::now());
    uint64_t generation = m_lpOffers ? m_lpOffers->Generation() : 0;
    if (generation == m_qwOffersGeneration) return;
    m_qwOffersGeneration = generation;
    long free = m_nFileFree < 0 ? -1 : std::max<long>(0, m_nFileFree - static_cast<long>(offers.size()));
    bool filledOrFreed = (free == 0) != (m_nSelfFree == 0);
    m_nSelfFree = free;
    std::vector<HeldLease> held = m_FileHeld;
    held.insert(held.end(), offers.begin(), offers.end());
    // Only the leases the others hear of override the rendezvous order here
    // too, or a client beyond the cap would get two answers.
    if (held.size() > kMaxHeldAnnounced) {
        held.resize(kMaxHeldAnnounced);
        if (!m_bHeldCapTold)
            std::cerr << "tavrel-host: more than " << kMaxHeldAnnounced
                      << " leases and offers: the others go by the rendezvous order alone\n";
        m_bHeldCapTold = true;
    }
    m_SelfHeld = held;
    m_bHoldersStale = true;
    if (!m_Beacon) return;
    m_Beacon->SetHeld(std::move(held));
    m_Beacon->SetFree(free);
    if (filledOrFreed) m_Beacon->BeatNow();
}

// The members whose direct heartbeats are fresh and say they run.
std::string FarmSync::Heard() {
    if (!m_Beacon) return "";
    std::string heard;
    auto now = std::chrono::steady_clock::now();
    for (const auto &beat : m_Beacon->Peers())
        if (!beat.second.stopped && now - beat.second.at < std::chrono::duration<double>(kLiveSeconds))
            heard += (heard.empty() ? "" : ";") + AddressText(beat.first);
    return heard;
}

// The direct heartbeats' sequence must grow across restarts whatever the
// wall clock did meanwhile: it starts past the one this server's row kept.
bool FarmSync::SeedSequence() {
    if (!m_Beacon) return true;
    if (!ReadMembers()) return false;
    std::lock_guard<std::mutex> guard(m_Lock);
    for (const MemberRow &member : m_Members)
        if (member.address == m_Self.address) m_Beacon->RaiseSequence(member.beatSequence + kSequenceRestartGap);
    return true;
}

// While the database is unreachable the last members read stay known, and
// the direct heartbeats tell which of them still run.
bool FarmSync::ReadMembers() {
    std::vector<MemberRow> members;
    if (!m_Store->Members(&members)) return false;
    if (m_Beacon) {
        std::string self;
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            self = m_Self.address;
        }
        std::vector<BeaconPeer> peers;
        for (const MemberRow &member : members)
            if (member.address != self && AddressValue(member.address))
                peers.push_back({AddressValue(member.address), member.beatSequence});
        m_Beacon->SetPeers(std::move(peers));
    }
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Members = std::move(members);
        m_ReadAt = std::chrono::steady_clock::now();
    }
    if (!m_Beacon) Decide();
    return true;
}

void FarmSync::Decide() {
    std::unordered_map<uint32_t, PeerBeat> beats;
    if (m_Beacon) beats = m_Beacon->Peers();
    uint64_t generation = m_Beacon ? m_Beacon->PeerLeasesGeneration() : 0;
    std::vector<std::pair<uint64_t, PeerLease>> peerLeases;
    if (generation != m_qwPeerLeasesGeneration) peerLeases = m_Beacon->PeerLeases(&generation);
    std::lock_guard<std::mutex> guard(m_Lock);
    CountOwn();
    double sinceRead = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_ReadAt).count();
    std::vector<LiveMember> live =
        LiveMembers(m_Members, sinceRead, beats, AddressValue(m_Self.address), m_nSelfFree);
    auto has = [](const std::vector<LiveMember> &list, uint32_t address, bool *full) {
        for (const LiveMember &member : list)
            if (member.address == address) return *full = member.full, true;
        return false;
    };
    bool changed = live.size() != m_Live.size();
    for (const LiveMember &member : live) {
        bool full = false;
        if (!has(m_Live, member.address, &full))
            std::cerr << "tavrel-host: farm member " << AddressText(member.address) << " is live\n";
        else if (full != member.full && member.full)
            std::cerr << "tavrel-host: farm member " << AddressText(member.address)
                      << " has no free address: the next members answer its clients\n";
        changed = changed || full != member.full;
    }
    for (const LiveMember &member : m_Live) {
        bool full = false;
        if (!has(live, member.address, &full)) {
            std::cerr << "tavrel-host: farm member " << AddressText(member.address) << " left\n";
            changed = true;
        }
    }
    if (changed || m_Live.empty()) {
        m_Live = live;
        if (m_Beacon) {
            std::vector<uint32_t> addresses;
            for (const LiveMember &member : live) addresses.push_back(member.address);
            m_Beacon->SetLive(std::move(addresses));
            m_Beacon->BeatNow();  // a member that starts waits for this word
        }
        m_lpView->SetLive(std::move(live));
    }
    PublishHolders(changed, generation, peerLeases);
    if (!m_bAnswering && m_StartedAt != std::chrono::steady_clock::time_point() && HeardTheFarm(beats)) {
        m_bAnswering = true;
        m_lpView->SetAnswering(true);
    }
}

// Whether each member the database names as running has said, directly,
// that it takes this server for live or that it stopped. With m_Lock held.
bool FarmSync::HeardTheFarm(const std::unordered_map<uint32_t, PeerBeat> &beats) {
    auto now = std::chrono::steady_clock::now();
    size_t unheard = 0;
    for (const MemberRow &member : m_Members) {
        if (member.address == m_Self.address || member.state != "running") continue;
        auto beat = beats.find(AddressValue(member.address));
        bool fresh = beat != beats.end() && now - beat->second.at < std::chrono::duration<double>(kLiveSeconds);
        unheard += !(fresh && (beat->second.stopped || beat->second.seesUs));
    }
    if (unheard == 0) {
        std::cerr << "tavrel-host: heard the farm (" << m_Live.size() << " live); answering\n";
        return true;
    }
    if (now - m_StartedAt < std::chrono::milliseconds(kJoinWaitMs)) return false;
    std::cerr << "tavrel-host: answering after " << kJoinWaitMs << " ms; " << unheard
              << " member(s) the database names as running sent no direct heartbeat\n";
    return true;
}

// With m_Lock held; only when the live list or a lease changed (the map can
// hold thousands of leases).
void FarmSync::PublishHolders(bool liveChanged, uint64_t generation,
                              const std::vector<std::pair<uint64_t, PeerLease>> &peerLeases) {
    bool peersChanged = generation != m_qwPeerLeasesGeneration;
    if (!liveChanged && !peersChanged && !m_bHoldersStale) return;
    if (peersChanged) {
        m_PeerLeases = peerLeases;
        m_qwPeerLeasesGeneration = generation;
    }
    m_bHoldersStale = false;
    double selfAge = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_SelfHeldAt).count();
    m_lpView->SetHolders(LeaseHolders(m_SelfHeld, selfAge, m_PeerLeases, m_Live, AddressValue(m_Self.address)));
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
            if (clock::now() >= m_NextPrune && m_Store->PruneMembers(m_PruneAfterSeconds))
                m_NextPrune = clock::now() + std::chrono::seconds(kPruneEverySeconds);
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
