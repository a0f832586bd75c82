// A minimal host for interop tests and benchmarks: starts the service from
// its arguments, prints "ready", and stops when its standard input closes
// (or, with --wait-signal, on SIGTERM or SIGINT). With --split, MACs whose
// last byte is even belong to the first server, odd ones to the second.
// Every selection report is printed as "report MAC SERVER". With --events
// it observes the boot events as a host would: each is formatted as a line
// and counted; the count and the drops are printed when it stops.
//   test_host [--wait-signal] [--events] [--split EVEN_IP,ODD_IP] SERVER_IP ROOT [BEGIN,END,MASK,TYPE]...
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Tavrel.h"
#include "support/pxe_config.h"

static char g_szSplit[2][16];
static unsigned long g_nEvents = 0;  // the delivery thread's alone until StopPXE returns
static long long g_nDropped = 0;

static void TAVREL_CALLBACK ObserveEvent(const BootEventRecord *event) {
    char line[512];
    snprintf(line, sizeof line, "%d %d %02x:%02x:%02x:%02x:%02x:%02x %s %d %s %lld %lld", event->kind, event->reason,
             event->mac[0], event->mac[1], event->mac[2], event->mac[3], event->mac[4], event->mac[5],
             event->address, event->port, event->file, event->bytes, event->durationms * 1LL);
    g_nEvents += line[0] != '\0';
    g_nDropped = event->dropped;
}

static int TAVREL_CALLBACK Choose(const unsigned char *mac, char *server) {
    if (!g_szSplit[0][0]) return 0;
    memcpy(server, g_szSplit[mac[5] % 2], 16);
    return 1;
}

static int TAVREL_CALLBACK PrintReport(SelectMirrorRecord *record) {
    printf("report %02x:%02x:%02x:%02x:%02x:%02x %s\n", record->mac[0], record->mac[1], record->mac[2],
           record->mac[3], record->mac[4], record->mac[5], record->server);
    fflush(stdout);
    return 1;
}

int main(int argc, char **argv) {
    bool bWaitSignal = argc > 1 && strcmp(argv[1], "--wait-signal") == 0;
    if (bWaitSignal) {
        --argc;
        ++argv;
    }
    bool bEvents = argc > 1 && strcmp(argv[1], "--events") == 0;
    if (bEvents) {
        --argc;
        ++argv;
    }
    // --ipv6 ADDRESS,INTERFACE,BEGIN,END: StartPXEV6 too, with one range.
    TeskPxeServerV6Struct server6{};
    TeskSubNetV6Struct range6{};
    bool bIpv6 = argc > 2 && strcmp(argv[1], "--ipv6") == 0;
    if (bIpv6) {
        if (sscanf(argv[2], "%63[^,],%63[^,],%63[^,],%63s", server6.ServerIP, server6.ifname, range6.beginip,
                   range6.endip) != 4)
            return 2;
        SET_TEXT(server6.bootfile, "ipxe.efi");
        argc -= 2;
        argv += 2;
    }
    if (argc > 2 && strcmp(argv[1], "--split") == 0) {
        if (sscanf(argv[2], "%15[^,],%15s", g_szSplit[0], g_szSplit[1]) != 2) return 2;
        argc -= 2;
        argv += 2;
    }
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    if (bWaitSignal) pthread_sigmask(SIG_BLOCK, &stops, nullptr);  // before the service threads start
    if (argc < 3) {
        fprintf(stderr, "usage: %s SERVER_IP ROOT [BEGIN,END,MASK,TYPE]...\n", argv[0]);
        return 2;
    }
    TeskPxeServerStruct server = MakeServer(argv[1], argv[2]);
    std::vector<TeskSubNetStruct> subnets;
    for (int i = 3; i < argc; ++i) {
        char begin[32], end[32], mask[32];
        int type = 0;
        if (sscanf(argv[i], "%31[^,],%31[^,],%31[^,],%d", begin, end, mask, &type) != 4) return 2;
        subnets.push_back(MakeSubNet(begin, end, type, argv[1]));
        SET_TEXT(subnets.back().netmask, mask);
    }
    RegisterSelectPxeCallback(Choose, PrintReport);
    if (bEvents) RegisterBootEventCallback(ObserveEvent);
    int result = StartPXE(&server, subnets.data(), static_cast<int>(subnets.size()), nullptr, 0);
    if (result != 0) {
        fprintf(stderr, "StartPXE: %d\n", result);
        return 1;
    }
    if (bIpv6 && (result = StartPXEV6(&server6, &range6, 1, nullptr, 0)) != 0) {
        fprintf(stderr, "StartPXEV6: %d\n", result);
        StopPXE();
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    if (bWaitSignal) {
        int signal = 0;
        sigwait(&stops, &signal);
    } else {
        while (getchar() != EOF) {
        }
    }
    StopPXE();
    if (bEvents) printf("events %lu dropped %lld\n", g_nEvents, g_nDropped);
    return 0;
}
