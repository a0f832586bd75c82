/* Runs in the booted demo machine: asks the server on UDP 4455 for this
 * machine's address (operation 1), prints the answer, then reports the
 * chosen mirror (operation 2), as a diskless client of a Tavrel site does.
 *   mirror_client IFACE */
#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { PACK = 292, MAGIC = 0x6D75 };

static int ReadMac(const char *iface, unsigned char mac[6]) {
    char path[128];
    snprintf(path, sizeof path, "/sys/class/net/%s/address", iface);
    FILE *file = fopen(path, "r");
    unsigned m[6];
    int ok = file && fscanf(file, "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) == 6;
    if (file) fclose(file);
    for (int i = 0; ok && i < 6; ++i) mac[i] = (unsigned char)m[i];
    return ok;
}

static void Put32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (unsigned char)(v >> (8 * i));
}

static uint32_t Get32(const unsigned char *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

/* Waits for a whole pack of the given operation, skipping our own broadcasts
 * and the answers meant for other machines. */
static int Await(int fd, const unsigned char *mac, unsigned char *pack, uint32_t op) {
    for (int tries = 0; tries < 50; ++tries) {
        struct pollfd probe = {fd, POLLIN, 0};
        if (poll(&probe, 1, 3000) != 1) return 0;
        int got = (int)recv(fd, pack, PACK, 0);
        if (got == PACK && Get32(pack + 12) == op && memcmp(pack + 4, mac, 6) == 0) return 1;
    }
    return 0;
}

int main(int argc, char **argv) {
    const char *iface = argc > 1 ? argv[1] : "eth0";
    unsigned char mac[6], pack[PACK], answer[PACK];
    if (!ReadMac(iface, mac)) return 1;
    int fd = socket(AF_INET, SOCK_DGRAM, 0), on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, iface, (socklen_t)strlen(iface) + 1);
    struct sockaddr_in local = {0}, to = {0};
    local.sin_family = to.sin_family = AF_INET;
    local.sin_port = to.sin_port = htons(4455);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    if (bind(fd, (struct sockaddr *)&local, sizeof local) != 0) return 2;

    memset(pack, 0, sizeof pack);
    Put32(pack, MAGIC);
    memcpy(pack + 4, mac, 6);
    Put32(pack + 12, 1);
    sendto(fd, pack, PACK, 0, (struct sockaddr *)&to, sizeof to);
    if (!Await(fd, mac, answer, 2)) {
        printf("mirror_client: no answer to the address request\n");
        return 3;
    }
    char ip[16], mask[16], gateway[16], server[16];
    inet_ntop(AF_INET, answer + 16, ip, sizeof ip);
    inet_ntop(AF_INET, answer + 20, mask, sizeof mask);
    inet_ntop(AF_INET, answer + 24, gateway, sizeof gateway);
    inet_ntop(AF_INET, answer + 28, server, sizeof server);
    printf("mirror_client: address %s netmask %s gateway %s server %s\n", ip, mask, gateway, server);
    printf("mirror_client: text1 \"%.127s\" text2 \"%.127s\" host choice %d\n", answer + 32, answer + 160, answer[288]);

    /* The report carries the addresses as little-endian numbers, most
     * significant octet first in the dotted text. */
    memset(pack, 0, sizeof pack);
    Put32(pack, MAGIC);
    memcpy(pack + 4, mac, 6);
    Put32(pack + 12, 2);
    for (int field = 16; field <= 28; field += 4) Put32(pack + field, ntohl(*(uint32_t *)(answer + field)));
    /* A report is not answered: the host's store is where it shows. */
    sendto(fd, pack, PACK, 0, (struct sockaddr *)&to, sizeof to);
    printf("mirror_client: selection report sent\n");
    return 0;
}
