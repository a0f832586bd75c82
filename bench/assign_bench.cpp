// Time of one AssignAddress for a new client in a type-1 range of 65,534
// addresses that already holds 50,000 leases and 1,000 static entries.
// Prints the median and the 99th percentile in microseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "dhcp/config_snapshot.h"
#include "dhcp/lease_book.h"
#include "support/pxe_config.h"

namespace {
void MacOf(int n, unsigned char *mac) {
    const unsigned char bytes[6] = {2, 0, 0, static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 8),
                                    static_cast<unsigned char>(n)};
    std::copy(bytes, bytes + 6, mac);
}
}  // namespace

int main(int argc, char **argv) {
    int samples = argc > 1 ? std::stoi(argv[1]) : 5000;
    LeaseBook leases;
    leases.CreateCaches();
    TeskPxeServerStruct config = MakeServer("10.0.0.1");
    TeskSubNetStruct subnet = MakeSubNet("10.0.0.1", "10.0.255.254", 1);
    SetText(subnet.netmask, sizeof subnet.netmask, "255.255.0.0");
    std::vector<TeskStaticDhcpStruct> statics;
    for (int i = 0; i < 1000; ++i) {
        char mac[20], ip[32];
        snprintf(mac, sizeof mac, "04:00:00:00:%02x:%02x", i >> 8, i & 0xff);
        snprintf(ip, sizeof ip, "10.0.%d.%d", 100 + i / 250, 1 + i % 250);
        statics.push_back(MakeStatic(mac, ip));
    }
    leases.Install(BuildConfigSnapshot(&config, &subnet, 1, statics.data(), static_cast<int>(statics.size())));

    LeaseBook::AddressGrant grant{};
    unsigned char mac[6];
    for (int n = 0; n < 50000; ++n) {
        MacOf(n, mac);
        leases.AssignAddress(mac, 1, 0, &grant);
    }
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(samples));
    for (int n = 0; n < samples; ++n) {
        MacOf(100000 + n, mac);
        auto begin = std::chrono::steady_clock::now();
        uint32_t ip = leases.AssignAddress(mac, 1, 0, &grant);
        auto took = std::chrono::steady_clock::now() - begin;
        if (ip == 0) {
            fprintf(stderr, "no address for sample %d\n", n);
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(took).count());
    }
    std::sort(micros.begin(), micros.end());
    printf("AssignAddress, new client, 50000 leases + 1000 static in 65534 addresses, %d samples:\n", samples);
    printf("  median %.2f us, p99 %.2f us, max %.2f us\n", micros[micros.size() / 2],
           micros[micros.size() * 99 / 100], micros.back());
    return 0;
}
