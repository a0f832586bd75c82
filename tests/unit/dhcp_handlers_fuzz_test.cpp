// Arbitrary datagrams, seeded from real captures and mutated at random, fed
// to the three request handlers, with a boot-event observer registered:
// the sanitizers must stay silent and every answer must fit the record.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "Tavrel.h"
#include "dhcp/dhcp_responder.h"
#include "events/boot_events.h"
#include "support/pcap_reader.h"
#include "support/pxe_config.h"

namespace {

int TAVREL_CALLBACK AnyChoice(const unsigned char *mac, char *server) {
    // Sometimes this server, sometimes another, sometimes 16 bytes of junk.
    switch (mac[5] % 3) {
        case 0: strcpy(server, "10.0.0.1"); return 1;
        case 1: memset(server, '7', 16); return 1;
        default: return 0;
    }
}
int TAVREL_CALLBACK AnyReport(SelectMirrorRecord *record) { return record->mac[0] & 1; }
void TAVREL_CALLBACK AnyEvent(const BootEventRecord *event) { EXPECT_NE(event->kind, 0); }

std::vector<std::vector<unsigned char>> Seeds() {
    std::vector<std::vector<unsigned char>> seeds;
    for (const char *name : {"ipxe-bios-dhcp-boot.pcap", "ipxe-bios-proxydhcp-boot.pcap", "uefi-ovmf-dhcp-boot.pcap",
                             "uefi-ovmf-proxydhcp-boot.pcap"})
        for (const CapturedDatagram &d : ReadPcapUdp(FixturePath(name)))
            if (d.wDstPort == 67 || d.wDstPort == 4011) seeds.push_back(d.payload);
    std::vector<unsigned char> pack(292, 0);
    pack[0] = 0x75;
    pack[1] = 0x6d;
    pack[12] = 1;
    seeds.push_back(pack);
    pack[12] = 2;
    seeds.push_back(pack);
    return seeds;
}

}  // namespace

TEST(DhcpHandlersFuzz, RandomDatagramsNeverBreakTheHandlers) {
    DhcpHostHooks hooks;
    hooks.selectPxeServer = AnyChoice;
    hooks.selectMirrorServerToDB = AnyReport;
    hooks.selectBootFile = AnyBootFile;
    LeaseBook leases;
    ASSERT_TRUE(leases.CreateCaches());
    TeskPxeServerStruct config = MakeServer("10.0.0.1");
    TeskSubNetStruct subnets[2] = {MakeSubNet("10.0.0.10", "10.0.0.40", 1), MakeSubNet("10.0.1.10", "10.0.1.12", 2)};
    TeskStaticDhcpStruct statics[1] = {MakeStatic("52:54:00:12:34:56", "10.0.0.99")};
    leases.Install(BuildConfigSnapshot(&config, subnets, 2, statics, 1));
    std::atomic<uint32_t> broadcast{0};
    TeskDhcpResponder responder(leases, hooks, broadcast);

    RegisterBootEventCallback(AnyEvent);
    StartBootEventDelivery();
    auto seeds = Seeds();
    ASSERT_GT(seeds.size(), 4u);
    std::mt19937 random(7);
    auto record = std::make_unique<TeskDhcpResponder::_socklist>();
    for (int round = 0; round < 60000; ++round) {
        std::vector<unsigned char> data = seeds[random() % seeds.size()];
        int edits = 1 + static_cast<int>(random() % 8);
        for (int e = 0; e < edits; ++e) {
            switch (random() % 4) {
                case 0: if (!data.empty()) data[random() % data.size()] = static_cast<unsigned char>(random()); break;
                case 1: data.resize(random() % 1501); break;
                case 2: if (data.size() > 240) data[240 + random() % (data.size() - 240)] = static_cast<unsigned char>(random() % 2 ? 255 : 60); break;
                default: data.insert(data.begin() + static_cast<long>(random() % (data.size() + 1)), 1 + random() % 4, static_cast<unsigned char>(random()));
            }
        }
        if (data.size() > TeskDhcpResponder::kDataSize) data.resize(TeskDhcpResponder::kDataSize);
        if (data.empty()) continue;
        memset(record.get(), 0, sizeof *record);
        memcpy(record->data, data.data(), data.size());
        record->nRecvLen = static_cast<int>(data.size());
        int type = static_cast<int>(random() % 3);
        record->nSocketType = type;
        TeskDhcpResponder::AnswerDestination to{};
        if (responder.Answer(record.get(), static_cast<uint64_t>(round), &to) == 0) {
            ASSERT_GE(record->nSendLen, 0);
            ASSERT_LE(record->nSendLen, TeskDhcpResponder::kDataSize);
        }
    }
    StopBootEventDelivery();
    RegisterBootEventCallback(nullptr);
}
