// Reading DHCP messages: plain functions over the received bytes. Addresses
// come back in network order. Nothing here reads past nRecvLen, apart from
// GetMessageType, which walks the whole 1500-byte record (zeroed past the
// datagram) as it always has.
#pragma once

#include <cstdint>

// Option 53; 0 when the cookie or the option is missing.
unsigned char GetMessageType(const unsigned char *lpMessage);
// The data of the first option CODE lying wholly inside the received bytes,
// with its length; null when there is none.
const unsigned char *FindOption(const unsigned char *lpMessage, int nRecvLen, unsigned char byCode, int *lpLen);

struct OptionView {
    const unsigned char *lpData = nullptr;  // nullptr when absent
    int nLen = 0;
};
// Several options in one walk of the message, each as FindOption finds it:
// lpFound[i] for lpCodes[i]. The per-request checks read five or six options.
void FindOptions(const unsigned char *lpMessage, int nRecvLen, const unsigned char *lpCodes, int nCodes,
                 OptionView *lpFound);
// An option's value as GetOptionText writes it (empty when absent).
void OptionText(const OptionView &option, char *lpText, int nTextSize);
// An option's bytes up to the first zero, as a terminated text: 0, or -2 when absent.
int GetOptionText(const unsigned char *lpMessage, int nRecvLen, unsigned char byCode, char *lpText, int nTextSize);
int GetVendorClass(const unsigned char *lpMessage, int nRecvLen, char *lpText, int nTextSize);
// The first architecture of option 93; -1 when absent or shorter than one value.
int GetClientArch(const unsigned char *lpMessage, int nRecvLen);
// Option 93, or, when a client leaves it out, the decimal architecture that
// PXE firmware writes into option 60 ("PXEClient:Arch:00007:..."); -1 for none.
int ClientArchOf(const unsigned char *lpMessage, int nRecvLen);
// A four-byte address option (50, 54); 0 when absent or of another length.
uint32_t GetAddressOption(const unsigned char *lpMessage, int nRecvLen, unsigned char byCode);
// Option 97 (RFC 4578): type 0 and the 16 bytes of the machine's UUID, as
// sent. Any other length or type reads as absent: false, lpUuid untouched.
bool GetMachineId(const unsigned char *lpMessage, int nRecvLen, unsigned char *lpUuid);
bool HasOption(const unsigned char *lpMessage, int nRecvLen, unsigned char byCode);
uint32_t GetAddressField(const unsigned char *lpMessage, int nOffset);
