// Which server serves a MAC, decided on the library's DHCP thread from
// memory only: the explicit policy rows first, then, in a farm, the live
// member chosen by weighted rendezvous hashing of MAC and server address.
// A background thread keeps that memory fresh: it writes this server's
// heartbeat every 2 s and reads the members; when the store announces a
// change (a policy row, a server joining or leaving) it reads both again.
// The members also beat each other directly (FarmBeacon); a member is live
// while either beat is fresh, and the live list is decided on the beacon's
// thread, which never waits on the database.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/farm/farm_beacon.h"
#include "host/farm/held_offers.h"
#include "host/config/host_config.h"
#include "host/store/policy_store.h"

constexpr int kHeartbeatMs = 2000;
// A starting member answers nothing until every member the database names
// as running has told it, by a direct heartbeat, that it takes it for live
// (so it no longer answers the starting member's clients), or stopped; or
// until this much time has passed (a member crashed long ago, or alone).
constexpr int kJoinWaitMs = 1500;

struct LiveMember {
    uint32_t address;  // host order
    double weight;
    bool full = false;  // no free address in its dynamic ranges
};

// The live member with the highest weighted score for this MAC; every
// server computes the same answer, and removing a member moves only the
// MACs it had. A full member passes its MACs to the next in that order
// (spill-over), unless every member is full. 0 when the list is empty.
uint32_t RendezvousChoice(const std::vector<LiveMember> &live, const unsigned char *mac);

// The live members: those that beat the database within kLiveSeconds (AGES
// grown by the time since it was read) or beat us directly within that
// time, and did not stop since. SELF is always live.
std::vector<LiveMember> LiveMembers(const std::vector<MemberRow> &members, double sinceRead,
                                    const std::unordered_map<uint32_t, PeerBeat> &beats, uint32_t self,
                                    long selfFree);

// What this server's lease file tells: its free addresses (-1 when the file
// could not be read: unknown, never "full") and the leases it holds.
struct LeaseCount {
    long free = -1;
    bool read = false;
    std::vector<HeldLease> held;
    std::unordered_set<uint32_t> addresses;  // leased, host order
};
uint64_t MacKeyOfText(const std::string &text);  // a MAC as mac_text.h reads it; 0 when not one

// Who answers each MAC some live member holds a lease for: the holder whose
// lease has the most time left (the newest grant; the lowest address on a
// tie), whatever the rendezvous order says. SELF's leases come from its lease
// file, read SELF AGE seconds ago; PEERS' as they announced them.
struct Holder {
    uint32_t address;
    int64_t secondsLeft;
};
std::unordered_map<uint64_t, Holder> LeaseHolders(const std::vector<HeldLease> &self, double selfAge,
                                                  const std::vector<std::pair<uint64_t, PeerLease>> &peers,
                                                  const std::vector<LiveMember> &live, uint32_t selfAddress);

// This server's row: address, farm name and weight, ranges and statics.
MemberRow SelfRow(const HostConfig &config);

// What the listings call a member: "live", "dead", "stopped", or "database
// unreachable, serving" for one whose database heartbeat is old while a live
// member hears its direct heartbeats (MEMBERS: every row, as read).
std::string MemberState(const MemberRow &member, const std::vector<MemberRow> &members);

// The first overlap between this server's dynamic ranges and those of a live
// member with another address, as a message naming both; "" when none.
std::string FindRangeOverlap(const MemberRow &self, const std::vector<MemberRow> &members);

class PolicyView {
public:
    PolicyView(uint32_t self, bool farm) : m_bFarm(farm) { m_Snapshot.self = self; }
    // The library's first callback: 1 with the chosen server's address in
    // SERVER (16 bytes), 0 when nobody is chosen (a single server serves).
    int Choose(const unsigned char *mac, char *server);
    void SetAssignments(const PolicyRows &rows);
    void SetLive(std::vector<LiveMember> live);
    void SetHolders(std::unordered_map<uint64_t, Holder> holders);
    void SetSelf(uint32_t self);
    // Off while a farm member starts (until it has heard the farm) and once
    // it stops: it then answers no client, leaving them to the others.
    void SetAnswering(bool answering) { m_bAnswering = answering; }
    // Distinct clients this server chose itself for in the last hour; old
    // entries are dropped.
    long ServedLastHour();
    // Whether this server chose itself for MAC within the last hour.
    bool ChoseRecently(const unsigned char *mac);

private:
    struct Snapshot {
        std::shared_ptr<const std::unordered_map<uint64_t, std::string>> assigned;  // MAC → server text
        std::shared_ptr<const std::vector<LiveMember>> live;
        std::shared_ptr<const std::unordered_map<uint64_t, Holder>> holders;  // MAC → its lease's holder
        uint32_t self = 0;
    };
    Snapshot Current();
    void NoteServed(const unsigned char *mac);

