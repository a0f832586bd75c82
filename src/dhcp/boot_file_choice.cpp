#include "dhcp/boot_file_choice.h"

#include <cstring>

#include "boot/client_arch.h"
#include "dhcp/dhcp_codec.h"
#include "dhcp/dhcp_message.h"
#include "log/logger.h"
#include "net/address_text.h"

namespace {

bool IsUrl(const char *lpText) { return strncmp(lpText, "http://", 7) == 0 || strncmp(lpText, "https://", 8) == 0; }

}  // namespace

void ChooseBootFile(const DhcpHostHooks &hooks, const unsigned char *lpMessage, int nRecvLen,
                    BootFileChoice *lpChoice) {
    SelectBootFileProc select = hooks.selectBootFile.load();
    if (!select) return;
    SelectBootFileRecord client;
    memset(&client, 0, sizeof client);
    memcpy(client.mac, lpMessage + kDhcpChaddrOffset, sizeof client.mac);
    client.arch = ClientArchOf(lpMessage, nRecvLen);
    if (HasOption(lpMessage, nRecvLen, kDhcpIpxeOption)) client.flags |= TAVREL_BOOT_CLIENT_IPXE;
    GetOptionText(lpMessage, nRecvLen, kDhcpUserClassOption, client.userclass, sizeof client.userclass);
    GetOptionText(lpMessage, nRecvLen, kDhcpVendorClassOption, client.vendorclass, sizeof client.vendorclass);
    char file[kBootFileFieldSize];
    memset(file, 0, sizeof file);
    if (select(&client, file) != 1) return;
    file[sizeof file - 1] = '\0';  // the host may fill all 128 bytes: at most 127 are sent
    memcpy(lpChoice->szFile, file, sizeof file);
    bool bHttpClient = IsHttpClientClass(client.vendorclass);
    lpChoice->kind = bHttpClient && IsUrl(file) ? BootAnswer::kHttpBoot : BootAnswer::kHostFile;
    char mac[32];
    LogWrite(LOG_DEBUG, "boot file for %s: %s", MacToText(sizeof mac, mac, client.mac), file);
}
