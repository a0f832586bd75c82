#include "dhcp/boot_file_choice.h"

#include <cstdio>
#include <cstring>

#include "boot/client_arch.h"
#include "dhcp/client_key.h"
#include "dhcp/dhcp_codec.h"
#include "dhcp/dhcp_message.h"
#include "log/logger.h"
#include "net/address_text.h"
#include "net/ip_address.h"

namespace {

bool IsUrl(const char *lpText) { return strncmp(lpText, "http://", 7) == 0 || strncmp(lpText, "https://", 8) == 0; }

// The record the plain hook is given, exactly as it always was.
void FillBaseRecord(const unsigned char *lpMessage, int nRecvLen, SelectBootFileRecord *lpClient) {
    memcpy(lpClient->mac, lpMessage + kDhcpChaddrOffset, sizeof lpClient->mac);
    lpClient->arch = ClientArchOf(lpMessage, nRecvLen);
    if (HasOption(lpMessage, nRecvLen, kDhcpIpxeOption)) lpClient->flags |= TAVREL_BOOT_CLIENT_IPXE;
    GetOptionText(lpMessage, nRecvLen, kDhcpUserClassOption, lpClient->userclass, sizeof lpClient->userclass);
    GetOptionText(lpMessage, nRecvLen, kDhcpVendorClassOption, lpClient->vendorclass, sizeof lpClient->vendorclass);
}

// The identity: option 97, the MAC (always the client's on IPv4), the
// address, and the key the lease book files the client under.
void FillIdentity(const unsigned char *lpMessage, int nRecvLen, uint32_t dwAddress, SelectBootFileRecordEx *lpClient) {
    if (GetMachineId(lpMessage, nRecvLen, lpClient->uuid)) lpClient->uuidsource = TAVREL_UUID_OPTION97;
    lpClient->macknown = 1;
    if (dwAddress != 0) FormatIpAddress(IpAddress::FromV4Net(dwAddress), lpClient->address, sizeof lpClient->address);
    ClientKey::Ethernet(lpClient->base.mac).Format(lpClient->clientkey, sizeof lpClient->clientkey);
}

}  // namespace

bool HostChoosesBootFiles(const DhcpHostHooks &hooks) {
    return hooks.selectBootFileEx.load() != nullptr || hooks.selectBootFile.load() != nullptr;
}

HostBootChoice AskHostBootFile(const DhcpHostHooks &hooks, const SelectBootFileRecordEx &client, char *file) {
    memset(file, 0, kBootFileFieldSize);
    int nResult = 0;
    if (SelectBootFileProcEx selectEx = hooks.selectBootFileEx.load()) {
        nResult = selectEx(&client, file);
        if (nResult == TAVREL_BOOT_CHOICE_SILENT) return HostBootChoice::kSilent;
    } else if (SelectBootFileProc select = hooks.selectBootFile.load()) {
        nResult = select(&client.base, file);
    }
    if (nResult != 1) return HostBootChoice::kNone;
    file[kBootFileFieldSize - 1] = '\0';  // the host may fill all 128 bytes: at most 127 are sent
    return HostBootChoice::kFile;
}

void ChooseBootFile(const DhcpHostHooks &hooks, const unsigned char *lpMessage, int nRecvLen, uint32_t dwAddress,
                    BootFileChoice *lpChoice) {
    if (!HostChoosesBootFiles(hooks)) return;
    SelectBootFileRecordEx client;
    memset(&client, 0, sizeof client);
    FillBaseRecord(lpMessage, nRecvLen, &client.base);
    FillIdentity(lpMessage, nRecvLen, dwAddress, &client);
    char file[kBootFileFieldSize];
    HostBootChoice choice = AskHostBootFile(hooks, client, file);
    char mac[32];
    if (choice == HostBootChoice::kSilent) {
        lpChoice->bSilent = true;
        LogWrite(LOG_DEBUG, "boot file for %s: none, the host leaves it unanswered",
                 MacToText(sizeof mac, mac, client.base.mac));
        return;
    }
    if (choice != HostBootChoice::kFile) return;
    memcpy(lpChoice->szFile, file, sizeof lpChoice->szFile);
    bool bHttpClient = IsHttpClientClass(client.base.vendorclass);
    lpChoice->kind = bHttpClient && IsUrl(file) ? BootAnswer::kHttpBoot : BootAnswer::kHostFile;
    LogWrite(LOG_DEBUG, "boot file for %s: %s", MacToText(sizeof mac, mac, client.base.mac), file);
}
