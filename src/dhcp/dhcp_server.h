// TeskDhcpServer: DHCP on UDP 67, proxy-DHCP on UDP 4011 and the private
// address and mirror-selection request on UDP 4455, served by one worker.
#pragma once

#include <atomic>
#include <cstdint>

#include "Tavrel.h"
#include "containers/mac_hash.h"
#include "containers/mem_queue.h"
#include "dhcp/address_index.h"
#include "platform/platform.h"
#include "service/service_frame.h"

class TeskDhcpServer : public TeskServiceFrame {
public:
    enum SocketType { SOCK_DHCP = 0, SOCK_PROXY = 1, SOCK_SELECT = 2, SOCK_COUNT = 3 };
    static constexpr int kDataSize = 1500;
    static constexpr int kMaxSubNets = 10 * 1024;
    static constexpr int kOptionAreaSize = 1500;

    // One datagram in flight: received, answered in place, sent back.
    struct _socklist {
        platform::Socket socket;
        unsigned char data[kDataSize];
        int nSendLen;
        unsigned char *lpReply;
        platform::SockAddrV4 peer;
        int nSocketType;
        int nRecvLen;
    };

    // Static assignment, all addresses in network order.
    struct tag_s_dhcp {
        uint32_t ip, netmask, gateway, dns1, dns2;
    };

    // Dynamic lease: ip in host order, the rest in network order.
    struct tag_d_dhcp {
        uint32_t ip, netmask, gateway, dns1, dns2;
        int32_t kind;
        int64_t time;
    };

    // A working subnet: begin and end in host order, so ranges can be walked.
    struct SubNetSlot {
        uint32_t begin, end, netmask, dns1, dns2, gateway;
        int32_t nDhcpType;
    };

    // What a client is given: address, netmask, gateway, DNS servers.
    struct AddressGrant {
        uint32_t ip, netmask, gateway, dns1, dns2;
    };

    using Handler = int (*)(TeskDhcpServer *server, _socklist *record);

    // A server in its initial state: nothing open, nothing created.
    static TeskDhcpServer *Create();

    int StartServer(TeskPxeServerStruct *IN_lpTeskPxeServerStruct, TeskSubNetStruct *lpSubNet, int nSubNetLen,
                    TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen);
    int StopServer() override;
    int ApplyConfig(TeskPxeServerStruct *IN_lpTeskPxeServerStruct, TeskSubNetStruct *lpSubNet, int nSubNetLen,
                    TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen);

    // Creates the pool and both caches when missing; false when one is missing.
    bool CreateContainers();

    // Address of a client (network order, 0 for none). A relayed request
    // (giaddr not 0) gets a dynamic address only from a range whose network
    // holds giaddr. Called with m_ConfigLock held.
    uint32_t AssignAddress(const unsigned char *lpMac, int nKind, uint32_t dwGiaddr, AddressGrant *lpGrant);
    // Renewal, lowest free address or take-over; host order, 0 for none.
    uint32_t AllocateDynamic(const unsigned char *lpMac, int nKind, uint32_t dwGiaddr, AddressGrant *lpGrant);

    // Message codec; addresses in network order.
    static unsigned char GetMessageType(const unsigned char *lpMessage);
    static int GetVendorClass(const unsigned char *lpMessage, int nRecvLen, char *lpText, int nTextSize);
    int BuildDhcpReply(unsigned char *lpMessage, unsigned char byType, uint32_t dwNetmask, uint32_t dwGateway,
                       uint32_t dwDns1, uint32_t dwDns2);
    int BuildBootServerReply(unsigned char *lpMessage, unsigned char byType);

    int ReceiveOne(int nSocketType);
    void SendReply(_socklist *record);

    static int HandleDhcpRequest(TeskDhcpServer *server, _socklist *record);
    static int HandleBootServerRequest(TeskDhcpServer *server, _socklist *record);
    static int GetMurDhcp(TeskDhcpServer *server, _socklist *record);

    // Tests replace a socket's handler to prove the frame alone.
    void SetHandler(int nSocketType, Handler handler) { m_Handlers[nSocketType] = handler; }

    // Option-43 payloads, rebuilt at every configuration apply.
    void BuildDiscoveryOptions();
    void BuildBootItemOptions();

    // State read by the handlers and by tests.
    uint32_t m_dwServerIP = 0;
    uint32_t m_dwNextServerIP = 0;
    uint32_t m_dwBroadcastIP = 0;
    uint32_t m_dwBroadcastIP2 = 0;
    uint32_t Send_BrodAddrIP = 0;
    TeskPxeServerStruct m_PxeServer{};
    SubNetSlot m_SubNet[kMaxSubNets]{};
    int m_SubCount = 0;
    char m_szDomainName[260] = {};
    unsigned char m_DiscoveryOptions[kOptionAreaSize] = {};
    int m_DiscoveryOptionsLen = 0;
    unsigned char m_BootItemOptions[kOptionAreaSize] = {};
    int m_BootItemOptionsLen = 0;
    TeskMacHash<tag_s_dhcp> *m_DhcpHashCaches = nullptr;
    TeskMacHash<tag_d_dhcp> *m_DynamicCache = nullptr;
    // Addresses held by static entries and leases, kept with the caches.
    TeskAddressIndex m_AddressIndex;
    // Guards the configuration against a refresh on the host's thread while
    // the worker reads it.
    platform::TeskLock m_ConfigLock;

private:
    TeskDhcpServer() : TeskServiceFrame(SOCK_COUNT) {}
    void ServeSocket(int nIndex) override { ReceiveOne(nIndex); }
    void ReleaseService() override;
    // "Dhcpd:STEP:lasterror:N line SITE" at the error level; returns -1.
    static int LogFailure(const char *lpStep, int nSite);
    void DropUnreadDatagram(int nSocketType);
    bool IsOwnBroadcast(int nSocketType, const platform::SockAddrV4 &peer);
    bool SendOnce(_socklist *record, uint32_t dwAddr, uint16_t wPort, int nSite);
    void SendBroadcast(_socklist *record, uint16_t wPort, int nFirstSite, int nRetrySite);
    void FillStaticCache(TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen);
    void DropStaleStatics(TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen);
    void DropStaleLeases();
    void DropLease(const unsigned char *lpMac, const tag_d_dhcp &lease);
    bool RelayAllows(const SubNetSlot &subnet, uint32_t dwGiaddr) const;
    bool RenewLease(const unsigned char *lpMac, tag_d_dhcp *lpLease, int nKind, AddressGrant *lpGrant);
    bool FindFreeAddress(int nKind, uint32_t dwGiaddr, uint32_t *lpIp, AddressGrant *lpGrant);
    bool TakeOverLease(int nKind, uint32_t dwGiaddr, uint32_t *lpIp, AddressGrant *lpGrant);
    uint32_t ServerAddressFor(const char *lpChosen) const;
    // Asks the host which server serves the MAC: -1 another server, 1 this
    // one, 0 no choice.
    int AskHost(const unsigned char *lpMac, char *lpChosen);

    TeskMemQueue<_socklist> *m_SocklistQueue = nullptr;
    std::atomic<Handler> m_Handlers[SOCK_COUNT] = {{HandleDhcpRequest}, {HandleBootServerRequest}, {GetMurDhcp}};
};
