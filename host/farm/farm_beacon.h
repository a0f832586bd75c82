// Direct heartbeats between farm members, beside the ones in the database:
// every second each member sends one UDP datagram to every other member's
// server address. A member cut off from the database alone stays live to
// the others this way, so no two members ever serve the same clients.
//
// Datagram (kBeatSize bytes, numbers big-endian):
//   0  "TVHB"      4  version (1)   5  state (0 running, 1 stopped)
//   6  1 when the receiver is live to the sender (so the sender leaves the
//      receiver's clients to it), else 0   7  reserved
//   8  sender address   12  free addresses (0xffffffff unknown)
//   16 sequence (grows, also across restarts: it starts above the one the
//      store last kept for this member, or at the wall clock in us if higher)
//   24 time (unix seconds)   32 HMAC-SHA256 of bytes 0-31 under the farm key
// A datagram is believed only when its signature holds, it comes from the
// address it names, that address is a member and its sequence is above both
// the last one believed and the one the store last kept for that member (so
// a replay older than the member's last database heartbeat is refused even
// by a server that just started). Freshness is the arrival time on this
// server's monotonic clock: a member whose wall clock is off, or jumps, is
// still believed; its time only serves to tell the operator of the skew.
//
// Each member gets a beat of its own (byte 6 differs). A member beats at
// once, beside the period, when its live list or its room changes, and
// when it stops (kStopBeats times, so one lost datagram loses nothing).
//
// Beside each beat (just before it, so a beat implies them), the same port
// carries this member's leases and held offers (the MACs it holds and the
// seconds each has left), so that a client keeps its server
// whatever the rendezvous order says; kHeldPerDatagram a datagram:
//   0  "TVHL"      4  version (1)   5  count   6  reserved
//   8  sender address   12 reserved   16 sequence (the beats' counter)
//   24 count times { MAC (6), seconds left (4) }   then HMAC-SHA256 of all before
// believed on the same terms as a beat.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

constexpr double kLiveSeconds = 6.0;  // a member unheard this long (either heartbeat) is dead
constexpr size_t kBeatSize = 64;
constexpr size_t kBeatSignedSize = 32;
constexpr int kBeatPeriodMs = 1000;
constexpr int64_t kBeatClockSlack = 30;  // seconds of skew before it is told
constexpr int kSkewLogSeconds = 600;      // how often, per member
constexpr uint32_t kBeatFreeUnknown = 0xffffffffu;
constexpr size_t kHeldPerDatagram = 140;      // 1,456 bytes: one Ethernet frame
constexpr size_t kMaxHeldAnnounced = 4096;    // leases a member announces, and believed of one
constexpr int kHeldFreshSeconds = 3;          // an announced lease not heard again since is forgotten
constexpr int kStopBeats = 3;                 // "stopped" beats sent when a member stops

// One lease a member holds: MAC (48 bits) and seconds it has left.
struct HeldLease {
    uint64_t mac = 0;
    int64_t secondsLeft = 0;
};
// A lease a peer announced: SECONDS LEFT as of AT.
struct PeerLease {
    uint32_t holder = 0;
    int64_t secondsLeft = 0;
    std::chrono::steady_clock::time_point at;
};

struct Beat {
    uint32_t sender = 0;  // host order
    bool stopped = false;
    bool seesReceiver = false;  // the receiver is in the sender's live list
    uint32_t free = kBeatFreeUnknown;
    uint64_t sequence = 0;
    int64_t time = 0;
};

// The datagram of BEAT signed with KEY, and the reverse (false for a
// datagram of another size or form, or whose signature fails).
std::vector<unsigned char> SignBeat(const Beat &beat, const std::string &key);
bool OpenBeat(const unsigned char *data, size_t size, const std::string &key, Beat *beat);
// A datagram of at most kHeldPerDatagram of LEASES, and the reverse.
std::vector<unsigned char> SignHeld(uint32_t sender, uint64_t sequence, const HeldLease *leases, size_t count,
                                    const std::string &key);
bool OpenHeld(const unsigned char *data, size_t size, const std::string &key, Beat *header,
              std::vector<HeldLease> *leases);

// Told of each datagram a beacon ignores, with its reason: kIgnoredForged
// (not of the form, or its signature fails), kIgnoredNotMember (from an
// address that is no member, or not the one it names) or kIgnoredReplayed
// (a sequence already passed). Called on the beacon's thread.
constexpr const char *kIgnoredForged = "unsigned or forged";
constexpr const char *kIgnoredNotMember = "from no member";
constexpr const char *kIgnoredReplayed = "replayed";
class BeaconObserver {
public:
    virtual void DatagramIgnored(const char *lpWhy) = 0;

protected:
    ~BeaconObserver() = default;
};
void SetBeaconObserver(BeaconObserver *lpObserver);

