#include "dhcp/request_quirks.h"

#include <cstring>

#include "boot/client_arch.h"
#include "boot/quirks.h"
#include "boot/raspberry_pi.h"
#include "dhcp/dhcp_codec.h"
#include "dhcp/dhcp_message.h"

namespace {

constexpr uint16_t kBootServerPort = 4011;
constexpr uint16_t kBootpBroadcastFlag = 0x8000;
constexpr int kDhcpFlagsOffset = 10;
const char kIpxeUserClass[] = "iPXE";
constexpr unsigned char kClientMachineIdOption = 97;
constexpr int kFirstUefiArch = 6, kLastUefiArch = 19;  // EFI IA32 up to ARM64 UEFI HTTP Boot

}  // namespace

RequestQuirks NoteRequestQuirks(const unsigned char *lpMessage, int nRecvLen, bool bBootServer, uint32_t dwSource,
                                uint16_t wSourcePort, uint64_t qwNowMs) {
    RequestQuirks quirks;
    if (nRecvLen < kDhcpOptionsOffset || lpMessage[kDhcpOpOffset] != kBootRequest) return quirks;
    // Each of these options once, in one walk: this runs for every request.
    enum { kVendor, kArch, kUserClass, kIpxe, kMachineId, kCount };
    const unsigned char codes[kCount] = {kDhcpVendorClassOption, kDhcpClientArchOption, kDhcpUserClassOption,
                                         kDhcpIpxeOption, kClientMachineIdOption};
    OptionView found[kCount];
    FindOptions(lpMessage, nRecvLen, codes, kCount, found);
    char vendor[256], userClass[64];
    OptionText(found[kVendor], vendor, sizeof vendor);
    OptionText(found[kUserClass], userClass, sizeof userClass);
    bool bVendor = found[kVendor].lpData != nullptr;
    int nOption93 = found[kArch].nLen >= 2 ? found[kArch].lpData[0] << 8 | found[kArch].lpData[1] : -1;
    int nArch = nOption93 >= 0 ? nOption93 : bVendor ? VendorClassArch(vendor) : -1;
    if (nArch == 7 || nArch == 9) NoteQuirk(Quirk::kArch7Or9, qwNowMs);
    if (nOption93 < 0 && nArch >= 0) NoteQuirk(Quirk::kArchInVendorClass, qwNowMs);
    if (found[kIpxe].lpData || strcmp(userClass, kIpxeUserClass) == 0)
        NoteQuirk(Quirk::kIpxeClient, qwNowMs), quirks.bIpxe = true;
    quirks.bUefi = nArch >= kFirstUefiArch && nArch <= kLastUefiArch;
    if (IsHttpClientClass(vendor)) {
        NoteQuirk(Quirk::kHttpBootClient, qwNowMs);
        quirks.bHttpBoot = true;
    }
    const unsigned char *lpMac = lpMessage + kDhcpChaddrOffset;
    if (IsRaspberryPiBootloader(lpMac, nArch, vendor)) {
        NoteQuirk(Quirk::kRaspberryPi, qwNowMs);
        quirks.bRaspberryPi = true;
    } else if (!bVendor && !bBootServer && IsRaspberryPiMac(lpMac) && GetMessageType(lpMessage) == kDhcpRequest &&
               found[kMachineId].lpData) {
        // The bootloader's REQUEST leaves out the class its DISCOVER sent;
        // its machine identifier (a PXE option no OS client sends) gives it away.
        NoteQuirk(Quirk::kPiRequestWithoutClass, qwNowMs);
        NoteQuirk(Quirk::kRaspberryPi, qwNowMs);
        quirks.bRaspberryPi = quirks.bBootStage = true;
    }
    uint16_t wFlags = static_cast<uint16_t>(lpMessage[kDhcpFlagsOffset] << 8 | lpMessage[kDhcpFlagsOffset + 1]);
    if (!bBootServer && (wFlags & kBootpBroadcastFlag)) NoteQuirk(Quirk::kBroadcastAnswer, qwNowMs);
    if (bBootServer && dwSource == 0) {
        NoteQuirk(Quirk::kBroadcastAnswer, qwNowMs);
        quirks.bBroadcast = true;
    }
    if (bBootServer && wSourcePort == kBootServerPort) NoteQuirk(Quirk::kBootServerSourcePort, qwNowMs);
    return quirks;
}
