#include "host/boots/machine_directory.h"

#include <algorithm>
#include <chrono>
#include <iostream>

#include "host/text/json_document.h"
#include "host/text/mac_text.h"
#include "host/text/uuid_text.h"
#include "log/log_text.h"

namespace {

constexpr size_t kMaxUuidsTracked = 8192;  // UUIDs whose MACs are remembered for the duplicate test
constexpr size_t kMaxWarned = 4096;
constexpr size_t kMaxAddresses = 20000;  // addresses and MACs of machines asked for lately
constexpr size_t kMaxLearnt = 4096;
constexpr int kSyncMs = 1000;
constexpr int kPruneEveryRounds = 60;
constexpr int kUnknownShown = 500;

double WallNow() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

std::string Shown(const std::string &text) { return PrintableText(text.c_str()).Text(); }

// Drops the oldest tenth once MAP holds more than MAX; how many went.
template <typename Map, typename Age>
size_t DropOldest(Map &map, size_t nMax, Age age) {
    if (map.size() <= nMax) return 0;
    size_t before = map.size();
    std::vector<double> ages;
    for (const auto &entry : map) ages.push_back(age(entry.second));
    std::nth_element(ages.begin(), ages.begin() + ages.size() / 10, ages.end());
    double cut = ages[ages.size() / 10];
    for (auto it = map.begin(); it != map.end();) it = age(it->second) <= cut ? map.erase(it) : std::next(it);
    return before - map.size();
}

}  // namespace

std::string VarsText(const TemplateVars &vars) {
    JsonValue out = JsonValue::object();
    for (const auto &[name, value] : vars) out[name] = value;
    return out.dump(-1, ' ', false, JsonValue::error_handler_t::replace);
}

TemplateVars VarsFromText(const std::string &text) {
    TemplateVars vars;
    JsonValue in = JsonValue::parse(text, nullptr, false);
    if (!in.is_object()) return vars;
    for (const auto &item : in.items())
        if (item.value().is_string()) vars[item.key()] = item.value().get<std::string>();
    return vars;
}

MachineDirectory::MachineDirectory(std::string reporter, Clock clock)
    : m_Reporter(std::move(reporter)), m_Clock(clock ? std::move(clock) : Clock(WallNow)),
      m_Index(std::make_shared<Index>()) {}

void MachineDirectory::SetOptions(const IdentityOptions &options) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Options = options;
}

void MachineDirectory::Warn(const std::string &machine, const std::string &line) {
    if (m_Warned.count(machine)) return;
    if (m_Warned.size() >= kMaxWarned) m_Warned.clear();  // a flood: told again rather than kept forever
    m_Warned.insert(machine);
    ++m_Counters.untrusted;
    std::cerr << "tavrel-host: identity: " << line << "\n";
}

bool MachineDirectory::Trusted(const SeenClient &client, double now) {
    const std::string &uuid = client.uuid;
    if (uuid.empty()) return false;
    std::string who = client.mac.empty() ? Shown(client.key) : client.mac;
    if (IsPlaceholderUuid(uuid)) {
        Warn(who, who + " sends the placeholder UUID " + uuid + ": it is known by its MAC");
        return false;
    }
    const std::vector<std::string> &deny = m_Options.denyUuids;
    if (std::find(deny.begin(), deny.end(), uuid) != deny.end() ||
        std::find(deny.begin(), deny.end(), OtherByteOrder(uuid)) != deny.end()) {
        Warn(who, who + " sends UUID " + uuid + ", which identity.deny_uuids lists: it is known by its MAC");
        return false;
    }
    if (client.mac.empty()) return !m_Duplicates.count(uuid);
    if (m_MacsOfUuid.size() > kMaxUuidsTracked) {
        for (auto it = m_MacsOfUuid.begin(); it != m_MacsOfUuid.end();) {
            bool recent = false;
            for (const auto &seen : it->second) recent = recent || now - seen.second < kSameUuidSeconds;
            it = recent ? std::next(it) : m_MacsOfUuid.erase(it);
        }
        if (m_MacsOfUuid.size() > kMaxUuidsTracked) m_MacsOfUuid.clear();
    }
    auto &macs = m_MacsOfUuid[uuid];
    macs[client.mac] = now;
    std::string other;
    for (auto it = macs.begin(); it != macs.end();) {
        if (now - it->second >= kSameUuidSeconds) {  // a NIC swapped out long ago: not "at once"
            it = macs.erase(it);
            continue;
        }
        if (it->first != client.mac) other = it->first;
        ++it;
    }
    if (!other.empty() && m_Duplicates.size() < kMaxUuidsTracked) m_Duplicates.insert(uuid);
    if (!m_Duplicates.count(uuid)) return true;
    Warn(who, "UUID " + uuid + " is on more than one MAC at once (" + client.mac +
                  (other.empty() ? std::string() : " and " + other) + "): each is known by its MAC");
    return false;
}

