#include "host/farm/farm_beacon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>

#include "host/text/address_text.h"

namespace {

constexpr unsigned char kBeatMagic[4] = {'T', 'V', 'H', 'B'};
constexpr unsigned char kHeldMagic[4] = {'T', 'V', 'H', 'L'};
constexpr size_t kHeldHeaderSize = 24, kHeldEntrySize = 10;
static_assert(kHeldHeaderSize + kHeldPerDatagram * kHeldEntrySize + 32 <= 1472, "one Ethernet frame");
constexpr unsigned char kBeatVersion = 1;
constexpr size_t kOffsetState = 5, kOffsetSees = 6, kOffsetSender = 8, kOffsetFree = 12, kOffsetSequence = 16, kOffsetTime = 24;
static_assert(kOffsetTime + 8 == kBeatSignedSize, "the signature follows the signed fields");
static_assert(kBeatSignedSize + 32 == kBeatSize, "HMAC-SHA256 is 32 bytes");
constexpr int kTickMs = 200;
constexpr int kIgnoredLogSeconds = 10;
// A member is a peer only while its row lasts; past this many the rest of
// the datagrams' senders are not remembered (they come from the wire).
constexpr size_t kMaxPeers = 1024;

void Put(unsigned char *at, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8) at[i] = static_cast<unsigned char>(value);
}

uint64_t Get(const unsigned char *at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | at[i];
    return value;
}

void Sign(const unsigned char *data, const std::string &key, unsigned char *mac, size_t size = kBeatSignedSize) {
    unsigned int length = 32;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data, size, mac, &length);
}

std::atomic<BeaconObserver *> g_lpBeaconObserver{nullptr};

}  // namespace

void SetBeaconObserver(BeaconObserver *lpObserver) { g_lpBeaconObserver = lpObserver; }

std::vector<unsigned char> SignBeat(const Beat &beat, const std::string &key) {
    std::vector<unsigned char> data(kBeatSize, 0);
    memcpy(data.data(), kBeatMagic, 4);
    data[4] = kBeatVersion;
    data[kOffsetState] = beat.stopped ? 1 : 0;
    data[kOffsetSees] = beat.seesReceiver ? 1 : 0;
    Put(&data[kOffsetSender], beat.sender, 4);
    Put(&data[kOffsetFree], beat.free, 4);
    Put(&data[kOffsetSequence], beat.sequence, 8);
    Put(&data[kOffsetTime], static_cast<uint64_t>(beat.time), 8);
    Sign(data.data(), key, &data[kBeatSignedSize]);
    return data;
}

bool OpenBeat(const unsigned char *data, size_t size, const std::string &key, Beat *beat) {
    if (size != kBeatSize || memcmp(data, kBeatMagic, 4) != 0 || data[4] != kBeatVersion) return false;
    unsigned char mac[32];
    Sign(data, key, mac);
    if (CRYPTO_memcmp(mac, data + kBeatSignedSize, sizeof mac) != 0) return false;
    beat->stopped = data[kOffsetState] == 1;
    beat->seesReceiver = data[kOffsetSees] == 1;
    beat->sender = static_cast<uint32_t>(Get(data + kOffsetSender, 4));
    beat->free = static_cast<uint32_t>(Get(data + kOffsetFree, 4));
    beat->sequence = Get(data + kOffsetSequence, 8);
    beat->time = static_cast<int64_t>(Get(data + kOffsetTime, 8));
    return true;
}

std::vector<unsigned char> SignHeld(uint32_t sender, uint64_t sequence, const HeldLease *leases, size_t count,
                                    const std::string &key) {
    count = std::min(count, kHeldPerDatagram);
    std::vector<unsigned char> data(kHeldHeaderSize + count * kHeldEntrySize + 32, 0);
    memcpy(data.data(), kHeldMagic, 4);
    data[4] = kBeatVersion;
    data[5] = static_cast<unsigned char>(count);
    Put(&data[kOffsetSender], sender, 4);
    Put(&data[kOffsetSequence], sequence, 8);
    for (size_t i = 0; i < count; ++i) {
        unsigned char *entry = &data[kHeldHeaderSize + i * kHeldEntrySize];
        Put(entry, leases[i].mac, 6);
        Put(entry + 6, static_cast<uint64_t>(std::max<int64_t>(0, std::min<int64_t>(leases[i].secondsLeft, 0x7fffffff))),
            4);
    }
    size_t signedSize = data.size() - 32;
    Sign(data.data(), key, &data[signedSize], signedSize);
    return data;
}

