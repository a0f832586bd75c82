#include "host/policy_service.h"

#include <arpa/inet.h>

namespace {

uint32_t SelfAddress(const HostConfig &config) {
    in_addr parsed{};
    inet_pton(AF_INET, config.server.ServerIP, &parsed);
    return ntohl(parsed.s_addr);
}

}  // namespace

PolicyService::~PolicyService() { Stop(); }

bool PolicyService::Start(const HostConfig &config, std::string *error) {
    m_bFarm = config.farm;
    std::unique_ptr<PolicyStore> syncStore, reportStore;
    if (!(m_Store = PolicyStore::Open(config.database, error)) ||
        !(syncStore = PolicyStore::Open(config.database, error)) ||
        !(reportStore = PolicyStore::Open(config.database, error)))
        return false;
    MemberRow self = SelfRow(config);
    m_View = std::make_unique<PolicyView>(SelfAddress(config), config.farm);
    m_Sync = std::make_unique<FarmSync>(std::move(syncStore), m_View.get(), self, config.farm);
    std::vector<MemberRow> members;
    if (!m_Sync->Prime(&members)) {
        *error = "cannot read the policy: " + m_Sync->LastError();
        return false;
    }
    if (config.farm) {
        std::string overlap = FindRangeOverlap(self, members);
        if (!overlap.empty()) {
            m_Store->MarkStopped(self.address);
            *error = "refusing to start: " + overlap;
            return false;
        }
    }
    m_Reports = std::make_unique<ReportQueue>(std::move(reportStore), self.address);
    m_Sync->Start();
    m_Reports->Start();
    return true;
}

bool PolicyService::Reconfigure(const HostConfig &fresh, std::string *error) {
    if (!m_bFarm) return true;
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

void PolicyService::Stop() {
    if (m_Sync) m_Sync->Stop();
    if (m_Reports) m_Reports->Stop();
}
