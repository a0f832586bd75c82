// The farm's choice of server for a MAC (shares follow the weights, a member
// leaving moves only the MACs it had), the range overlap check, and the
// store's schema versions.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <map>

#include "host/farm/farm.h"
#include "host/store/report_queue.h"
#include "support/temp_tree.h"

TEST(FarmChoice, SharesFollowWeightsAndALeaverMovesOnlyItsClients) {
    const std::vector<LiveMember> three = {{0xc0000201, 1}, {0xc0000202, 2}, {0xc0000203, 1}};
    const std::vector<LiveMember> two = {three[0], three[1]};
    constexpr int kMacs = 40000;
    std::map<uint32_t, int> shares;
    int moved = 0;
    for (int i = 0; i < kMacs; ++i) {
        const unsigned char mac[6] = {0x52, 0x54, 0, static_cast<unsigned char>(i >> 16),
                                      static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i)};
        uint32_t before = RendezvousChoice(three, mac), after = RendezvousChoice(two, mac);
        ++shares[before];
        if (before != three[2].address) {
            EXPECT_EQ(after, before);
        }
        moved += before != after;
    }
    EXPECT_NEAR(shares[three[0].address], kMacs / 4, kMacs / 50);
    EXPECT_NEAR(shares[three[1].address], kMacs / 2, kMacs / 50);
    EXPECT_EQ(moved, shares[three[2].address]);
    EXPECT_EQ(RendezvousChoice({}, reinterpret_cast<const unsigned char *>("abcdef")), 0u);
    // A full member's MACs go to the next in each MAC's order; the others keep theirs.
    std::vector<LiveMember> full = three;
    full[2].full = true;
    for (int i = 0; i < 2000; ++i) {
        const unsigned char mac[6] = {0x52, 0x54, 0, 1, static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i)};
        EXPECT_EQ(RendezvousChoice(full, mac), RendezvousChoice(two, mac));
    }
}

// Liveness from either heartbeat: a member whose database beat is old but
// who beats directly stays; a direct "stopped" ends it; self always counts.
TEST(FarmChoice, LiveWhileEitherHeartbeatIsFresh) {
    MemberRow a{"192.0.2.1", "a", 1, "", "", 0, "running", 0, 1}, b = a, c = a;
    b.address = "192.0.2.2";
    b.age = 30;
    c.address = "192.0.2.3";
    std::unordered_map<uint32_t, PeerBeat> beats;
    beats[0xc0000202] = {std::chrono::steady_clock::now(), false, 5, 1};
    beats[0xc0000203] = {std::chrono::steady_clock::now(), true, kBeatFreeUnknown, 1};
    auto live = LiveMembers({a, b, c}, 10.0, beats, 0xc0000201, 0);
    ASSERT_EQ(live.size(), 2u);
    EXPECT_EQ(live[0].address, 0xc0000201u) << "self, though its database beat is old";
    EXPECT_TRUE(live[0].full);
    EXPECT_EQ(live[1].address, 0xc0000202u);
    EXPECT_FALSE(live[1].full);
    EXPECT_EQ(LiveMembers({a, b, c}, 0.0, {}, 0xc0000209, -1).size(), 2u) << "database beats alone";
    // A count that failed is unknown, not "full", whatever an older row said.
    c.free = 0;
    beats[0xc0000203].stopped = false;
    live = LiveMembers({a, c}, 0.0, beats, 0xc0000201, -1);
    ASSERT_EQ(live.size(), 2u);
    EXPECT_FALSE(live[0].full || live[1].full);
}

// A client is answered by the live member whose lease of it is the newest.
TEST(FarmChoice, NewestLeaseOfALiveHolderWins) {
    auto now = std::chrono::steady_clock::now();
    std::vector<LiveMember> live = {{0xc0000201, 1}, {0xc0000202, 1}};
    std::vector<std::pair<uint64_t, PeerLease>> peers = {
        {1, {0xc0000202, 500, now}}, {2, {0xc0000202, 100, now}}, {3, {0xc0000203, 900, now}}};
    auto holders = LeaseHolders({{1, 400}, {2, 400}}, 0, peers, live, 0xc0000201);
    EXPECT_EQ(holders.at(1).address, 0xc0000202u);
    EXPECT_EQ(holders.at(2).address, 0xc0000201u);
    EXPECT_EQ(holders.count(3), 0u) << "a holder that is not live";
}