// A member to beat, and the sequence the store last kept for it.
struct BeaconPeer {
    uint32_t address = 0;  // host order
    uint64_t sequenceFloor = 0;
};

struct PeerBeat {
    std::chrono::steady_clock::time_point at;  // when the last believed beat arrived
    bool stopped = false;
    uint32_t free = kBeatFreeUnknown;
    uint64_t sequence = 0;
    bool seesUs = false;  // this server is in that member's live list
};

class FarmBeacon {
public:
    FarmBeacon(std::string key, uint32_t self, int port);
    ~FarmBeacon();
    bool Open(std::string *error);
    // Runs the sender and receiver; TICK is called every few hundred ms from
    // its thread, which never waits on the database.
    void Start(std::function<void()> tick);
    // Tells the members this server stops, then ends the thread.
    void Stop();
    void SetPeers(std::vector<BeaconPeer> peers);
    void SetFree(long free);
    // The members this server now takes for live (told to each in its beat).
    void SetLive(std::vector<uint32_t> live);
    // A beat to every member now, not at the next period.
    void BeatNow() { m_bBeatNow = true; }
    // The last sequence sent, and a floor for the next ones (the one the
    // store kept from this server's previous run).
    uint64_t Sequence() const { return m_qwSequence; }
    void RaiseSequence(uint64_t floor);
    // This server's leases, announced with every beat (the first kMaxHeldAnnounced).
    void SetHeld(std::vector<HeldLease> held);
    // The leases the members announced, each MAC with each of its holders;
    // GENERATION grows whenever one is added or forgotten.
    std::vector<std::pair<uint64_t, PeerLease>> PeerLeases(uint64_t *generation);
    uint64_t PeerLeasesGeneration();
    std::unordered_map<uint32_t, PeerBeat> Peers();

private:
    void Loop();
    void SendAll(bool stopped);
    bool Receive(int waitMs);  // true when a beat changed what a member is
    void SendToPeers(const std::vector<BeaconPeer> &peers, const std::vector<unsigned char> &data);
    void SendHeld(const std::vector<BeaconPeer> &peers);
    void TakeHeld(const unsigned char *data, size_t size, uint32_t source);
    void ForgetOldLeases();
    void Ignored(const char *why, uint32_t from);
    bool Believe(const Beat &beat, uint32_t source, uint64_t lastSequence);  // with m_Lock held
    void TellSkew(uint32_t sender, int64_t skew);       // with m_Lock held
    int64_t WallNow() const;
    void ReadTestClockOffset();

    const std::string m_Key;
    const uint32_t m_dwSelf;
    const int m_nPort;
    int m_nSocket = -1;
    std::atomic<uint64_t> m_qwSequence;
    // Seconds added to the wall clock, from the file TAVREL_TEST_CLOCK_OFFSET_FILE
    // names (tests only: a member whose clock is off, or jumps).
    std::string m_TestClockFile;
    std::atomic<int64_t> m_nTestClockOffset{0};
    std::function<void()> m_Tick;
    std::mutex m_Lock;  // guards every member below
    std::vector<BeaconPeer> m_Peers;
    std::vector<uint32_t> m_Live;
    std::unordered_map<uint32_t, PeerBeat> m_Seen;
    struct SkewTold {
        std::chrono::steady_clock::time_point at;
        int64_t skew;
    };
    std::unordered_map<uint32_t, SkewTold> m_SkewTold;  // members only
    std::vector<HeldLease> m_Held;  // this server's, to announce
    // A member's beat closes the announcement its lease datagrams just made:
    // when every one of them came (their sequences follow without a gap),
    // the leases it no longer names are forgotten at once.
    struct AnnouncedLeases {
        uint64_t sequence = 0;  // of the last datagram believed, beat or leases
        std::unordered_map<uint64_t, PeerLease> leases;
        std::unordered_set<uint64_t> announced;  // MACs since the last beat
        bool whole = false;  // no datagram missed since the last beat
    };
    void CloseAnnouncement(uint32_t sender, uint64_t sequence);  // with m_Lock held
    std::unordered_map<uint32_t, AnnouncedLeases> m_PeerLeases;  // members only, kMaxHeldAnnounced each
    uint64_t m_qwLeasesGeneration = 0;
    long m_nFree = -1;
    // Ignored datagrams, told at most once per kIgnoredLogSeconds.
    std::unordered_map<std::string, long> m_Ignored;
    uint32_t m_dwLastIgnored = 0;
    std::chrono::steady_clock::time_point m_LastIgnoredLog;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bBeatNow{false};
    std::thread m_Thread;
};
