// StartPXEV6's records, checked, and the DHCPv6 service they start.
#include "interface/pxe_v6.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dhcp6/dhcp6_frame.h"
#include "tftp/tftp_server.h"
#include "interface/library_state.h"
#include "log/app_folders.h"
#include "log/logger.h"
#include "net/ip_address.h"
#include "platform/platform.h"

// Tests put a responder double of their own here.
Dhcp6AnswererFactory g_pfnMakeDhcp6Answerer = &MakeDhcp6Answerer;

namespace {
// The most ranges and static entries one call may give.
constexpr int kMaxSubNetsV6 = 1024;
constexpr int kMaxStaticsV6 = 64 * 1024;

Dhcp6Frame *g_lpDhcp6 = nullptr;
TeskTftpServer *g_lpTftp6 = nullptr;
char g_szIpv4RootPath[sizeof(TeskPxeServerStruct::rootpath) + 1] = {};
IpAddress g_RunningServer;
uint32_t g_dwRunningInterface = 0;
char g_szIpv4ServerIp[32] = {};
char g_szLeaseFolder[platform::kMaxPath] = {};
// What the running services were started with that a reconfiguration cannot change in place.
int g_nRunningAdvert = 0;
char g_szRunningTftpRoot[sizeof(TeskPxeServerV6Struct::rootpath) + 1] = {};

// A fixed-size text field as a string, cut at its size when it has no NUL.
template <size_t N>
void CopyField(const char (&field)[N], char (&out)[N + 1]) {
    memcpy(out, field, N);
    out[N] = '\0';
}

// "3" names index 3, anything else an interface by name.
bool ParseInterface(const char *lpText, uint32_t *lpIndex) {
    char *lpEnd = nullptr;
    unsigned long nIndex = strtoul(lpText, &lpEnd, 10);
    if (lpText[0] >= '0' && lpText[0] <= '9' && *lpEnd == '\0') {
        if (nIndex == 0 || nIndex > 0xFFFFFFFFul) return false;
        *lpIndex = static_cast<uint32_t>(nIndex);
        return true;
    }
    return platform::InterfaceIndexOf(lpText, lpIndex) == 0;
}

int Refuse(const char *lpWhy) {
    LogWriteText("StartPXEV6: %s", lpWhy);
    return -1;
}

// The server's address with the interface it is served on.
int ResolveServer(const TeskPxeServerV6Struct &server, IpAddress *lpAddress, uint32_t *lpInterface) {
    char szAddress[sizeof server.ServerIP + 1], szInterface[sizeof server.ifname + 1];
    CopyField(server.ServerIP, szAddress);
    CopyField(server.ifname, szInterface);
    IpAddress address;
    if (!ParseIpAddress(szAddress, &address) || !address.IsV6() || address.IsUnspecified() || address.IsMulticast() ||
        address.IsV4Mapped())
        return Refuse("ServerIP is no IPv6 unicast address");
    uint32_t dwInterface = 0;
    if (szInterface[0] && !ParseInterface(szInterface, &dwInterface)) return Refuse("no such interface");
    if (!dwInterface && address.IsLinkScoped() && !address.Scope())
        return Refuse("a link-local ServerIP needs its interface");
    if (!dwInterface) dwInterface = address.Scope();
    if (address.IsLinkScoped()) address.SetScope(dwInterface);
    uint32_t dwHolder = 0;
    if (platform::FindLocalAddress(address, &dwHolder) != 0) return Refuse("no interface of this machine holds ServerIP");
    if (dwInterface && dwHolder != dwInterface && address.IsLinkScoped()) return Refuse("ServerIP is not on that interface");
    *lpAddress = address;
    *lpInterface = dwInterface ? dwInterface : dwHolder;
    return 0;
}

int CheckRecords(const TeskPxeServerV6Struct *lpServer, const TeskSubNetV6Struct *lpSubNet, int nSubNetLen,
                 const TeskStaticDhcpV6Struct *lpStatic, int nStaticLen) {
    if (!lpServer) return Refuse("no server record");
    if (nSubNetLen < 0 || nSubNetLen > kMaxSubNetsV6 || (nSubNetLen > 0 && !lpSubNet))
        return Refuse("range count out of bounds");
    if (nStaticLen < 0 || nStaticLen > kMaxStaticsV6 || (nStaticLen > 0 && !lpStatic))
        return Refuse("static entry count out of bounds");
    if (lpServer->routeradvert != 0 && lpServer->routeradvert != 1) return Refuse("routeradvert is 0 or 1");
    if (lpServer->routeradvert == 1) {
        char szPrefix[sizeof lpServer->raprefix + 1];
        CopyField(lpServer->raprefix, szPrefix);
        IpAddress prefix;
        int nLength = 0;
        if (!ParseIpv6Prefix(szPrefix, &prefix, &nLength)) return Refuse("raprefix is no IPv6 prefix");
    }
    return 0;
}

// The IPv4 journal's folder, data/leases/, unless the settings say KeepLeases=0.
const char *LeaseFolder() {
    char data[platform::kMaxPath], settings[platform::kMaxPath];
    if (!AppFolderPath("data", data, sizeof data)) return nullptr;
    if (snprintf(settings, sizeof settings, "%sLogSettings.ini", data) >= static_cast<int>(sizeof settings))
        return nullptr;
    if (platform::ReadIniInt(settings, "Tavrel", "KeepLeases", 1) == 0) return nullptr;
    if (snprintf(g_szLeaseFolder, sizeof g_szLeaseFolder, "%sleases%c", data, platform::kPathSep) >=
        static_cast<int>(sizeof g_szLeaseFolder))
        return nullptr;
    return g_szLeaseFolder;
}

void FillStart(const TeskPxeServerV6Struct *lpServer, const TeskSubNetV6Struct *lpSubNet, int nSubNetLen,
               const TeskStaticDhcpV6Struct *lpStatic, int nStaticLen, Dhcp6Start *lpStart) {
    lpStart->lpServer = lpServer;
    lpStart->lpSubNets = lpSubNet;
    lpStart->nSubNets = nSubNetLen;
    lpStart->lpStatics = lpStatic;
    lpStart->nStatics = nStaticLen;
    lpStart->bHasInterfaceMac = platform::InterfaceMacOf(lpStart->dwInterface, lpStart->abInterfaceMac) == 0;
    lpStart->lpLeaseFolder = LeaseFolder();
    snprintf(lpStart->szIpv4ServerIp, sizeof lpStart->szIpv4ServerIp, "%s", g_szIpv4ServerIp);
}

// rootpath, else StartPXE's; without either no folder is served (a
// bootfile given as an http:// URL needs none).
void TftpRootOf(const Dhcp6Start &start, char (&szRoot)[sizeof(TeskPxeServerV6Struct::rootpath) + 1]) {
    CopyField(start.lpServer->rootpath, szRoot);
    if (!szRoot[0]) snprintf(szRoot, sizeof szRoot, "%s", g_szIpv4RootPath);
}

int StartTftp6(const Dhcp6Start &start) {
    char szRoot[sizeof start.lpServer->rootpath + 1];
    TftpRootOf(start, szRoot);
    if (!szRoot[0]) {
        LogWriteText("StartPXEV6: no rootpath here or in StartPXE: no TFTP on IPv6");
        return 0;
    }
    g_lpTftp6 = TeskTftpServer::Create(0, 1);
    if (g_lpTftp6->StartServerV6(start.server, start.dwInterface, szRoot) == 0) {
        memcpy(g_szRunningTftpRoot, szRoot, sizeof szRoot);
        return 0;
    }
    LogWriteText("StartPXEV6: the IPv6 TFTP service did not start");
    TeskServiceFrame::StopAndFree(g_lpTftp6);
    g_lpTftp6 = nullptr;
    return -3;
}

void StopTftp6() {
    if (g_lpTftp6) TeskServiceFrame::StopAndFree(g_lpTftp6);
    g_lpTftp6 = nullptr;
    g_szRunningTftpRoot[0] = '\0';
}

// The TFTP service takes its folder at start: a new one, or one given only
// now, starts it (again); none stops it.
int ApplyTftp6(const Dhcp6Start &start) {
    char szRoot[sizeof start.lpServer->rootpath + 1];
    TftpRootOf(start, szRoot);
    if (strcmp(szRoot, g_szRunningTftpRoot) == 0 && (g_lpTftp6 != nullptr) == (szRoot[0] != '\0')) return 0;
    if (g_lpTftp6) LogWriteText("StartPXEV6: the TFTP folder changed: the IPv6 TFTP service starts again");
    StopTftp6();
    return StartTftp6(start);
}

int StartDhcp6(const Dhcp6Start &start) {
    if (!g_pfnMakeDhcp6Answerer) {
        LogWriteText("StartPXEV6: this build has no DHCPv6 responder");
        return -2;
    }
    std::unique_ptr<Dhcp6Answerer> answerer = g_pfnMakeDhcp6Answerer(start, g_HostHooks);
    if (!answerer) return -1;
    g_lpDhcp6 = new Dhcp6Frame(std::move(answerer));
    if (g_lpDhcp6->StartServer(start) != 0) {
        LogWriteText("StartPXEV6: the DHCPv6 service did not start");
        TeskServiceFrame::StopAndFree(g_lpDhcp6);
        g_lpDhcp6 = nullptr;
        return -2;
    }
    g_RunningServer = start.server;
    g_dwRunningInterface = start.dwInterface;
    g_nRunningAdvert = start.lpServer->routeradvert;
    if (int result = StartTftp6(start)) {
        StopPxeV6Services();
        return result;
    }
    return 0;
}
}  // namespace

