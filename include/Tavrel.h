/*
 * Tavrel: embeddable network-boot (PXE) server.
 *
 * The host registers two callbacks (and, optionally, a third that chooses
 * the boot file per client), then starts the service with one
 * configuration record and two arrays. Every record below crosses the
 * library boundary as a fixed byte layout: little-endian, no padding,
 * NUL-terminated ASCII texts, 32-bit signed integers.
 */
#ifndef TAVREL_H
#define TAVREL_H

#include <stddef.h>

#if defined(_WIN32)
#  if defined(TAVREL_BUILDING)
#    define TAVREL_API __declspec(dllexport)
#  else
#    define TAVREL_API __declspec(dllimport)
#  endif
#  define TAVREL_CALLBACK __stdcall
#  define TAVREL_CDECL __cdecl
#else
#  define TAVREL_API __attribute__((visibility("default")))
#  define TAVREL_CALLBACK
#  define TAVREL_CDECL
#endif

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

typedef struct TeskPxeServerStruct {
    char ServerIP[32];
    char relaytext1[128];
    char relaytext2[128];
    char NetMask[32];
    int dhcpmode;        /* 0: dynamic ranges allowed; other: static entries only */
    char bootfile[100];
    char rootpath[256];
} TeskPxeServerStruct;

typedef struct TeskSubNetStruct {
    char beginip[32];
    char endip[32];
    char netmask[32];
    char dns1[32];
    char dns2[32];
    char netgate[32];
    int nDhcpType;       /* 1: boot-stage clients; 2: every other DHCP client */
} TeskSubNetStruct;

typedef struct TeskStaticDhcpStruct {
    char mac[20];        /* "00:1a:2b:3c:4d:5e", either letter case */
    char ip[32];
    char netmask[32];
    char dns1[32];
    char dns2[32];
    char netgate[32];
} TeskStaticDhcpStruct;

typedef struct SelectMirrorRecord {
    unsigned char mac[6];
    char ip[16];
    char gateway[16];
    char netmask[16];
    char server[16];
} SelectMirrorRecord;

/* What a booting client told about itself, for the optional boot-file choice.
 * Texts hold the option's bytes up to the first zero byte, NUL-terminated;
 * empty when the client did not send the option. */
typedef struct SelectBootFileRecord {
    unsigned char mac[6];
    unsigned char flags;       /* TAVREL_BOOT_CLIENT_* */
    unsigned char reserved;    /* zero */
    int arch;            /* option 93 (client architecture), first value; when absent, the
                          * decimal architecture of option 60 "PXEClient:Arch:NNNNN"; else -1 */
    char userclass[256]; /* option 77, such as "iPXE" */
    char vendorclass[256]; /* option 60, such as "PXEClient:Arch:00007:UNDI:003000" */
} SelectBootFileRecord;

#pragma pack(pop)

/* SelectBootFileRecord.flags: the request carries option 175, so the client
 * is iPXE even when it sends no user class. */
#define TAVREL_BOOT_CLIENT_IPXE 0x01

/* Returns 1 after writing the dotted address of the server that is to serve
 * this client into the 16-byte buffer; any other value makes no choice. */
typedef int (TAVREL_CALLBACK *SelectPxeServerProc)(const unsigned char *mac, char *server);
/* Returns 1 when the mirror report was taken. */
typedef int (TAVREL_CALLBACK *SelectMirrorServerToDBProc)(SelectMirrorRecord *record);
/* Optional. Returns 1 after writing a boot-file name of at most 127 characters
 * (NUL-terminated) into the 128-byte buffer; any other value keeps the
 * configured bootfile. For a client whose vendor class begins "HTTPClient"
 * (UEFI HTTP Boot) a name beginning "http://" or "https://" is sent as its
 * boot URL. */
typedef int (TAVREL_CALLBACK *SelectBootFileProc)(const SelectBootFileRecord *client, char *bootfile);

TAVREL_API void TAVREL_CDECL RegisterSelectPxeCallback(SelectPxeServerProc selectPxeServer,
                                                       SelectMirrorServerToDBProc selectMirrorServerToDB);
