// The private request on UDP 4455: a booted client asks for its address
// (operation 1) or reports the mirror server it chose (operation 2).
#include <cstring>

#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_responder.h"
#include "events/boot_events.h"
#include "log/logger.h"
#include "net/address_text.h"
#include "net/ip_address.h"

namespace {

constexpr uint32_t DATAPACK_MAGIC = 0x6D75;
constexpr int kPackSize = 292;
constexpr uint16_t kSelectPort = 4455;
constexpr uint32_t kOpAddressRequest = 1;
constexpr uint32_t kOpSelectionReport = 2;

// m_lpDATAPack: offsets of its fields; integers are little-endian.
enum PackOffset {
    kMagic = 0,
    kMac = 4,
    kOp = 12,
    kClientIp = 16,
    kNetmask = 20,
    kGateway = 24,
    kServerIp = 28,
    kText1 = 32,
    kText2 = 160,
    kHostChoice = 288,
};
constexpr int kTextSize = 128;
static_assert(kHostChoice + 4 == kPackSize, "the pack ends with the flag and three bytes");

// Copies the text and its terminating zero; the bytes after it stay.
void PutText(unsigned char *lpField, const char *lpText) {
    size_t len = strnlen(lpText, kTextSize - 1);
    memcpy(lpField, lpText, len);
    lpField[len] = 0;
}

}  // namespace

void TeskDhcpResponder::ReportSelection(const unsigned char *pack) const {
    SelectMirrorRecord report;
    memset(&report, 0, sizeof report);
    memcpy(report.mac, pack + kMac, 6);
    HostIpToText(sizeof report.ip, report.ip, platform::ReadLittle32(pack + kClientIp));
    HostIpToText(sizeof report.gateway, report.gateway, platform::ReadLittle32(pack + kGateway));
    HostIpToText(sizeof report.netmask, report.netmask, platform::ReadLittle32(pack + kNetmask));
    HostIpToText(sizeof report.server, report.server, platform::ReadLittle32(pack + kServerIp));
    SelectMirrorServerToDBProc store = m_Hooks.selectMirrorServerToDB.load();
    if (store && store(&report) != 1)
        LogWrite(LOG_ERROR, "SelectMirrorServerToDB error --%s---%d", "TeskDhcpServer", 1409);
}

namespace {

// An answer of a server carries that server's address, and comes from it:
// a server hearing another's broadcast answer must not take it for a report.
bool IsServerAnswer(const unsigned char *pack, const platform::SockAddrV4 &peer) {
    return memcmp(pack + kServerIp, &peer.dwAddr, 4) == 0;
}

}  // namespace

int TeskDhcpResponder::GetMurDhcp(_socklist *record, AnswerDestination *lpTo) {
    unsigned char *pack = record->data;
    if (record->nRecvLen < kPackSize) {
        LogWrite(LOG_DEBUG, "GetMurDhcp short pack %d ---%d", record->nRecvLen, __LINE__);
        return kMalformed;
    }
    uint32_t dwMagic = platform::ReadLittle32(pack + kMagic);
    uint32_t dwOp = platform::ReadLittle32(pack + kOp);
    if (dwMagic != DATAPACK_MAGIC) {
        LogWrite(LOG_ERROR, "GetMurDhcp m_lpDATAPack->dwMagic dwOp  miss %d %d ---%d", static_cast<int>(dwMagic),
                 static_cast<int>(dwOp), 1349);
        return kNotAnswered;
    }
    if (IsServerAnswer(pack, record->peer)) return kOtherServersClient;
    // A report and an unknown operation are answered with nothing.
    if (dwOp == kOpSelectionReport) {
        ReportSelection(pack);
        return 1;
    }
    if (dwOp != kOpAddressRequest) {
        LogWrite(LOG_ERROR, "m_lpDATAPack->dwOp:%d", static_cast<int>(dwOp));
        return 1;
    }
    std::shared_ptr<const ConfigSnapshot> config = m_Leases.Config();
    int nChoice = AskHost(*config, pack + kMac);
    if (nChoice < 0) return kRefusedByHost;
    AddressGrant grant{};
    // Held as an offer only, until a DHCP REQUEST of the client confirms it:
    // forged packs cannot keep a range taken.
    bool bAwaitsProbe = false;
    uint32_t dwIp = m_Leases.AssignAddress(pack + kMac, kBootStageClient, 0, &grant, &config, true, &bAwaitsProbe);
    if (bAwaitsProbe) return kAwaitingProbe;
    if (dwIp == 0) {
        LogWrite(LOG_ERROR, "GetMurDhcp can't allocate ip ---%d", 1383);
        return kNoAddress;
    }
    LogWrite(LOG_DEBUG, "dwIP:%s\n", Ipv4Text(dwIp).c_str());
    memcpy(pack + kGateway, &grant.gateway, 4);
    memcpy(pack + kClientIp, &dwIp, 4);
    memcpy(pack + kNetmask, &grant.netmask, 4);
    platform::WriteLittle32(pack + kOp, 2);
    memcpy(pack + kServerIp, &config->m_dwServerIP, 4);
    PutText(pack + kText2, config->m_PxeServer.relaytext2);
    PutText(pack + kText1, config->m_PxeServer.relaytext1);
    pack[kHostChoice] = nChoice == 1 ? 1 : 0;
    record->nSendLen = kPackSize;
    *lpTo = AnswerDestination{true, 0, kSelectPort};
    return 0;
}

uint32_t TeskDhcpResponder::MirrorOperation(const _socklist *record) {
    return record->nRecvLen >= kOp + 4 ? platform::ReadLittle32(record->data + kOp) : 0;
}

// A client's address request (answered or refused) or its report; packs
// that are no client's (short, foreign, another server's answer) are not told.
void TeskDhcpResponder::EmitMirrorEvent(const _socklist *record, uint32_t dwOp, int nResult) const {
    if (record->nRecvLen < kPackSize || platform::ReadLittle32(record->data + kMagic) != DATAPACK_MAGIC ||
        nResult == kOtherServersClient)
        return;
    const unsigned char *pack = record->data;
    char server[16];
    if (dwOp == kOpSelectionReport) {
        HostIpToText(sizeof server, server, platform::ReadLittle32(pack + kServerIp));
        EmitMirrorMessage(true, pack + kMac, record->peer.dwAddr, server);
    } else if (nResult == 0) {  // the answer holds this server and the address, in network order
        uint32_t dwServer, dwClient;
        memcpy(&dwServer, pack + kServerIp, 4);
        memcpy(&dwClient, pack + kClientIp, 4);
        HostIpToText(sizeof server, server, platform::NetToHost32(dwServer));
        EmitMirrorMessage(false, pack + kMac, dwClient, server);
    } else if (nResult == kRefusedByHost || nResult == kNoAddress || nResult == kAwaitingProbe) {
        int nReason = nResult == kRefusedByHost ? TAVREL_REASON_HOST_DECLINED : NoAddressReason(kBootStageClient, 0);
        if (nResult == kAwaitingProbe) nReason = TAVREL_REASON_ADDRESS_PROBE;
        EmitDhcpUnanswered(kSelectPort, 0, pack + kMac, record->peer.dwAddr, nReason);
    }
}
