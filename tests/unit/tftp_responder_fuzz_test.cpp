// The TFTP fuzz target's short run for CI: client datagram sequences from
// the captured boots, mutated at random. The target aborts on any broken
// rule; the sanitizers watch the rest, a boot-event observer registered.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "events/boot_events.h"
#include "support/pcap_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void TAVREL_CALLBACK AnyEvent(const BootEventRecord *event) { EXPECT_GE(event->kind, TAVREL_EVENT_TFTP_STARTED); }

// Per capture: what its client sent, as the target's records, each client
// port numbered in turn.
std::vector<std::vector<uint8_t>> Seeds() {
    std::vector<std::vector<uint8_t>> seeds;
    for (const char *name : {"ipxe-bios-dhcp-boot.pcap", "uefi-ovmf-dhcp-boot.pcap", "uefi-ovmf-proxydhcp-boot.pcap"}) {
        std::vector<uint8_t> seed;
        std::vector<uint16_t> ports;
        for (const CapturedDatagram &d : ReadPcapUdp(FixturePath(name))) {
            const std::vector<unsigned char> &p = d.payload;
            bool fromClient = p.size() >= 4 && p[0] == 0 && (d.wDstPort == 69 ? p[1] == 1 : p[1] == 4 || p[1] == 5);
            if (!fromClient || d.wSrcPort == 67 || d.wSrcPort == 68 || p.size() > 254) continue;
            size_t port = 0;
            while (port < ports.size() && ports[port] != d.wSrcPort) ++port;
            if (port == ports.size()) ports.push_back(d.wSrcPort);
            seed.push_back(static_cast<uint8_t>((port % 4) << 6));
            seed.push_back(0);
            seed.push_back(static_cast<uint8_t>(p.size()));
            seed.insert(seed.end(), p.begin(), p.end());
        }
        seeds.push_back(seed);
    }
    return seeds;
}

}  // namespace

TEST(TftpResponderFuzz, MutatedBootsKeepEveryRule) {
    RegisterBootEventCallback(AnyEvent);
    StartBootEventDelivery();
    std::vector<std::vector<uint8_t>> seeds = Seeds();
    ASSERT_EQ(seeds.size(), 3u);
    for (const auto &seed : seeds) {
        ASSERT_GT(seed.size(), 100u);
        LLVMFuzzerTestOneInput(seed.data(), seed.size());
    }
    std::mt19937 random(12);
    for (int round = 0; round < 10000; ++round) {
        std::vector<uint8_t> data = seeds[random() % seeds.size()];
        for (int e = 0, edits = 1 + static_cast<int>(random() % 8); e < edits; ++e) {
            size_t at = random() % data.size();
            switch (random() % 4) {
                case 0: data[at] = static_cast<uint8_t>(random()); break;
                case 1: data.resize(at + 1); break;
                case 2: data.insert(data.begin() + static_cast<long>(at), 1 + random() % 8, static_cast<uint8_t>(random())); break;
                default: data[at] = static_cast<uint8_t>(random() % 2 ? 0 : 255);
            }
        }
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    StopBootEventDelivery();
    RegisterBootEventCallback(nullptr);
}
