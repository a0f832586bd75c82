/*
 * Tavrel: embeddable network-boot (PXE) server.
 *
 * The host registers two callbacks (and, optionally, a third that chooses
 * the boot file per client and a fourth that observes boot events), then
 * starts the service with one configuration record and two arrays. Every record below crosses the
 * library boundary as a fixed byte layout: little-endian, no padding,
 * NUL-terminated ASCII texts, 32-bit signed integers (64-bit for the
 * counts and times of boot events).
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

/* What the services did, for the optional boot-event observer. kind is one
 * of TAVREL_EVENT_*, reason one of TAVREL_REASON_* (0 when all went well).
 * Fields a kind does not use are zero, or -1 where zero is a value. */
typedef struct BootEventRecord {
    int kind;
    int reason;
    long long time;      /* seconds since 1970-01-01 UTC */
    long long dropped;   /* events dropped so far because the observer was slow */
    unsigned char mac[6];  /* all zero when unknown (TFTP knows only the address) */
    unsigned char reserved[2]; /* zero */
    char address[16];    /* DHCP: the address offered or acknowledged; otherwise the client's source */
    int port;            /* the service's UDP port: 67, 4011, 4455 or 69 */
    int messagetype;     /* DHCP: the type sent (answer) or received (no answer) */
    int arch;            /* option 93, first value; -1 when absent */
    char userclass[64];  /* option 77, such as "iPXE" */
    char file[128];      /* DHCP: the boot file chosen; TFTP: the file asked for */
    long long size;      /* TFTP: the file's size; -1 when unknown */
    long long bytes;     /* TFTP: bytes of the file sent */
    int blksize;         /* TFTP: block size in use */
    int windowsize;      /* TFTP: blocks per acknowledgement */
    int durationms;      /* TFTP: from the request to the end */
    int result;          /* TFTP ended: 1 when the whole file was acknowledged, else 0 */
    char server[16];     /* 4455: the server chosen or reported */
} BootEventRecord;

/* IPv6 boot (optional, beside or without StartPXE): DHCPv6 on UDP 547 and
 * TFTP on the server's IPv6 address. Texts are NUL-terminated; addresses in
 * any IPv6 text form. */
typedef struct TeskPxeServerV6Struct {
    char ServerIP[64];     /* the server's IPv6 address; a link-local one needs ifname */
    char ifname[64];       /* the interface to serve on: a name ("eth0"; on Windows the adapter's
                            * shown name, "Ethernet") or an index ("3"); empty: the interface
                            * that holds ServerIP */
    char bootfile[128];    /* sent as tftp://[ServerIP]/bootfile; a URL ("http://[...]/...") as it is */
    char rootpath[256];    /* the TFTP folder; empty: StartPXE's rootpath, else no TFTP on IPv6 */
    char vetoname[32];     /* the name SelectPxeServerProc gives this server (its dotted IPv4
                            * address, as on IPv4); empty: StartPXE's ServerIP when it runs */
    char raprefix[64];     /* router advertisement: the prefix ("2001:db8:1::/64") */
    int routeradvert;      /* 1: advertise raprefix with the managed and other flags and router
                            * lifetime 0; 0 (the default): send none */
    int dhcpmode;          /* 0: ranges and static entries; other: static entries only */
    int reserved[8];       /* zero */
} TeskPxeServerV6Struct;

typedef struct TeskSubNetV6Struct {
    char beginip[64];
    char endip[64];
    char dns1[64];
    char dns2[64];
    int nDhcpType;         /* 1: boot-stage clients; 2: every other client; 0: both */
    int reserved[3];       /* zero */
} TeskSubNetV6Struct;

typedef struct TeskStaticDhcpV6Struct {
    char duid[264];        /* the client's DUID in hex, colons optional; empty: matched by mac */
    char mac[20];          /* "00:1a:2b:3c:4d:5e"; used when duid is empty */
    char ip[64];
    int reserved[3];       /* zero */
} TeskStaticDhcpV6Struct;