    std::mutex m_Lock;  // held only to copy or swap the snapshot
    Snapshot m_Snapshot;
    const bool m_bFarm;
    std::atomic<bool> m_bAnswering{true};
    std::mutex m_ServedLock;
    std::unordered_map<uint64_t, int64_t> m_Served;  // MAC → last time chosen
};

class FarmSync {
public:
    // BEACON: the direct heartbeats, for a farm member; null otherwise.
    // LEASES reads this server's lease file; OFFERS, when not null, are the
    // offers its clients have not taken yet.
    FarmSync(std::unique_ptr<PolicyStore> store, PolicyView *view, MemberRow self, bool farm,
             std::unique_ptr<FarmBeacon> beacon, std::function<LeaseCount()> leases, double pruneAfterSeconds,
             HeldOffers *offers = nullptr);
    ~FarmSync();
    // The first heartbeat and reads, before the service starts. False when
    // the store cannot be reached; MEMBERS receives the rows read.
    bool Prime(std::vector<MemberRow> *members);
    void Start();
    // Stops answering and tells the members over the direct heartbeat and
    // the database, so the others take this server's clients at once.
    void Stop();
    void SetSelf(const MemberRow &self);
    std::vector<MemberRow> KnownMembers();
    const std::string &LastError() const { return m_Store->LastError(); }

private:
    void Loop();
    bool Beat();
    bool SeedSequence();
    bool ReadMembers();
    bool ReloadPolicy();
    void Decide();  // on the beacon's thread
    void CountOwn();  // with m_Lock held
    bool HeardTheFarm(const std::unordered_map<uint32_t, PeerBeat> &beats);  // with m_Lock held
    std::string Heard();
    void PublishHolders(bool liveChanged, uint64_t generation,
                        const std::vector<std::pair<uint64_t, PeerLease>> &peerLeases);
    void NoteDatabase(bool reached);

    std::unique_ptr<PolicyStore> m_Store;
    PolicyView *m_lpView;
    bool m_bFarm;
    bool m_bJoined = false;
    bool m_bDatabaseDown = false;
    bool m_bHeldCapTold = false;
    std::unique_ptr<FarmBeacon> m_Beacon;
    std::function<LeaseCount()> m_Leases;
    HeldOffers *m_lpOffers;
    double m_PruneAfterSeconds;
    std::chrono::steady_clock::time_point m_NextPrune;
    std::mutex m_Lock;  // guards m_Self, m_Members, m_ReadAt, m_nSelfFree, m_Live and the leases below
    MemberRow m_Self;
    std::vector<MemberRow> m_Members;
    std::chrono::steady_clock::time_point m_ReadAt;  // when m_Members was read
    long m_nSelfFree = -1;   // the lease file's count less the offers held
    long m_nFileFree = -1;   // as the lease file tells
    std::unordered_set<uint32_t> m_FileLeased;
    std::vector<HeldLease> m_FileHeld;
    uint64_t m_qwOffersGeneration = ~0ull;
    bool m_bAnswering = false;
    std::chrono::steady_clock::time_point m_StartedAt;
    std::vector<LiveMember> m_Live;  // as last published
    std::vector<HeldLease> m_SelfHeld;  // the lease file's and the offers held
    std::chrono::steady_clock::time_point m_SelfHeldAt;  // when the lease file was read
    bool m_bHoldersStale = true;  // the leases changed since the holders were published
    uint64_t m_qwPeerLeasesGeneration = 0;
    std::vector<std::pair<uint64_t, PeerLease>> m_PeerLeases;  // as last taken from the beacon
    std::atomic<bool> m_bStop{false};
    bool m_bStopped = false;
    std::thread m_Thread;
};