// A heartbeat is believed only with the farm key's signature intact.
TEST(FarmChoice, HeartbeatSignatureCoversEveryField) {
    Beat beat;
    beat.sender = 0xc0000203;
    beat.free = 7;
    beat.sequence = 42;
    beat.time = 1700000000;
    std::vector<unsigned char> data = SignBeat(beat, "a farm key of 16+");
    Beat read;
    ASSERT_TRUE(OpenBeat(data.data(), data.size(), "a farm key of 16+", &read));
    EXPECT_EQ(read.sender, beat.sender);
    EXPECT_EQ(read.free, 7u);
    EXPECT_EQ(read.sequence, 42u);
    EXPECT_EQ(read.time, beat.time);
    EXPECT_FALSE(OpenBeat(data.data(), data.size(), "another farm key", &read));
    for (size_t i = 0; i < data.size(); ++i) {
        std::vector<unsigned char> forged = data;
        forged[i] ^= 1;
        EXPECT_FALSE(OpenBeat(forged.data(), forged.size(), "a farm key of 16+", &read)) << "byte " << i;
    }
    EXPECT_FALSE(OpenBeat(data.data(), data.size() - 1, "a farm key of 16+", &read));
    std::vector<HeldLease> held(kHeldPerDatagram + 1, HeldLease{0x0102030405ffULL, 86000});
    data = SignHeld(beat.sender, 43, held.data(), held.size(), "a farm key of 16+");
    ASSERT_LE(data.size(), 1472u);
    ASSERT_TRUE(OpenHeld(data.data(), data.size(), "a farm key of 16+", &read, &held));
    EXPECT_EQ(held.size(), kHeldPerDatagram);
    EXPECT_EQ(held[0].mac, 0x0102030405ffULL);
    EXPECT_EQ(held[0].secondsLeft, 86000);
    EXPECT_EQ(read.sequence, 43u);
    for (size_t i = 0; i < data.size(); i += 7) {
        std::vector<unsigned char> forged = data;
        forged[i] ^= 1;
        EXPECT_FALSE(OpenHeld(forged.data(), forged.size(), "a farm key of 16+", &read, &held)) << "byte " << i;
    }
}

// A member's lease datagram twice, then forged, on loopback: one replay and one forgery told.
TEST(FarmChoice, ReplayedLeaseDatagramsAreCounted) {
    struct Count final : BeaconObserver {
        void DatagramIgnored(const char *lpWhy) override { n += std::string(lpWhy) == kIgnoredReplayed ? 10 : 1; }
        std::atomic<int> n{0};
    } count;
    const uint16_t port = static_cast<uint16_t>(20000 + getpid() % 20000);
    FarmBeacon beacon("a farm key of 16+", 0x7f000001, port);
    std::string error;
    ASSERT_TRUE(beacon.Open(&error)) << error;
    beacon.SetPeers({{0x7f000002, 0}});
    SetBeaconObserver(&count);
    beacon.Start(nullptr);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in from{AF_INET, htons(port), {htonl(0x7f000002)}, {}}, to{AF_INET, htons(port), {htonl(0x7f000001)}, {}};
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from), 0);
    HeldLease lease{0x525400000001ULL, 600};
    std::vector<unsigned char> held = SignHeld(0x7f000002, 5, &lease, 1, "a farm key of 16+"), forged = held;
    forged.back() ^= 1;
    for (const auto *data : {&held, &held, &forged})
        sendto(fd, data->data(), data->size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    for (int i = 0; i < 500 && count.n < 11; ++i) usleep(10000);
    beacon.Stop();
    SetBeaconObserver(nullptr);
    close(fd);
    EXPECT_EQ(count.n, 11) << "one replayed, one forged";
}

