#include "host/app/policy_service.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>

#include "host/store/lease_journal.h"
#include "host/text/address_text.h"

namespace {

uint32_t SelfAddress(const HostConfig &config) { return AddressValue(config.server.ServerIP); }

constexpr int64_t kFullLogSeconds = 60;
constexpr int kDhcpServerPort = 67;
constexpr int kDhcpOfferType = 2, kDhcpAckType = 5, kDhcpNakType = 6;

}  // namespace

PolicyService::~PolicyService() { Stop(); }

LeaseCount PolicyService::CountLeases() {
    std::vector<LeaseEntry> leases;
    std::string error;
    int64_t now = time(nullptr);  // the lease file's expiries are wall-clock times
    LeaseCount count;
    if (!ReadLeaseJournal(m_LeasePath, now, &leases, &error)) return count;
    count.read = true;
    for (const LeaseEntry &lease : leases) {
        if (uint64_t mac = MacKeyOfText(lease.mac)) count.held.push_back({mac, lease.expiry - now});
        count.addresses.insert(AddressValue(lease.ip.c_str()));
    }
    count.free = 0;
    auto monotonic = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(m_RangesLock);
    m_RangeFullLogged.resize(m_Ranges.size());
    for (size_t i = 0; i < m_Ranges.size(); ++i) {
        long free = FreeAddresses({m_Ranges[i]}, leases);
        count.free += free;
        if (free == 0 && (m_RangeFullLogged[i] == std::chrono::steady_clock::time_point() ||
                          monotonic - m_RangeFullLogged[i] >= std::chrono::seconds(kFullLogSeconds))) {
            m_RangeFullLogged[i] = monotonic;
            std::cerr << "tavrel-host: range " << m_Ranges[i].beginip << "-" << m_Ranges[i].endip
                      << " has no free address\n";
        }
    }
    return count;
}

bool PolicyService::Start(const HostConfig &config, std::string *error, bool *retry) {
    m_bFarm = config.farm;
    *retry = true;
    std::unique_ptr<PolicyStore> syncStore, reportStore;
    if (!(m_Store = PolicyStore::Open(config.database, error)) ||
        !(syncStore = PolicyStore::Open(config.database, error)) ||
        !(reportStore = PolicyStore::Open(config.database, error)))
        return false;
    MemberRow self = SelfRow(config);
    m_View = std::make_unique<PolicyView>(SelfAddress(config), config.farm);
    std::unique_ptr<FarmBeacon> beacon;
    if (config.farm && !config.farmKey.empty()) {  // no key: database liveness only, as the config warned
        beacon = std::make_unique<FarmBeacon>(config.farmKey, SelfAddress(config), config.nHeartbeatPort);
        if (!beacon->Open(error)) {
            *retry = false;
            return false;
        }
    }
    m_Ranges = config.ranges;
    m_LeasePath = LeaseJournalPath(LibraryDataFolder());
    m_Sync = std::make_unique<FarmSync>(std::move(syncStore), m_View.get(), self, config.farm, std::move(beacon),
                                        [this] { return CountLeases(); }, config.nPruneAfterHours * 3600.0,
                                        &m_Offers);
    std::vector<MemberRow> members;
    if (!m_Sync->Prime(&members)) {
        *error = "cannot read the policy: " + m_Sync->LastError();
        m_Sync.reset();
        return false;
    }
    if (config.farm) {
        std::string overlap = FindRangeOverlap(self, members);
        if (!overlap.empty()) {
            m_Store->MarkStopped(self.address);
            *error = "refusing to start: " + overlap;
            *retry = false;
            return false;
        }
    }
    m_Reports = std::make_unique<ReportQueue>(std::move(reportStore), self.address, config.nReportRetentionDays);
    m_Sync->Start();
    m_Reports->Start();
    return true;
}

bool PolicyService::Reconfigure(const HostConfig &fresh, std::string *error) {
    if (!m_bFarm) return true;
    {
        std::lock_guard<std::mutex> guard(m_RangesLock);
        m_Ranges = fresh.ranges;
    }
    MemberRow self = SelfRow(fresh);
    std::vector<MemberRow> members;
    if (!m_Store->Members(&members)) members = m_Sync->KnownMembers();
    std::string overlap = FindRangeOverlap(self, members);
    if (!overlap.empty()) {
        *error = "configuration not applied: " + overlap;
        return false;
    }
    m_Sync->SetSelf(self);
    return true;
}

void PolicyService::NoteAnswer(const BootEventRecord &event) {
    if (!m_bFarm || event.port != kDhcpServerPort) return;
    uint64_t mac = 0;
    for (unsigned char byte : event.mac) mac = mac << 8 | byte;
    auto now = std::chrono::steady_clock::now();
    if (event.kind == TAVREL_EVENT_DHCP_UNANSWERED && event.reason == TAVREL_REASON_OTHER_SERVER)
        return m_Offers.Ended(mac);
    if (event.kind != TAVREL_EVENT_DHCP_ANSWER) return;
    if (event.messagetype == kDhcpNakType) return m_Offers.Ended(mac);
    if (event.messagetype == kDhcpAckType) return m_Offers.Acknowledged(mac, now);
    if (event.messagetype != kDhcpOfferType) return;
    char text[sizeof event.address + 1] = {};
    memcpy(text, event.address, sizeof event.address);
    uint32_t address = AddressValue(text);
    std::lock_guard<std::mutex> guard(m_RangesLock);
    for (const TeskSubNetStruct &range : m_Ranges)  // a static entry's address is no range's room
        if (AddressValue(range.beginip) <= address && address <= AddressValue(range.endip))
            return m_Offers.Offered(mac, address, now);
}

void PolicyService::Leave() {
    if (m_Sync) m_Sync->Stop();
}

void PolicyService::Stop() {
    if (m_Sync) m_Sync->Stop();
    if (m_Reports) m_Reports->Stop();
}