int StartPxeV6Services(const TeskPxeServerV6Struct *lpServer, const TeskSubNetV6Struct *lpSubNet, int nSubNetLen,
                       const TeskStaticDhcpV6Struct *lpStatic, int nStaticLen) {
    if (int result = CheckRecords(lpServer, lpSubNet, nSubNetLen, lpStatic, nStaticLen)) return result;
    Dhcp6Start start;
    if (int result = ResolveServer(*lpServer, &start.server, &start.dwInterface)) return result;
    FillStart(lpServer, lpSubNet, nSubNetLen, lpStatic, nStaticLen, &start);
    bool bSameLink = g_lpDhcp6 && start.server == g_RunningServer && start.dwInterface == g_dwRunningInterface;
    if (bSameLink && lpServer->routeradvert == g_nRunningAdvert) {
        if (g_lpDhcp6->Reconfigure(start) != 0) return -1;
        return ApplyTftp6(start);
    }
    // Another address or interface, or advertisements turned on or off: the
    // sockets are opened anew; the journal keeps the leases.
    if (bSameLink) LogWriteText("StartPXEV6: routeradvert changed: the IPv6 services start again");
    if (g_lpDhcp6) StopPxeV6Services();
    return StartDhcp6(start);
}

void StopPxeV6Services() {
    if (g_lpDhcp6) TeskServiceFrame::StopAndFree(g_lpDhcp6);
    g_lpDhcp6 = nullptr;
    StopTftp6();
    g_RunningServer = IpAddress();
    g_dwRunningInterface = 0;
    g_nRunningAdvert = 0;
}

void SetIpv4Records(const TeskPxeServerStruct *lpServer) {
    g_szIpv4ServerIp[0] = g_szIpv4RootPath[0] = '\0';
    if (!lpServer) return;
    char szServer[sizeof lpServer->ServerIP + 1];
    CopyField(lpServer->ServerIP, szServer);
    snprintf(g_szIpv4ServerIp, sizeof g_szIpv4ServerIp, "%.31s", szServer);
    CopyField(lpServer->rootpath, g_szIpv4RootPath);
}