/* A boot event of an IPv6 client or service: base as for IPv4, with
 * base.address empty (and base.mac all zero when the MAC is unknown); the
 * address and the client's DUID here. base.port is 547 or 69. */
typedef struct BootEventRecordV6 {
    BootEventRecord base;
    char address[64];      /* DHCPv6: the address bound or offered; otherwise the client's source */
    char clientkey[272];   /* "duid-<hex>" (lowercase) when the DUID is known, else empty */
} BootEventRecordV6;

#pragma pack(pop)

/* SelectBootFileRecord.flags: the request carries option 175, so the client
 * is iPXE even when it sends no user class. */
#define TAVREL_BOOT_CLIENT_IPXE 0x01
/* The client asked over DHCPv6; its mac is all zero when unknown. */
#define TAVREL_BOOT_CLIENT_IPV6 0x02

#define TAVREL_EVENT_DHCP_ANSWER 1      /* an OFFER, ACK or NAK went out */
#define TAVREL_EVENT_DHCP_UNANSWERED 2  /* a DHCP request got no answer; reason says why */
#define TAVREL_EVENT_MIRROR_REQUEST 3   /* UDP 4455: a client asked which server serves it */
#define TAVREL_EVENT_MIRROR_REPORT 4    /* UDP 4455: a client reported where it booted from */
#define TAVREL_EVENT_TFTP_STARTED 5
#define TAVREL_EVENT_TFTP_ENDED 6
#define TAVREL_EVENT_TFTP_REFUSED 7
#define TAVREL_EVENT_TFTP_PROGRESS 8    /* a transfer under way: bytes and durationms so far, at most once a
                                         * second per transfer; a host that knows no such kind ignores it */
#define TAVREL_EVENT_ADDRESS_IN_USE 9   /* a probe (ICMP echo) was answered: address is offered to nobody
                                         * for a while; reason TAVREL_REASON_ADDRESS_PROBE, port 67 */

#define TAVREL_REASON_NONE 0
#define TAVREL_REASON_HOST_DECLINED 1      /* the host's choice named another server */
#define TAVREL_REASON_NO_FREE_ADDRESS 2
#define TAVREL_REASON_RELAY_NOT_ALLOWED 3
#define TAVREL_REASON_MALFORMED 4
#define TAVREL_REASON_DECLINED_ADDRESS 5   /* the client declined the address (DHCPDECLINE) */
#define TAVREL_REASON_OTHER_SERVER 6       /* the client took another server's offer */
#define TAVREL_REASON_NOT_ANSWERED_TYPE 7  /* a message type this server does not answer */
#define TAVREL_REASON_NO_RANGE_FOR_CLASS 8 /* no range serves the client's class (nDhcpType), or ranges are off */
#define TAVREL_REASON_ADDRESS_PROBE 9      /* its address awaits a probe (ICMP echo) before the first offer */
#define TAVREL_REASON_UNKNOWN_LEASE 10     /* RENEWING or REBINDING on a free address of ours, whose lease this
                                            * server has no record of: NAKed when sent to this server, else
                                            * not answered (a forged request, or a lease file lost) */
#define TAVREL_REASON_RELEASED_ADDRESS 11  /* DHCPv6: the REPLY to a RELEASE; the address is free again */
#define TAVREL_REASON_NOT_FOUND 20
#define TAVREL_REASON_OUTSIDE_FOLDER 21
#define TAVREL_REASON_TIMEOUT 22
#define TAVREL_REASON_CLIENT_ERROR 23      /* the client sent an ERROR */
#define TAVREL_REASON_NAME_REFUSED 24      /* a name the boot folder rules refuse */
#define TAVREL_REASON_READ_FAILED 25       /* the file could not be read (changed or shrunk) */
#define TAVREL_REASON_BUSY 26              /* no room for another transfer */
#define TAVREL_REASON_UNACKNOWLEDGED 27    /* its first answer stayed unacknowledged: taken back (an abandoned
                                            * or forged request) */

