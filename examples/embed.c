/* The embedding example of the README, built with the project so it stays true. */
#include <stdio.h>
#include <string.h>
#include "Tavrel.h"

/* Return 1 after writing the address of the server that is to serve this MAC. */
static int TAVREL_CALLBACK choose(const unsigned char *mac, char *server) {
    (void)mac;
    (void)server;
    return 0;                          /* this host serves every client */
}

static int TAVREL_CALLBACK report(SelectMirrorRecord *r) {
    printf("%02x:..:%02x booted as %s, server %s\n", r->mac[0], r->mac[5], r->ip, r->server);
    return 1;
}

int main(void) {
    TeskPxeServerStruct server = {0};
    TeskSubNetStruct range = {0};
    strcpy(server.ServerIP, "192.0.2.1");
    strcpy(server.NetMask, "255.255.255.0");
    strcpy(server.bootfile, "boot.ipxe");
    strcpy(server.rootpath, "/srv/tftp");
    strcpy(range.beginip, "192.0.2.100");
    strcpy(range.endip, "192.0.2.150");
    strcpy(range.netmask, "255.255.255.0");
    strcpy(range.netgate, "192.0.2.1");
    strcpy(range.dns1, "192.0.2.1");
    range.nDhcpType = 1; /* boot-stage clients */

    RegisterSelectPxeCallback(choose, report);
    if (StartPXE(&server, &range, 1, NULL, 0) != 0) return 1;
    getchar();                         /* serve until Enter */
    StopPXE();
    return 0;
}