bool OpenHeld(const unsigned char *data, size_t size, const std::string &key, Beat *header,
              std::vector<HeldLease> *leases) {
    if (size < kHeldHeaderSize + 32 || memcmp(data, kHeldMagic, 4) != 0 || data[4] != kBeatVersion ||
        data[5] > kHeldPerDatagram || size != kHeldHeaderSize + data[5] * kHeldEntrySize + 32)
        return false;
    unsigned char mac[32];
    Sign(data, key, mac, size - 32);
    if (CRYPTO_memcmp(mac, data + size - 32, sizeof mac) != 0) return false;
    header->sender = static_cast<uint32_t>(Get(data + kOffsetSender, 4));
    header->sequence = Get(data + kOffsetSequence, 8);
    leases->clear();
    for (size_t i = 0; i < data[5]; ++i) {
        const unsigned char *entry = data + kHeldHeaderSize + i * kHeldEntrySize;
        leases->push_back({Get(entry, 6), static_cast<int64_t>(Get(entry + 6, 4))});
    }
    return true;
}

FarmBeacon::FarmBeacon(std::string key, uint32_t self, int port)
    : m_Key(std::move(key)), m_dwSelf(self), m_nPort(port) {
    if (const char *file = getenv("TAVREL_TEST_CLOCK_OFFSET_FILE")) m_TestClockFile = file;
    ReadTestClockOffset();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    m_qwSequence = static_cast<uint64_t>(now.tv_sec + m_nTestClockOffset) * 1000000 +
                   static_cast<uint64_t>(now.tv_nsec / 1000);
}

void FarmBeacon::ReadTestClockOffset() {
    if (m_TestClockFile.empty()) return;
    std::ifstream file(m_TestClockFile);
    long long offset = 0;
    if (file >> offset) m_nTestClockOffset = offset;
}

int64_t FarmBeacon::WallNow() const { return static_cast<int64_t>(time(nullptr)) + m_nTestClockOffset; }

void FarmBeacon::RaiseSequence(uint64_t floor) {
    uint64_t current = m_qwSequence;
    while (current < floor && !m_qwSequence.compare_exchange_weak(current, floor)) {
    }
}

FarmBeacon::~FarmBeacon() {
    Stop();
    if (m_nSocket >= 0) close(m_nSocket);
}

bool FarmBeacon::Open(std::string *error) {
    m_nSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(m_nPort));
    local.sin_addr.s_addr = htonl(m_dwSelf);
    if (m_nSocket >= 0 && bind(m_nSocket, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0) return true;
    *error = "farm heartbeats: cannot use UDP port " + std::to_string(m_nPort) + " on " + AddressText(m_dwSelf) +
             ": " + strerror(errno);
    return false;
}

void FarmBeacon::Start(std::function<void()> tick) {
    m_Tick = std::move(tick);
    m_Thread = std::thread([this] { Loop(); });
}

void FarmBeacon::Stop() {
    if (!m_Thread.joinable()) return;
    m_bStop = true;
    m_Thread.join();
    for (int i = 0; i < kStopBeats; ++i) SendAll(true);
}

void FarmBeacon::SetPeers(std::vector<BeaconPeer> peers) {
    if (peers.size() > kMaxPeers) peers.resize(kMaxPeers);
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Peers = std::move(peers);
}

void FarmBeacon::SetFree(long free) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_nFree = free;
}

void FarmBeacon::SetLive(std::vector<uint32_t> live) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Live = std::move(live);
}

std::unordered_map<uint32_t, PeerBeat> FarmBeacon::Peers() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Seen;
}

void FarmBeacon::SendAll(bool stopped) {
    std::vector<BeaconPeer> peers;
    std::vector<uint32_t> live;
    Beat beat;
    ReadTestClockOffset();
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        peers = m_Peers;
        live = m_Live;
        beat.free = m_nFree < 0 ? kBeatFreeUnknown : static_cast<uint32_t>(std::min<long>(m_nFree, 0xfffffffe));
    }
    // The leases first: a member that believes the beat has them too.
    if (!stopped) SendHeld(peers);
    beat.sender = m_dwSelf;
    beat.stopped = stopped;
    beat.sequence = ++m_qwSequence;
    beat.time = WallNow();
    for (const BeaconPeer &peer : peers) {
        beat.seesReceiver = !stopped && std::find(live.begin(), live.end(), peer.address) != live.end();
        SendToPeers({peer}, SignBeat(beat, m_Key));
    }
}