/* Optional: boot events with the firmware quirks that fired for the
 * datagram that caused them (RegisterBootEventCallbackEx). IPv4 events only,
 * as RegisterBootEventCallback has them; both observers may be registered. */
#define TAVREL_QUIRK_ARCH_7_9 0x0001           /* option 93 of 7 or 9: x64 UEFI either way */
#define TAVREL_QUIRK_ARCH_IN_CLASS 0x0002      /* architecture read from option 60 */
#define TAVREL_QUIRK_IPXE 0x0004               /* iPXE, by option 175 or user class */
#define TAVREL_QUIRK_SIZE_PROBE 0x0008         /* TFTP: ERROR 8 after the OACK, a size probe */
#define TAVREL_QUIRK_EARLY_ABORT 0x0010        /* TFTP: another ERROR before the first block, a probe */
#define TAVREL_QUIRK_HTTP_BOOT 0x0020          /* vendor class "HTTPClient": a booting client */
#define TAVREL_QUIRK_RASPBERRY_PI 0x0040       /* answered as a Raspberry Pi */
#define TAVREL_QUIRK_PI_REQUEST 0x0080         /* a Pi's DHCPREQUEST without option 60 */
#define TAVREL_QUIRK_RESENT_REQUEST 0x0100     /* TFTP: a request re-sent past our OACK, answered without options */
#define TAVREL_QUIRK_BROADCAST 0x0200          /* the answer was broadcast for a client without ARP */
#define TAVREL_QUIRK_SOURCE_PORT_4011 0x0400   /* a 4011 request from port 4011, answered there */
#define TAVREL_QUIRK_PI_SERIAL_FOLDER 0x0800   /* TFTP: "<serial>/name" served from the root */
#define TAVREL_QUIRK_FOREIGN_PXE_OFFER 0x1000  /* a UEFI client at 4011 this server offered nothing */
#define TAVREL_QUIRK_IPXE_CHAIN_LOOP 0x2000    /* iPXE given an iPXE binary again */
#pragma pack(push, 1)
typedef struct BootEventRecordEx {
    BootEventRecord base;   /* as RegisterBootEventCallback's observer gets it */
    unsigned int quirks;    /* TAVREL_QUIRK_* */
    char quirknames[124];   /* the same by name, comma-separated: "arch-7-9,ipxe"; empty when none */
} BootEventRecordEx;
#pragma pack(pop)
typedef void (TAVREL_CALLBACK *BootEventProcEx)(const BootEventRecordEx *event);

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

/* Optional. Called on one thread of the library's own, never on a thread
 * that answers clients; a slow observer loses events (counted in dropped)
 * but never delays an answer. The record is valid during the call only. */
typedef void (TAVREL_CALLBACK *BootEventProc)(const BootEventRecord *event);

TAVREL_API void TAVREL_CDECL RegisterSelectPxeCallback(SelectPxeServerProc selectPxeServer,
                                                       SelectMirrorServerToDBProc selectMirrorServerToDB);
/* Optional, before or after StartPXE; a null function removes the choice. */
TAVREL_API void TAVREL_CDECL RegisterSelectBootFileCallback(SelectBootFileProc selectBootFile);
/* Optional, before or after StartPXE; a null function removes the observer.
 * StopPXE delivers the events still queued before it returns. */
TAVREL_API void TAVREL_CDECL RegisterBootEventCallback(BootEventProc onBootEvent);
/* Optional, before or after StartPXE; a null function removes it. */
TAVREL_API void TAVREL_CDECL RegisterBootEventCallbackEx(BootEventProcEx onBootEvent);
TAVREL_API int TAVREL_CDECL StartPXE(TeskPxeServerStruct *IN_lpTeskPxeServerStruct,
                                     TeskSubNetStruct *lpSubNet, int nSubNetLen,
                                     TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen);
TAVREL_API int TAVREL_CDECL RefreshPXE(TeskPxeServerStruct *IN_lpTeskPxeServerStruct,
                                       TeskSubNetStruct *lpSubNet, int nSubNetLen,
                                       TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen);