const Enrolment *MachineDirectory::Lookup(const Index &index, const SeenClient &client, bool trusted,
                                          bool *byUuid) const {
    *byUuid = false;
    if (trusted) {
        for (const std::string &form : {client.uuid, OtherByteOrder(client.uuid)}) {
            auto found = index.byUuid.find(form);
            if (found != index.byUuid.end()) return *byUuid = true, &found->second;
        }
    }
    if (client.mac.empty()) return nullptr;
    auto found = index.byMac.find(client.mac);
    if (found == index.byMac.end()) return nullptr;
    // A docking station's MAC on another machine, which tells its own UUID.
    const std::string &enrolled = found->second.uuid;
    if (trusted && !enrolled.empty() && enrolled != client.uuid && enrolled != OtherByteOrder(client.uuid))
        return nullptr;
    return &found->second;
}

void MachineDirectory::Learn(const Enrolment &e, const SeenClient &client, bool trusted, bool byUuid) {
    std::string uuid, mac;
    std::string who = e.name.empty() ? e.id : e.name;
    if (trusted && e.uuid.empty()) uuid = client.uuid;
    if (byUuid && !client.mac.empty() && client.mac != e.mac) mac = client.mac;
    if (uuid.empty() && mac.empty()) return;
    auto pending = m_Learnt.find(e.id);
    if (pending != m_Learnt.end() && pending->second == std::make_pair(uuid, mac)) return;
    if (m_Learnt.size() >= kMaxLearnt) return;  // the next boot tells it again
    m_Learnt[e.id] = {uuid, mac};
    if (!uuid.empty())
        std::cerr << "tavrel-host: identity: " << Shown(who) << (who == client.mac ? "" : " (" + client.mac + ")")
                  << " has UUID " << uuid
                  << ": known by it from now on, so a new NIC keeps its enrolment\n";
    if (!mac.empty())
        std::cerr << "tavrel-host: identity: " << Shown(who) << " (UUID " << e.uuid << ") now has MAC " << mac
                  << (e.mac.empty() ? std::string() : " (was " + e.mac + ")") << ": it keeps its enrolment and profile\n";
}

void MachineDirectory::NoteUnknown(const std::string &key, const SeenClient &client, double now) {
    auto found = m_Unknown.find(key);
    if (found == m_Unknown.end()) {
        m_Counters.unknownDropped += DropOldest(m_Unknown, m_Options.nMaxUnknown > 0 ? m_Options.nMaxUnknown - 1 : 0,
                                                [](const UnknownRow &row) { return row.lastSeen; });
        for (auto it = m_UnknownChanged.begin(); it != m_UnknownChanged.end();)
            it = m_Unknown.count(*it) ? std::next(it) : m_UnknownChanged.erase(it);
        UnknownRow row;
        row.id = key;
        row.firstSeen = now;
        found = m_Unknown.emplace(key, row).first;
    }
    UnknownRow &row = found->second;
    row.uuid = client.uuid;
    row.mac = client.mac;
    row.arch = client.arch;
    row.vendorClass = client.vendorClass;
    row.address = client.address;
    row.lastSeen = now;
    row.reporter = m_Reporter;
    m_UnknownChanged.insert(key);
}

Identified MachineDirectory::Identify(const SeenClient &client) {
    std::shared_ptr<const Index> index = std::atomic_load(&m_Index);
    double now = m_Clock();
    std::lock_guard<std::mutex> lock(m_Lock);
    Identified out;
    out.trustedUuid = Trusted(client, now);
    out.key = out.trustedUuid ? client.uuid : !client.mac.empty() ? client.mac : client.uuid.empty() ? client.key : client.uuid;
    for (const std::string &where : {client.address, client.mac}) {
        if (where.empty()) continue;
        if (m_SeenAt.size() >= kMaxAddresses && !m_SeenAt.count(where)) m_SeenAt.clear();
        m_SeenAt[where] = client;
    }
    bool byUuid = false;
    if (const Enrolment *e = Lookup(*index, client, out.trustedUuid, &byUuid)) {
        out.known = true;
        out.enrolment = *e;
        Learn(*e, client, out.trustedUuid, byUuid);
        return out;
    }
    NoteUnknown(out.key, client, now);
    return out;
}

bool MachineDirectory::FindEnrolled(const std::string &macOrAddress, Enrolment *enrolment, SeenClient *client) {
    std::shared_ptr<const Index> index = std::atomic_load(&m_Index);
    SeenClient seen;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        auto at = m_SeenAt.find(macOrAddress);
        if (at != m_SeenAt.end()) seen = at->second;
        else seen.mac = macOrAddress;
        bool byUuid = false;
        const Enrolment *e = Lookup(*index, seen, !seen.uuid.empty() && Trusted(seen, m_Clock()), &byUuid);
        if (!e && at == m_SeenAt.end()) {  // a UUID, as an `m/UUID/...` name gives it
            seen = SeenClient{};
            seen.uuid = macOrAddress;
            e = Lookup(*index, seen, true, &byUuid);
        }
        if (!e) return false;
        *enrolment = *e;
    }
    *client = seen;
    return true;
}

