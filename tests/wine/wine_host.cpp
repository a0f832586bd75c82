// A Windows host for the DLL, run under wine64 by the tests: loads
// Tavrel.dll with LoadLibrary, finds the four exports by name, starts the
// service from a configuration file, and obeys lines on standard input:
//   refresh SERVER_IP   re-apply the configuration with another address
//   stop                stop the service and exit
// Mirror reports are appended to the file named by "reports="; with
// "bootchoice=1" the host names each client's boot file after what the
// library told it (ChoiceText in support/pxe_config.h). With "events=FILE"
// it observes the boot events: one line each, "KIND REASON PORT MAC ADDRESS FILE".
// With "ipv6=ADDRESS,INTERFACE,BEGIN,END" it calls StartPXEV6 too, with one
// range and boot file ipxe.efi, as test_host's --ipv6 does; its result is
// printed as "start6 N".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Tavrel.h"
#include "support/pxe_config.h"

namespace {

using RegisterProc = void(__cdecl *)(SelectPxeServerProc, SelectMirrorServerToDBProc);
using StartProc = int(__cdecl *)(TeskPxeServerStruct *, TeskSubNetStruct *, int, TeskStaticDhcpStruct *, int);
using StopProc = int(__cdecl *)();
using RegisterBootProc = void(__cdecl *)(SelectBootFileProc);
using RegisterEventsProc = void(__cdecl *)(BootEventProc);
using StartV6Proc = int(__cdecl *)(const TeskPxeServerV6Struct *, const TeskSubNetV6Struct *, int,
                                   const TeskStaticDhcpV6Struct *, int);

std::string g_ReportPath;
std::string g_Choice;
bool g_bBootChoice = false;
std::string g_EventPath;

void TAVREL_CALLBACK StoreEvent(const BootEventRecord *event) {
    FILE *file = fopen(g_EventPath.c_str(), "a");
    if (!file) return;
    fprintf(file, "%d %d %d %02x:%02x:%02x:%02x:%02x:%02x %s %s\n", event->kind, event->reason, event->port,
            event->mac[0], event->mac[1], event->mac[2], event->mac[3], event->mac[4], event->mac[5], event->address,
            event->file);
    fclose(file);
}

int TAVREL_CALLBACK SelectBootFile(const SelectBootFileRecord *client, char *bootfile) {
    ChoiceText(*client, bootfile);
    return 1;
}

int TAVREL_CALLBACK SelectServer(const unsigned char *, char *server) {
    if (g_Choice.empty()) return 0;
    lstrcpynA(server, g_Choice.c_str(), 16);
    return 1;
}

int TAVREL_CALLBACK StoreReport(SelectMirrorRecord *record) {
    FILE *file = fopen(g_ReportPath.c_str(), "a");
    if (!file) return 0;
    fprintf(file, "%02x:%02x:%02x:%02x:%02x:%02x %s %s %s %s\n", record->mac[0], record->mac[1], record->mac[2],
            record->mac[3], record->mac[4], record->mac[5], record->ip, record->gateway, record->netmask,
            record->server);
    fclose(file);
    return 1;
}

void Copy(char *field, size_t size, const std::string &text) { lstrcpynA(field, text.c_str(), static_cast<int>(size)); }

std::vector<std::string> Split(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        parts.push_back(text.substr(start, comma - start));
    parts.push_back(text.substr(start));
    return parts;
}

struct Config {
    TeskPxeServerStruct server{};
    std::vector<TeskSubNetStruct> subnets;
    std::vector<TeskStaticDhcpStruct> statics;
    bool bIpv6 = false;
    TeskPxeServerV6Struct server6{};
    TeskSubNetV6Struct range6{};
};

// key=value lines: server, netmask, bootfile, root, relay1, relay2, mode,
// range=begin,end,mask,dns1,dns2,gateway,type  static=mac,ip,mask,dns1,dns2,gateway
// reports=FILE  choice=IP  ipv6=address,interface,begin,end
bool Load(const char *path, Config *config) {
    FILE *file = fopen(path, "r");
    if (!file) return false;
    char line[1024];
    while (fgets(line, sizeof line, file)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        size_t eq = text.find('=');
        if (eq == std::string::npos) continue;
        std::string key = text.substr(0, eq), value = text.substr(eq + 1);
        TeskPxeServerStruct &s = config->server;
        if (key == "server") Copy(s.ServerIP, sizeof s.ServerIP, value);
        if (key == "netmask") Copy(s.NetMask, sizeof s.NetMask, value);
        if (key == "bootfile") Copy(s.bootfile, sizeof s.bootfile, value);
        if (key == "root") Copy(s.rootpath, sizeof s.rootpath, value);
        if (key == "relay1") Copy(s.relaytext1, sizeof s.relaytext1, value);
        if (key == "relay2") Copy(s.relaytext2, sizeof s.relaytext2, value);
        if (key == "mode") s.dhcpmode = atoi(value.c_str());
        if (key == "reports") g_ReportPath = value;
        if (key == "choice") g_Choice = value;
        if (key == "bootchoice") g_bBootChoice = value == "1";
        if (key == "events") g_EventPath = value;
        std::vector<std::string> p = Split(value);
        if (key == "range" && p.size() == 7) {
            TeskSubNetStruct r{};
            Copy(r.beginip, 32, p[0]), Copy(r.endip, 32, p[1]), Copy(r.netmask, 32, p[2]);
            Copy(r.dns1, 32, p[3]), Copy(r.dns2, 32, p[4]), Copy(r.netgate, 32, p[5]);
            r.nDhcpType = atoi(p[6].c_str());
            config->subnets.push_back(r);
        }
        if (key == "static" && p.size() == 6) {
            TeskStaticDhcpStruct r{};
            Copy(r.mac, 20, p[0]), Copy(r.ip, 32, p[1]), Copy(r.netmask, 32, p[2]);
            Copy(r.dns1, 32, p[3]), Copy(r.dns2, 32, p[4]), Copy(r.netgate, 32, p[5]);
            config->statics.push_back(r);
        }
        if (key == "ipv6" && p.size() == 4) {
            TeskPxeServerV6Struct &v6 = config->server6;
            Copy(v6.ServerIP, sizeof v6.ServerIP, p[0]), Copy(v6.ifname, sizeof v6.ifname, p[1]);
            Copy(v6.bootfile, sizeof v6.bootfile, "ipxe.efi");
            Copy(config->range6.beginip, 64, p[2]), Copy(config->range6.endip, 64, p[3]);
            config->bIpv6 = true;
        }
    }
    fclose(file);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s Tavrel.dll CONFIG\n", argv[0]);
        return 2;
    }
    HMODULE library = LoadLibraryA(argv[1]);
    if (!library) {
        printf("LoadLibrary failed %lu\n", GetLastError());
        return 3;
    }
    auto registerCallbacks = reinterpret_cast<RegisterProc>(reinterpret_cast<void (*)()>(GetProcAddress(library, "RegisterSelectPxeCallback")));
    auto start = reinterpret_cast<StartProc>(reinterpret_cast<void (*)()>(GetProcAddress(library, "StartPXE")));
    auto refresh = reinterpret_cast<StartProc>(reinterpret_cast<void (*)()>(GetProcAddress(library, "RefreshPXE")));
    auto stop = reinterpret_cast<StopProc>(reinterpret_cast<void (*)()>(GetProcAddress(library, "StopPXE")));
    if (!registerCallbacks || !start || !refresh || !stop || !GetProcAddress(library, "RegisterRenderTftpFileCallback") ||
        !GetProcAddress(library, "RegisterSelectBootFileCallbackEx")) {
        printf("missing export\n");
        return 4;
    }
    Config config;
    if (!Load(argv[2], &config)) return 5;
    registerCallbacks(SelectServer, StoreReport);
    if (g_bBootChoice) {
        auto registerBoot = reinterpret_cast<RegisterBootProc>(
            reinterpret_cast<void (*)()>(GetProcAddress(library, "RegisterSelectBootFileCallback")));
        if (!registerBoot) {
            printf("missing export\n");
            return 4;
        }
        registerBoot(SelectBootFile);
    }
    if (!g_EventPath.empty()) {
        auto registerEvents = reinterpret_cast<RegisterEventsProc>(
            reinterpret_cast<void (*)()>(GetProcAddress(library, "RegisterBootEventCallback")));
        if (!registerEvents) {
            printf("missing export\n");
            return 4;
        }
        registerEvents(StoreEvent);
    }
    auto apply = [&config](StartProc proc) {
        return proc(&config.server, config.subnets.data(), static_cast<int>(config.subnets.size()),
                    config.statics.data(), static_cast<int>(config.statics.size()));
    };
    printf("start %d\n", apply(start));
    if (config.bIpv6) {
        auto startV6 = reinterpret_cast<StartV6Proc>(reinterpret_cast<void (*)()>(GetProcAddress(library, "StartPXEV6")));
        if (!startV6) {
            printf("missing export\n");
            return 4;
        }
        printf("start6 %d\n", startV6(&config.server6, &config.range6, 1, nullptr, 0));
    }
    fflush(stdout);
    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        if (strncmp(line, "refresh ", 8) == 0) {
            line[strcspn(line, "\r\n")] = '\0';
            Copy(config.server.ServerIP, sizeof config.server.ServerIP, line + 8);
            printf("refresh %d\n", apply(refresh));
        } else if (strncmp(line, "stop", 4) == 0) {
            break;
        }
        fflush(stdout);
    }
    printf("stop %d\n", stop());
    fflush(stdout);
    FreeLibrary(library);
    return 0;
}