TEST(FarmChoice, OverlapNamesBothServersAndSkipsTheDeadAndItself) {
    MemberRow self{"192.0.2.4", "new", 1, "198.18.1.200-198.18.2.10", "", 0, "running", 0, 0};
    MemberRow live{"192.0.2.1", "old", 1, "10.0.0.1-10.0.0.9;198.18.2.10-198.18.2.20", "", 0, "running", 0, 1};
    MemberRow dead = live, stopped = live, same = live;
    dead.age = 7;
    stopped.state = "stopped";
    same.address = self.address;
    EXPECT_EQ(FindRangeOverlap(self, {dead, stopped, same}), "");
    EXPECT_EQ(FindRangeOverlap(self, {dead, live}),
              "dynamic range 198.18.1.200-198.18.2.10 of this server 192.0.2.4 (\"new\") overlaps range "
              "198.18.2.10-198.18.2.20 of live server 192.0.2.1 (\"old\")");
}

// A file written by the tavrel-host before farms keeps its rows and gains
// the new tables and columns.
TEST(PolicyStoreSchema, OlderSqliteFileIsBroughtForward) {
    TempTree tree;
    std::string path = tree.Root() + "/old.db";
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE assignments (mac TEXT PRIMARY KEY, server TEXT NOT NULL);"
                           "CREATE TABLE reports (id INTEGER PRIMARY KEY, time TEXT NOT NULL, mac TEXT NOT NULL,"
                           " ip TEXT, gateway TEXT, netmask TEXT, server TEXT);"
                           "INSERT INTO assignments VALUES ('52:54:00:00:00:01', '192.0.2.7');"
                           "INSERT INTO reports (time, mac) VALUES ('2026-01-01 00:00:00', '52:54:00:00:00:02');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::string error;
    std::unique_ptr<PolicyStore> store = PolicyStore::Open(path, &error);
    ASSERT_TRUE(store) << error;
    PolicyRows rows;
    std::vector<StoredReport> reports;
    ASSERT_TRUE(store->Assignments(&rows) && store->Reports(&reports, 10, ""));
    EXPECT_EQ(rows, (PolicyRows{{"52:54:00:00:00:01", "192.0.2.7"}}));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].mac, "52:54:00:00:00:02");
    MemberRow self{"192.0.2.1", "a", 1, "", "", 0, "", 0, 0};
    self.beatSequence = 1ULL << 60;
    std::vector<MemberRow> members;
    ASSERT_TRUE(store->Heartbeat(self, true) && store->Members(&members)) << store->LastError();
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members[0].beatSequence, 1ULL << 60) << "a restart goes on past it";
    EXPECT_EQ(members[0].state, "running");
    EXPECT_LT(members[0].age, 1.0);
    EXPECT_TRUE(PolicyStore::Open(path, &error)) << "opening again changes nothing: " << error;
}

// Reports past their retention are deleted when the writer starts; a page
// is the newest reports, oldest first.
TEST(PolicyStoreSchema, ReportsArePagedAndPruned) {
    TempTree tree;
    std::string error, path = tree.Root() + "/reports.db";
    std::unique_ptr<PolicyStore> store = PolicyStore::Open(path, &error);
    ASSERT_TRUE(store) << error;
    std::vector<StoredReport> stored(4);
    const char *const stamps[] = {"2001-01-01 00:00:00", "2999-01-01 00:00:00", "2999-01-02 00:00:00",
                                  "2999-01-03 00:00:00"};
    for (int i = 0; i < 4; ++i) stored[i].time = stamps[i], stored[i].mac = std::string(1, "oabc"[i]);
    ASSERT_TRUE(store->StoreReports(stored));
    std::vector<StoredReport> page;
    ASSERT_TRUE(store->Reports(&page, 2, "2999"));
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].mac + page[1].mac, "bc");
    {
        ReportQueue queue(PolicyStore::Open(path, &error), "192.0.2.1", 30);
        queue.Start();
        queue.Stop();
    }
    ASSERT_TRUE(store->Reports(&page, 100, ""));
    EXPECT_EQ(page.size(), 3u) << "the report of 2001 is gone";
}