bool MachineDirectory::Sync(PolicyStore &store) {
    std::vector<UnknownRow> unknown;
    std::unordered_map<std::string, std::pair<std::string, std::string>> learnt;
    size_t cap;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        for (const std::string &key : m_UnknownChanged) unknown.push_back(m_Unknown.at(key));
        m_UnknownChanged.clear();
        learnt.swap(m_Learnt);
        cap = m_Options.nMaxUnknown;
    }
    bool ok = unknown.empty() || store.StoreUnknown(unknown);
    for (const auto &[id, change] : learnt) ok = store.UpdateIdentity(id, change.first, change.second) && ok;
    long dropped = 0;
    // After every write, so the store never holds more than the cap; else now and then, for the retention.
    if (m_nRound++ % kPruneEveryRounds == 0 || !unknown.empty())
        ok = store.PruneUnknown(cap, m_RetentionSeconds, &dropped) && ok;
    std::vector<EnrolmentRow> rows;
    std::vector<UnknownRow> stored;
    if (!store.Enrolments(&rows) || !store.UnknownMachines(&stored, kUnknownShown)) return false;
    auto index = std::make_shared<Index>();
    for (const EnrolmentRow &row : rows) {
        Enrolment e{row.id, row.uuid, row.mac, row.name, row.profile, VarsFromText(row.vars)};
        if (!e.uuid.empty()) index->byUuid[e.uuid] = e;
        if (!e.mac.empty()) index->byMac[e.mac] = e;
    }
    index->count = rows.size();
    std::atomic_store(&m_Index, std::shared_ptr<const Index>(index));
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Counters.unknownDropped += static_cast<uint64_t>(std::max(0L, dropped));
    m_Counters.enrolled = rows.size();
    for (auto it = m_Unknown.begin(); it != m_Unknown.end();) {  // enrolled since: no longer unknown
        const UnknownRow &row = it->second;
        bool enrolled = (!row.mac.empty() && index->byMac.count(row.mac)) || index->byUuid.count(row.uuid) ||
                        index->byUuid.count(OtherByteOrder(row.uuid));
        if (enrolled) m_UnknownChanged.erase(it->first);
        it = enrolled ? m_Unknown.erase(it) : std::next(it);
    }
    m_StoredUnknown = std::move(stored);
    return ok;
}

bool MachineDirectory::StartSyncing(const std::string &database, double retentionSeconds, std::string *error) {
    std::unique_ptr<PolicyStore> store = PolicyStore::Open(database, error);
    if (!store) return false;
    m_RetentionSeconds = retentionSeconds;
    Sync(*store);  // the enrolments before the first answer
    m_Syncer = std::thread(&MachineDirectory::SyncLoop, this, std::move(store));
    return true;
}

void MachineDirectory::StopSyncing() {
    if (!m_Syncer.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_StopLock);
        m_bStop = true;
    }
    m_StopSignal.notify_all();
    m_Syncer.join();
}

void MachineDirectory::SyncLoop(std::unique_ptr<PolicyStore> store) {
    auto told = std::chrono::steady_clock::time_point();
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (!Sync(*store) && (told == std::chrono::steady_clock::time_point() || now - told > std::chrono::minutes(1))) {
            told = now;  // the enrolments stay as last read meanwhile
            std::cerr << "tavrel-host: machines: the store: " << store->LastError() << "\n";
        }
        std::unique_lock<std::mutex> lock(m_StopLock);
        if (m_StopSignal.wait_for(lock, std::chrono::milliseconds(kSyncMs), [this] { return m_bStop; })) break;
    }
    Sync(*store);
}

std::vector<UnknownRow> MachineDirectory::Unknown() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_StoredUnknown;
}

DirectoryCounters MachineDirectory::Counters() {
    std::lock_guard<std::mutex> lock(m_Lock);
    DirectoryCounters counters = m_Counters;
    counters.unknown = m_Unknown.size();
    return counters;
}

bool EnrolMachine(PolicyStore &store, const std::string &machine, const std::string &profile, const std::string &name,
                  const TemplateVars &vars, double now, std::string *id, std::string *error, bool *invalid) {
    EnrolmentRow row;
    *invalid = true;
    if (!CanonicalMac(machine, &row.mac) && !CanonicalUuid(machine, &row.uuid))
        return *error = "\"" + machine + "\" is neither a MAC address (like 52:54:00:12:34:56) nor a UUID "
                        "(like 4c4c4544-0042-3510-8058-b4c04f384d32)",
               false;
    if (profile.empty()) return *error = "no profile named", false;
    *invalid = false;
    row.id = row.mac.empty() ? row.uuid : row.mac;
    std::vector<EnrolmentRow> rows;
    if (!store.Enrolments(&rows)) return *error = store.LastError(), false;
    for (const EnrolmentRow &old : rows)  // what the service learnt of it stays
        if (old.id == row.id) {
            if (row.uuid.empty()) row.uuid = old.uuid;
            if (row.mac.empty()) row.mac = old.mac;
            row.name = old.name;
            row.enrolled = old.enrolled;
        }
    if (!name.empty()) row.name = name;
    row.profile = profile;
    row.vars = VarsText(vars);
    row.updated = now;
    if (row.enrolled == 0) row.enrolled = now;
    if (!store.Enrol(row)) return *error = store.LastError(), false;
    *id = row.id;
    return true;
}
