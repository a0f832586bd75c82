// How long StopPXE takes for an idle service (median and maximum over a
// number of start/stop rounds). Binds the service's ports: run it inside a
// namespace, e.g. tests/netns-run build/linux/bench/stop_bench.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Tavrel.h"
#include "support/pxe_config.h"

static int TAVREL_CALLBACK NoChoice(const unsigned char *, char *) { return 0; }
static int TAVREL_CALLBACK AcceptReport(SelectMirrorRecord *) { return 1; }

int main(int argc, char **argv) {
    int rounds = argc > 1 ? std::stoi(argv[1]) : 50;
    RegisterSelectPxeCallback(NoChoice, AcceptReport);
    TeskPxeServerStruct server = MakeServer("127.0.0.1");
    TeskSubNetStruct subnet = MakeSubNet("127.0.0.10", "127.0.0.20", 1);
    std::vector<double> millis;
    for (int i = 0; i < rounds; ++i) {
        if (StartPXE(&server, &subnet, 1, nullptr, 0) != 0) {
            fprintf(stderr, "StartPXE failed (run inside a network namespace)\n");
            return 1;
        }
        auto begin = std::chrono::steady_clock::now();
        StopPXE();
        millis.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
    }
    std::sort(millis.begin(), millis.end());
    fprintf(stderr, "\n");
    printf("StopPXE of an idle service, %d rounds: median %.3f ms, max %.3f ms\n", rounds, millis[millis.size() / 2],
           millis.back());
    return 0;
}