void FarmBeacon::SendHeld(const std::vector<BeaconPeer> &peers) {
    std::vector<HeldLease> held;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        held = m_Held;
    }
    for (size_t first = 0; first < held.size(); first += kHeldPerDatagram) {
        std::vector<unsigned char> data = SignHeld(m_dwSelf, ++m_qwSequence, &held[first],
                                                   std::min(kHeldPerDatagram, held.size() - first), m_Key);
        SendToPeers(peers, data);
    }
}

void FarmBeacon::SendToPeers(const std::vector<BeaconPeer> &peers, const std::vector<unsigned char> &data) {
    for (const BeaconPeer &peer : peers) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(m_nPort));
        to.sin_addr.s_addr = htonl(peer.address);
        sendto(m_nSocket, data.data(), data.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
}

void FarmBeacon::SetHeld(std::vector<HeldLease> held) {
    if (held.size() > kMaxHeldAnnounced) held.resize(kMaxHeldAnnounced);
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Held = std::move(held);
}

uint64_t FarmBeacon::PeerLeasesGeneration() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_qwLeasesGeneration;
}

std::vector<std::pair<uint64_t, PeerLease>> FarmBeacon::PeerLeases(uint64_t *generation) {
    std::lock_guard<std::mutex> guard(m_Lock);
    std::vector<std::pair<uint64_t, PeerLease>> all;
    for (const auto &peer : m_PeerLeases)
        for (const auto &lease : peer.second.leases) all.push_back(lease);
    *generation = m_qwLeasesGeneration;
    return all;
}

void FarmBeacon::ForgetOldLeases() {
    auto oldest = std::chrono::steady_clock::now() - std::chrono::seconds(kHeldFreshSeconds);
    std::lock_guard<std::mutex> guard(m_Lock);
    for (auto peer = m_PeerLeases.begin(); peer != m_PeerLeases.end();) {
        auto &leases = peer->second.leases;
        for (auto lease = leases.begin(); lease != leases.end();)
            lease = lease->second.at < oldest ? (++m_qwLeasesGeneration, leases.erase(lease)) : std::next(lease);
        peer = leases.empty() && peer->second.announced.empty() ? m_PeerLeases.erase(peer) : std::next(peer);
    }
}

