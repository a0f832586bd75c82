// A minimal host for interop tests and benchmarks: starts the service from
// its arguments, prints "ready", and stops when its standard input closes
// (or, with --wait-signal, on SIGTERM or SIGINT).
//   test_host [--wait-signal] SERVER_IP ROOT [BEGIN,END,MASK,TYPE]...
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Tavrel.h"
#include "support/pxe_config.h"

static int TAVREL_CALLBACK NoChoice(const unsigned char *, char *) { return 0; }
static int TAVREL_CALLBACK AcceptReport(SelectMirrorRecord *) { return 1; }

int main(int argc, char **argv) {
    bool bWaitSignal = argc > 1 && strcmp(argv[1], "--wait-signal") == 0;
    if (bWaitSignal) {
        --argc;
        ++argv;
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
    RegisterSelectPxeCallback(NoChoice, AcceptReport);
    int result = StartPXE(&server, subnets.data(), static_cast<int>(subnets.size()), nullptr, 0);
    if (result != 0) {
        fprintf(stderr, "StartPXE: %d\n", result);
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
    return 0;
}
