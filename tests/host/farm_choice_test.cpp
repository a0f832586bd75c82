// The farm's choice of server for a MAC: shares follow the weights, and a
// member leaving moves only the MACs it had.
#include <gtest/gtest.h>

#include <map>

#include "host/farm.h"

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