TAVREL_API int TAVREL_CDECL StopPXE(void);
/* Optional: IPv6 events, as RegisterBootEventCallback; IPv4 events keep
 * going to the IPv4 observer alone. */
typedef void (TAVREL_CALLBACK *BootEventProcV6)(const BootEventRecordV6 *event);
TAVREL_API void TAVREL_CDECL RegisterBootEventCallbackV6(BootEventProcV6 onBootEvent);
/* Optional: starts IPv6 boot. 0 when serving; StopPXE stops it. */
TAVREL_API int TAVREL_CDECL StartPXEV6(const TeskPxeServerV6Struct *lpServer,
                                       const TeskSubNetV6Struct *lpSubNet, int nSubNetLen,
                                       const TeskStaticDhcpV6Struct *lpStatic, int nStaticLen);

/* Optional: the client's identity for the boot-file choice, on either
 * family. When registered it is called instead of SelectBootFileProc, with
 * the same meaning of the result and of bootfile, and one more result:
 * TAVREL_BOOT_CHOICE_SILENT leaves the client unanswered (counted as
 * TAVREL_REASON_HOST_DECLINED). */
#define TAVREL_UUID_NONE 0
#define TAVREL_UUID_OPTION97 1  /* DHCPv4 option 97, type 0: the 16 bytes after the type */
#define TAVREL_UUID_DUID 2      /* DHCPv6 DUID-UUID (type 4): the 16 bytes after the type */
#define TAVREL_BOOT_CHOICE_SILENT 2
typedef struct SelectBootFileRecordEx {
    SelectBootFileRecord base;  /* as for SelectBootFileProc; flags tell the family */
    unsigned char uuid[16];     /* as on the wire; all zero when uuidsource is TAVREL_UUID_NONE */
    unsigned char uuidsource;   /* TAVREL_UUID_* */
    unsigned char macknown;     /* 1 when base.mac is the client's (an IPv6 client may not tell it) */
    unsigned char reserved[2];  /* zero */
    char address[64];           /* the address offered or leased, text; empty when none yet */
    char clientkey[272];        /* the lease key: "mac1-…" (hardware type 1), "id-…" or "duid-…" */
} SelectBootFileRecordEx;
typedef int (TAVREL_CALLBACK *SelectBootFileProcEx)(const SelectBootFileRecordEx *client, char *bootfile);
/* Optional, before or after StartPXE; a null function removes it. */
TAVREL_API void TAVREL_CDECL RegisterSelectBootFileCallbackEx(SelectBootFileProcEx selectBootFile);

/* Optional: files the host renders for one client, served over TFTP as a
 * file of the boot folder would be (options, windows and limits alike).
 * Called on a TFTP thread once per read request whose name the boot folder
 * rules allow, before the folder is looked at; it must return within a few
 * milliseconds. A result above capacity is answered as not found. */
#define TAVREL_RENDER_MAX_BYTES (1024 * 1024)
#define TAVREL_RENDER_NOT_MINE (-1)  /* serve the name from the boot folder as before */
#define TAVREL_RENDER_NOT_FOUND (-2) /* answer "file not found" */
typedef struct TftpRenderRecord {
    char file[256];             /* the name asked for, as the boot folder rules read it */
    char address[64];           /* the client's address, text */
    unsigned char mac[6];       /* from its lease; zero when macknown is 0 */
    unsigned char macknown;
    unsigned char reserved;     /* zero */
    int port;                   /* the client's UDP port */
} TftpRenderRecord;
/* Returns the number of bytes written into buffer (0..capacity, capacity
 * being TAVREL_RENDER_MAX_BYTES), or TAVREL_RENDER_NOT_MINE or
 * TAVREL_RENDER_NOT_FOUND. */
typedef int (TAVREL_CALLBACK *RenderTftpFileProc)(const TftpRenderRecord *request, unsigned char *buffer,
                                                  int capacity);
