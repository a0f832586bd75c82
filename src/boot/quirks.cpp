#include "boot/quirks.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "log/logger.h"

const QuirkRow kQuirkTable[static_cast<size_t>(Quirk::kCount)] = {
    {Quirk::kArch7Or9, TAVREL_QUIRK_ARCH_7_9, "arch-7-9",
     "option 93 is 7 or 9: x64 UEFI firmware sends either",
     "both stand for x64 UEFI (tavrel-host's efi-x64 matches both)"},
    {Quirk::kArchInVendorClass, TAVREL_QUIRK_ARCH_IN_CLASS, "arch-in-option-60",
     "no option 93, the architecture written in decimal in option 60 (\"PXEClient:Arch:00007:...\")",
     "the architecture is read from option 60"},
    {Quirk::kIpxeClient, TAVREL_QUIRK_IPXE, "ipxe",
     "option 175, or user class \"iPXE\" (a build without the user class still sends 175)",
     "the boot-file choice is told TAVREL_BOOT_CLIENT_IPXE, so a rule for iPXE serves its script, not iPXE again"},
    {Quirk::kSizeProbe, TAVREL_QUIRK_SIZE_PROBE, "size-probe",
     "ERROR 8 after the OACK, before any block (UEFI asks the size, then the file)",
     "the transfer ends at once, unanswered; told as a size probe, not a failure"},
    {Quirk::kEarlyAbort, TAVREL_QUIRK_EARLY_ABORT, "early-abort",
     "an ERROR other than 8 before the first block is acknowledged (the Raspberry Pi's probe, iPXE's "
     "\"TFTP Aborted\")",
     "the transfer ends at once, unanswered; the request that follows starts afresh"},
    {Quirk::kHttpBootClient, TAVREL_QUIRK_HTTP_BOOT, "http-boot-client",
     "vendor class beginning \"HTTPClient\" (UEFI HTTP Boot)",
     "served by the ranges of other clients (nDhcpType 2) as before, and by those of booting clients where "
     "there are none"},
    {Quirk::kRaspberryPi, TAVREL_QUIRK_RASPBERRY_PI, "raspberry-pi",
     "a Raspberry Pi OUI with architecture 0 and a PXEClient vendor class",
     "option 43 with the menu \"Raspberry Pi Boot\" (padded), option 66 and siaddr, no boot file"},
    {Quirk::kPiRequestWithoutClass, TAVREL_QUIRK_PI_REQUEST, "pi-request-without-class",
     "a DHCPREQUEST from a Raspberry Pi OUI without option 60 (its DISCOVER had one)",
     "taken as a booting client, so the lease of its offer is acknowledged"},
    {Quirk::kResentRequest, TAVREL_QUIRK_RESENT_REQUEST, "resent-request",
     "the same read request again from the same port while our OACK, with a smaller blksize than it asked, is "
     "unacknowledged (iDRAC8)",
     "answered with DATA 1 and no options: the client ignored them"},
    {Quirk::kBroadcastAnswer, TAVREL_QUIRK_BROADCAST, "broadcast-answer",
     "the BOOTP broadcast flag, or a port-4011 request from 0.0.0.0 (a client that answers no ARP yet)",
     "the answer is broadcast"},
    {Quirk::kBootServerSourcePort, TAVREL_QUIRK_SOURCE_PORT_4011, "boot-server-port-4011",
     "a port-4011 request from source port 4011, not 68 (EDK II)",
     "the answer goes back to the address and port it came from"},
    {Quirk::kPiSerialFolder, TAVREL_QUIRK_PI_SERIAL_FOLDER, "pi-serial-folder",
     "a read of \"<serial>/name\" (8 hex digits) with no such folder in the boot folder",
     "served from the boot folder's root, as the bootloader falls back itself"},
    {Quirk::kForeignPxeOffer, TAVREL_QUIRK_FOREIGN_PXE_OFFER, "foreign-pxe-offer",
     "a UEFI client asks port 4011 with no offer, lease or static entry here: another DHCP server's offer "
     "carried vendor class \"PXEClient\" and no boot file, so EDK II went looking for a boot server",
     "answered as any boot-server request (the client booting here is what it asked for); no DHCP answer "
     "ever echoes \"PXEClient\" to another server's client"},
    {Quirk::kIpxeChainLoop, TAVREL_QUIRK_IPXE_CHAIN_LOOP, "ipxe-chain-loop",
     "an iPXE client (option 175 or user class \"iPXE\") whose answer names an iPXE binary (ipxe.efi, "
     "snponly.efi, undionly.kpxe...)",
     "served as chosen, and named: iPXE loads itself again; give it a script (a rule for user class \"iPXE\")"},
};

namespace {

constexpr uint64_t kLinePeriodMs = 60000;
thread_local uint32_t t_dwNoted = 0;

struct QuirkLine {
    std::atomic<uint64_t> qwLastMs{0};
    std::atomic<uint32_t> nSince{0};
    std::atomic<bool> bWritten{false};
};
QuirkLine g_Lines[static_cast<size_t>(Quirk::kCount)];

}  // namespace

const QuirkRow &QuirkRowOf(Quirk quirk) { return kQuirkTable[static_cast<size_t>(quirk)]; }

uint32_t NotedQuirks() { return t_dwNoted; }

void NoteQuirk(Quirk quirk, uint64_t qwNowMs) {
    const QuirkRow &row = QuirkRowOf(quirk);
    t_dwNoted |= row.dwBit;
    QuirkLine &line = g_Lines[static_cast<size_t>(quirk)];
    uint32_t nSince = line.nSince.fetch_add(1, std::memory_order_relaxed) + 1;
    uint64_t qwLast = line.qwLastMs.load(std::memory_order_relaxed);
    if (line.bWritten.load(std::memory_order_relaxed) && qwNowMs - qwLast < kLinePeriodMs) return;
    // One thread wins the minute's line.
    if (!line.qwLastMs.compare_exchange_strong(qwLast, qwNowMs)) return;
    line.bWritten.store(true, std::memory_order_relaxed);
    line.nSince.fetch_sub(nSince, std::memory_order_relaxed);
    LogWrite(LOG_INFO, "quirk %s (%u times since the last line): %s", row.lpName, nSince, row.lpWorkaround);
}

QuirkScope::QuirkScope() : m_dwOuter(t_dwNoted) { t_dwNoted = 0; }
QuirkScope::~QuirkScope() { t_dwNoted = m_dwOuter; }

void QuirkNames(uint32_t dwQuirks, char *lpField, size_t nFieldSize) {
    if (nFieldSize == 0) return;
    lpField[0] = '\0';
    size_t nUsed = 0;
    for (const QuirkRow &row : kQuirkTable) {
        if (!(dwQuirks & row.dwBit)) continue;
        int n = snprintf(lpField + nUsed, nFieldSize - nUsed, "%s%s", nUsed ? "," : "", row.lpName);
        if (n < 0 || static_cast<size_t>(n) >= nFieldSize - nUsed) {
            lpField[nUsed] = '\0';  // a name cut short is no name: left out
            return;
        }
        nUsed += static_cast<size_t>(n);
    }
}