/* Optional, before or after StartPXE; a null function removes the choice. */
TAVREL_API void TAVREL_CDECL RegisterSelectBootFileCallback(SelectBootFileProc selectBootFile);
TAVREL_API int TAVREL_CDECL StartPXE(TeskPxeServerStruct *IN_lpTeskPxeServerStruct,
                                     TeskSubNetStruct *lpSubNet, int nSubNetLen,
                                     TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen);
TAVREL_API int TAVREL_CDECL RefreshPXE(TeskPxeServerStruct *IN_lpTeskPxeServerStruct,
                                       TeskSubNetStruct *lpSubNet, int nSubNetLen,
                                       TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen);
TAVREL_API int TAVREL_CDECL StopPXE(void);

#ifdef __cplusplus
}
#endif

/* The layouts are part of the interface: any drift is a build error. */
#if defined(__cplusplus)
#  define TAVREL_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#  define TAVREL_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
TAVREL_STATIC_ASSERT(sizeof(TeskPxeServerStruct) == 680, "TeskPxeServerStruct size");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerStruct, relaytext1) == 32, "relaytext1");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerStruct, relaytext2) == 160, "relaytext2");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerStruct, NetMask) == 288, "NetMask");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerStruct, dhcpmode) == 320, "dhcpmode");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerStruct, bootfile) == 324, "bootfile");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerStruct, rootpath) == 424, "rootpath");
TAVREL_STATIC_ASSERT(sizeof(TeskSubNetStruct) == 196, "TeskSubNetStruct size");
TAVREL_STATIC_ASSERT(offsetof(TeskSubNetStruct, endip) == 32, "endip");
TAVREL_STATIC_ASSERT(offsetof(TeskSubNetStruct, netmask) == 64, "netmask");
TAVREL_STATIC_ASSERT(offsetof(TeskSubNetStruct, dns1) == 96, "dns1");
TAVREL_STATIC_ASSERT(offsetof(TeskSubNetStruct, dns2) == 128, "dns2");
TAVREL_STATIC_ASSERT(offsetof(TeskSubNetStruct, netgate) == 160, "netgate");
TAVREL_STATIC_ASSERT(offsetof(TeskSubNetStruct, nDhcpType) == 192, "nDhcpType");
TAVREL_STATIC_ASSERT(sizeof(TeskStaticDhcpStruct) == 180, "TeskStaticDhcpStruct size");
TAVREL_STATIC_ASSERT(offsetof(TeskStaticDhcpStruct, ip) == 20, "ip");
TAVREL_STATIC_ASSERT(offsetof(TeskStaticDhcpStruct, netmask) == 52, "static netmask");
TAVREL_STATIC_ASSERT(offsetof(TeskStaticDhcpStruct, dns1) == 84, "static dns1");
TAVREL_STATIC_ASSERT(offsetof(TeskStaticDhcpStruct, dns2) == 116, "static dns2");
TAVREL_STATIC_ASSERT(offsetof(TeskStaticDhcpStruct, netgate) == 148, "static netgate");
TAVREL_STATIC_ASSERT(sizeof(SelectMirrorRecord) == 70, "SelectMirrorRecord size");
TAVREL_STATIC_ASSERT(offsetof(SelectMirrorRecord, ip) == 6, "mirror ip");
TAVREL_STATIC_ASSERT(offsetof(SelectMirrorRecord, gateway) == 22, "mirror gateway");
TAVREL_STATIC_ASSERT(offsetof(SelectMirrorRecord, netmask) == 38, "mirror netmask");
TAVREL_STATIC_ASSERT(offsetof(SelectMirrorRecord, server) == 54, "mirror server");
TAVREL_STATIC_ASSERT(sizeof(SelectBootFileRecord) == 524, "SelectBootFileRecord size");
TAVREL_STATIC_ASSERT(offsetof(SelectBootFileRecord, flags) == 6, "boot flags");
TAVREL_STATIC_ASSERT(offsetof(SelectBootFileRecord, arch) == 8, "boot arch");
TAVREL_STATIC_ASSERT(offsetof(SelectBootFileRecord, userclass) == 12, "boot userclass");
TAVREL_STATIC_ASSERT(offsetof(SelectBootFileRecord, vendorclass) == 268, "boot vendorclass");
#undef TAVREL_STATIC_ASSERT

#endif /* TAVREL_H */
