// Building configuration records the way a host does.
#pragma once

#include <cstdio>
#include <cstring>
#include <vector>

#include "Tavrel.h"

inline void SetText(char *field, size_t size, const char *text) { snprintf(field, size, "%s", text); }
#define SET_TEXT(field, text) SetText(field, sizeof(field), text)

inline TeskPxeServerStruct MakeServer(const char *ip, const char *rootpath = "/tmp") {
    TeskPxeServerStruct server{};
    SET_TEXT(server.ServerIP, ip);
    SET_TEXT(server.NetMask, "255.255.255.0");
    SET_TEXT(server.relaytext1, "relay one");
    SET_TEXT(server.relaytext2, "relay two");
    SET_TEXT(server.bootfile, "pxelinux.0");
    SET_TEXT(server.rootpath, rootpath);
    return server;
}

inline TeskSubNetStruct MakeSubNet(const char *begin, const char *end, int type, const char *gateway = "192.0.2.254") {
    TeskSubNetStruct subnet{};
    SET_TEXT(subnet.beginip, begin);
    SET_TEXT(subnet.endip, end);
    SET_TEXT(subnet.netmask, "255.255.255.0");
    SET_TEXT(subnet.dns1, "192.0.2.53");
    SET_TEXT(subnet.dns2, "192.0.2.54");
    SET_TEXT(subnet.netgate, gateway);
    subnet.nDhcpType = type;
    return subnet;
}

inline TeskStaticDhcpStruct MakeStatic(const char *mac, const char *ip) {
    TeskStaticDhcpStruct entry{};
    SET_TEXT(entry.mac, mac);
    SET_TEXT(entry.ip, ip);
    SET_TEXT(entry.netmask, "255.255.255.0");
    SET_TEXT(entry.dns1, "192.0.2.53");
    SET_TEXT(entry.dns2, "192.0.2.54");
    SET_TEXT(entry.netgate, "192.0.2.254");
    return entry;
}

// A boot file named after everything the library passed to the host, so a
// test sees that the record crossed the library boundary intact.
inline void ChoiceText(const SelectBootFileRecord &client, char *bootfile) {
    snprintf(bootfile, 128, "%02x%02x-%d-%.16s-%.32s", client.mac[0], client.mac[5], client.arch, client.userclass,
             client.vendorclass);
}

// For the fuzzers: no choice, a name filling all 128 bytes with no zero, a
// URL, or a name made of the record's texts.
inline int TAVREL_CALLBACK AnyBootFile(const SelectBootFileRecord *client, char *bootfile) {
    switch (client->mac[4] % 4) {
        case 0: return 0;
        case 1: memset(bootfile, 'h', 128); return 1;
        case 2: snprintf(bootfile, 128, "http://10.0.0.1/%d", client->arch); return 1;
        default: ChoiceText(*client, bootfile); return 1;
    }
}