void FarmBeacon::TakeHeld(const unsigned char *data, size_t size, uint32_t source) {
    Beat header;
    std::vector<HeldLease> leases;
    if (!OpenHeld(data, size, m_Key, &header, &leases)) {
        Ignored(kIgnoredForged, source);
        return;
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    auto known = m_PeerLeases.find(header.sender);
    if (!Believe(header, source, known == m_PeerLeases.end() ? 0 : known->second.sequence)) return;
    AnnouncedLeases &announced = m_PeerLeases[header.sender];
    announced.whole = announced.whole && header.sequence == announced.sequence + 1;
    announced.sequence = header.sequence;
    auto now = std::chrono::steady_clock::now();
    for (const HeldLease &lease : leases) {
        if (announced.announced.size() < kMaxHeldAnnounced) announced.announced.insert(lease.mac);
        auto entry = announced.leases.find(lease.mac);
        if (entry == announced.leases.end()) {
            if (announced.leases.size() >= kMaxHeldAnnounced) continue;
            ++m_qwLeasesGeneration;
            entry = announced.leases.emplace(lease.mac, PeerLease{header.sender, 0, now}).first;
        }
        entry->second.secondsLeft = lease.secondsLeft;
        entry->second.at = now;
    }
}

void FarmBeacon::CloseAnnouncement(uint32_t sender, uint64_t sequence) {
    AnnouncedLeases &announced = m_PeerLeases[sender];
    if (announced.whole && sequence == announced.sequence + 1)
        for (auto lease = announced.leases.begin(); lease != announced.leases.end();)
            lease = announced.announced.count(lease->first) ? std::next(lease)
                                                            : (++m_qwLeasesGeneration, announced.leases.erase(lease));
    announced.announced.clear();
    announced.whole = true;
    announced.sequence = std::max(announced.sequence, sequence);
}

void FarmBeacon::Loop() {
    using clock = std::chrono::steady_clock;
    clock::time_point nextBeat = clock::now(), nextTick = clock::now();
    while (!m_bStop) {
        clock::time_point now = clock::now();
        if (now >= nextTick) {
            ForgetOldLeases();
            if (m_Tick) m_Tick();
            nextTick = now + std::chrono::milliseconds(kTickMs);
        }
        if (now >= nextBeat || m_bBeatNow.exchange(false)) {
            SendAll(false);
            nextBeat = now + std::chrono::milliseconds(kBeatPeriodMs);
        }
        auto due = std::min(nextBeat, nextTick) - clock::now();
        // News of a member is acted on at once, not at the next tick.
        if (Receive(static_cast<int>(std::max<long long>(
                1, std::chrono::duration_cast<std::chrono::milliseconds>(due).count()))))
            nextTick = clock::now();
    }
}

bool FarmBeacon::Receive(int waitMs) {
    pollfd ready{m_nSocket, POLLIN, 0};
    if (poll(&ready, 1, waitMs) != 1) return false;
    bool news = false;
    for (;;) {
        unsigned char data[1500];
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        ssize_t size = recvfrom(m_nSocket, data, sizeof data, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                                &fromSize);
        if (size < 0) return news;
        uint32_t source = ntohl(from.sin_addr.s_addr);
        if (size >= 4 && memcmp(data, kHeldMagic, 4) == 0) {
            TakeHeld(data, static_cast<size_t>(size), source);
            continue;
        }
        Beat beat;
        if (!OpenBeat(data, static_cast<size_t>(size), m_Key, &beat)) {
            Ignored(kIgnoredForged, source);
            continue;
        }
        std::lock_guard<std::mutex> guard(m_Lock);
        auto seen = m_Seen.find(beat.sender);
        if (!Believe(beat, source, seen == m_Seen.end() ? 0 : seen->second.sequence)) continue;
        auto now = std::chrono::steady_clock::now();
        news = news || seen == m_Seen.end() || seen->second.stopped != beat.stopped ||
               seen->second.seesUs != beat.seesReceiver || seen->second.free != beat.free ||
               now - seen->second.at >= std::chrono::duration<double>(kLiveSeconds);
        m_Seen[beat.sender] = {now, beat.stopped, beat.free, beat.sequence, beat.seesReceiver};
        CloseAnnouncement(beat.sender, beat.sequence);
        int64_t skew = beat.time - WallNow();
        if (skew > kBeatClockSlack || skew < -kBeatClockSlack) TellSkew(beat.sender, skew);
    }
}

// The sender's clock says nothing of a beat's age (it may be off, or jump):
// arrival and sequence do. A replay carries a sequence already passed.
bool FarmBeacon::Believe(const Beat &beat, uint32_t source, uint64_t lastSequence) {
    const BeaconPeer *peer = nullptr;
    for (const BeaconPeer &candidate : m_Peers)
        if (candidate.address == beat.sender) peer = &candidate;
    if (beat.sender != source || !peer) {
        Ignored(kIgnoredNotMember, source);
        return false;
    }
    uint64_t floor = std::max(peer->sequenceFloor, lastSequence);
    if (beat.sequence <= floor) {
        Ignored(kIgnoredReplayed, source);
        return false;
    }
    return true;
}

void FarmBeacon::TellSkew(uint32_t sender, int64_t skew) {
    auto now = std::chrono::steady_clock::now();
    auto told = m_SkewTold.find(sender);
    // Told again after a while, or at once when the clock moved again.
    if (told != m_SkewTold.end() && now - told->second.at < std::chrono::seconds(kSkewLogSeconds) &&
        std::abs(skew - told->second.skew) <= kBeatClockSlack)
        return;
    m_SkewTold[sender] = {now, skew};
    std::cerr << "tavrel-host: error: farm member " << AddressText(sender) << " clock is "
              << (skew > 0 ? skew : -skew) << " s " << (skew > 0 ? "ahead of" : "behind")
              << " this server's; its heartbeats are still believed, but set both clocks right (NTP)\n";
}

// Called with m_Lock held or from the only thread that counts.
void FarmBeacon::Ignored(const char *why, uint32_t from) {
    if (BeaconObserver *lpObserver = g_lpBeaconObserver.load()) lpObserver->DatagramIgnored(why);
    ++m_Ignored[why];
    m_dwLastIgnored = from;
    auto now = std::chrono::steady_clock::now();
    if (now - m_LastIgnoredLog < std::chrono::seconds(kIgnoredLogSeconds)) return;
    m_LastIgnoredLog = now;
    std::string counts;
    for (const auto &entry : m_Ignored)
        counts += (counts.empty() ? "" : ", ") + std::to_string(entry.second) + " " + entry.first;
    std::cerr << "tavrel-host: farm heartbeats ignored (" << counts << "), the last from "
              << AddressText(m_dwLastIgnored) << "\n";
    m_Ignored.clear();
}