/* Optional, before or after StartPXE; a null function removes it. */
TAVREL_API void TAVREL_CDECL RegisterRenderTftpFileCallback(RenderTftpFileProc render);

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
TAVREL_STATIC_ASSERT(sizeof(BootEventRecord) == 300, "BootEventRecord size");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, time) == 8, "event time");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, dropped) == 16, "event dropped");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, mac) == 24, "event mac");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, address) == 32, "event address");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, port) == 48, "event port");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, messagetype) == 52, "event messagetype");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, arch) == 56, "event arch");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, userclass) == 60, "event userclass");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, file) == 124, "event file");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, size) == 252, "event size");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, bytes) == 260, "event bytes");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, blksize) == 268, "event blksize");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, windowsize) == 272, "event windowsize");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, durationms) == 276, "event durationms");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, result) == 280, "event result");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecord, server) == 284, "event server");
TAVREL_STATIC_ASSERT(sizeof(TeskPxeServerV6Struct) == 648, "TeskPxeServerV6Struct size");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerV6Struct, ifname) == 64, "v6 ifname");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerV6Struct, bootfile) == 128, "v6 bootfile");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerV6Struct, rootpath) == 256, "v6 rootpath");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerV6Struct, vetoname) == 512, "v6 vetoname");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerV6Struct, raprefix) == 544, "v6 raprefix");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerV6Struct, routeradvert) == 608, "v6 routeradvert");
TAVREL_STATIC_ASSERT(offsetof(TeskPxeServerV6Struct, dhcpmode) == 612, "v6 dhcpmode");
TAVREL_STATIC_ASSERT(sizeof(TeskSubNetV6Struct) == 272, "TeskSubNetV6Struct size");
TAVREL_STATIC_ASSERT(offsetof(TeskSubNetV6Struct, nDhcpType) == 256, "v6 nDhcpType");
TAVREL_STATIC_ASSERT(sizeof(TeskStaticDhcpV6Struct) == 360, "TeskStaticDhcpV6Struct size");
TAVREL_STATIC_ASSERT(offsetof(TeskStaticDhcpV6Struct, mac) == 264, "v6 static mac");
TAVREL_STATIC_ASSERT(offsetof(TeskStaticDhcpV6Struct, ip) == 284, "v6 static ip");
TAVREL_STATIC_ASSERT(sizeof(BootEventRecordEx) == 428, "BootEventRecordEx size");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecordEx, quirks) == 300, "event ex quirks");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecordEx, quirknames) == 304, "event ex quirknames");
TAVREL_STATIC_ASSERT(sizeof(BootEventRecordV6) == 636, "BootEventRecordV6 size");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecordV6, address) == 300, "v6 event address");
TAVREL_STATIC_ASSERT(offsetof(BootEventRecordV6, clientkey) == 364, "v6 event clientkey");
TAVREL_STATIC_ASSERT(sizeof(SelectBootFileRecordEx) == 880, "SelectBootFileRecordEx size");
TAVREL_STATIC_ASSERT(offsetof(SelectBootFileRecordEx, uuid) == 524, "boot ex uuid");
TAVREL_STATIC_ASSERT(offsetof(SelectBootFileRecordEx, uuidsource) == 540, "boot ex uuidsource");
TAVREL_STATIC_ASSERT(offsetof(SelectBootFileRecordEx, address) == 544, "boot ex address");
TAVREL_STATIC_ASSERT(offsetof(SelectBootFileRecordEx, clientkey) == 608, "boot ex clientkey");
TAVREL_STATIC_ASSERT(sizeof(TftpRenderRecord) == 332, "TftpRenderRecord size");
TAVREL_STATIC_ASSERT(offsetof(TftpRenderRecord, address) == 256, "render address");
TAVREL_STATIC_ASSERT(offsetof(TftpRenderRecord, mac) == 320, "render mac");
TAVREL_STATIC_ASSERT(offsetof(TftpRenderRecord, port) == 328, "render port");
#undef TAVREL_STATIC_ASSERT

#endif /* TAVREL_H */
