#include "host/boots/boot_tracker.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>

#include "host/text/address_text.h"
#include "host/text/mac_text.h"

namespace {

constexpr unsigned char kDhcpOffer = 2, kDhcpDecline = 4, kDhcpAck = 5, kDhcpNak = 6, kDhcpRelease = 7;
constexpr int kBootServerPort = 4011;
constexpr int kDhcp6ServerPort = 547;
constexpr int kDhcp6Advertise = 2, kDhcp6Reply = 7, kDhcp6Decline = 9;
constexpr const char *kSizeProbe = "size_probe";
// What the library advertises as lease time (a day): an address
// acknowledged this recently is taken.
constexpr double kLeaseSeconds = 86400;
// Records kept in memory; past it the oldest tenth goes (the store keeps them).
constexpr size_t kMaxMachines = 20000;
constexpr size_t kMaxAddresses = 100000;
constexpr int kSaveMs = 1000;
constexpr int kPruneEverySaves = 60;
constexpr int kFarmRecords = 500;
// How far before the HTTP news a library event it may have preceded is placed:
// the store keeps times to the millisecond.
constexpr double kNewsOrderSeconds = 0.001;

// Text of a fixed-size field of the library's record, which may lack its NUL.
std::string FieldText(const char *lpField, size_t size) { return std::string(lpField, strnlen(lpField, size)); }

double Now() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

bool AllZero(const unsigned char *mac) {
    for (int i = 0; i < 6; ++i)
        if (mac[i]) return false;
    return true;
}

const char *Dhcp6TypeName(int nType) {
    switch (nType) {
        case kDhcp6Advertise: return "advertise";
        case kDhcp6Reply: return "reply";
        default: return "other";
    }
}

const char *DhcpTypeName(int nType) {
    switch (nType) {
        case kDhcpOffer: return "offer";
        case kDhcpAck: return "ack";
        case kDhcpNak: return "nak";
        default: return "other";
    }
}

// Drops the oldest tenth of a map of records once it holds too many.
template <typename Map, typename Age>
size_t Trim(Map &map, size_t nMax, Age age) {
    if (map.size() <= nMax) return 0;
    size_t nBefore = map.size();
    std::vector<double> ages;
    for (const auto &entry : map) ages.push_back(age(entry.second));
    std::nth_element(ages.begin(), ages.begin() + ages.size() / 10, ages.end());
    double cut = ages[ages.size() / 10];
    for (auto it = map.begin(); it != map.end();) it = age(it->second) <= cut ? map.erase(it) : std::next(it);
    return nBefore - map.size();
}

double RecordAge(const MachineRecord &record) { return record.lastSeen; }

int64_t SteadyMinute() {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::minutes>(since).count();
}

}  // namespace

MachineRecord RecordFromRow(const MachineRow &row) {
    MachineRecord record{row.mac,    row.address,  row.lastSeen, row.stage, row.result, row.reason, row.reporter,
                         StepsFromText(row.steps)};
    SettleRecord(&record, Now());  // the stored result was true when written
    return record;
}

MachineRow RowFromRecord(const MachineRecord &r) {
    return {r.mac, r.address, r.stage, r.result, r.reason, r.reporter, r.lastSeen, StepsText(r.steps)};
}

void TimeHistogram::Observe(double seconds) {
    size_t bucket = static_cast<size_t>(std::lower_bound(bounds.begin(), bounds.end(), seconds) - bounds.begin());
    ++counts[bucket];
    sum += seconds;
    ++total;
}

BootTracker::Clock BootTracker::WallClock() { return Now; }

double BootTracker::EventTime(long long seconds) const {
    double now = m_Clock();
    return seconds > 0 ? std::min(now, static_cast<double>(seconds) + 0.999) : now;
}

void BootTracker::Take(const BootEventRecord &event) {
    TakeEvent(event, FieldText(event.address, sizeof event.address), AllZero(event.mac) ? "" : MacText(event.mac));
}

void BootTracker::TakeV6(const BootEventRecordV6 &event) {
    std::string key = AllZero(event.base.mac) ? FieldText(event.clientkey, sizeof event.clientkey)
                                              : MacText(event.base.mac);
    TakeEvent(event.base, FieldText(event.address, sizeof event.address), key);
}

void BootTracker::TakeEx(const BootEventRecordEx &event) {
    const BootEventRecord &base = event.base;
    TakeEvent(base, FieldText(base.address, sizeof base.address), AllZero(base.mac) ? "" : MacText(base.mac),
              FieldText(event.quirknames, sizeof event.quirknames));
}

void BootTracker::TakeEvent(const BootEventRecord &event, const std::string &address, const std::string &key,
                            const std::string &quirks) {
    BootStep step;
    step.quirks = quirks;
    step.time = EventTime(event.time);
    step.reason = ReasonKey(event.reason);
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Counters.droppedEvents = event.dropped;
    switch (event.kind) {
        case TAVREL_EVENT_DHCP_ANSWER:
        case TAVREL_EVENT_DHCP_UNANSWERED:
        case TAVREL_EVENT_MIRROR_REQUEST:
        case TAVREL_EVENT_MIRROR_REPORT:
            return TakeDhcp(event, step, address, key);
        case TAVREL_EVENT_TFTP_STARTED:
        case TAVREL_EVENT_TFTP_PROGRESS:
        case TAVREL_EVENT_TFTP_ENDED:
        case TAVREL_EVENT_TFTP_REFUSED:
            return TakeTftp(event, step, address);
        case TAVREL_EVENT_ADDRESS_IN_USE:
            ++m_Counters.dhcpProbeConflicts;  // no machine's step: the address's holder never asked
            return;
        default:
            return;  // a kind of a later library
    }
}

void BootTracker::TakeDhcp(const BootEventRecord &event, BootStep step, const std::string &address,
                           const std::string &mac) {
    bool bV6 = event.port == kDhcp6ServerPort;
    int nOffer = bV6 ? kDhcp6Advertise : kDhcpOffer;
    if (event.kind == TAVREL_EVENT_MIRROR_REQUEST || event.kind == TAVREL_EVENT_MIRROR_REPORT) {
        bool bReport = event.kind == TAVREL_EVENT_MIRROR_REPORT;
        ++m_Counters.mirrorMessages[bReport ? "report" : "request"];
        // A report counts here only; it is a boot once the report queue took it (ReportAccepted).
        if (bReport || mac.empty()) return;
        step.what = kStepMirrorRequest;
        step.address = FieldText(event.server, sizeof event.server);
        Record(mac, step, address, true, address);  // told only when answered
        return;
    }
    if (event.reason == TAVREL_REASON_HOST_DECLINED || event.reason == TAVREL_REASON_OTHER_SERVER) {
        // Another server's client (a farm's everyday traffic): no refusal, no step.
        ++m_Counters.dhcpOtherServers[step.reason];
        return;
    }
    if (event.reason == TAVREL_REASON_UNKNOWN_LEASE)
        ++m_Counters.dhcpUnknownLeases[event.kind == TAVREL_EVENT_DHCP_ANSWER ? "nak" : "none"];
    if (event.kind == TAVREL_EVENT_DHCP_UNANSWERED) {
        ++m_Counters.dhcpUnanswered[step.reason];
        if (event.messagetype == (bV6 ? kDhcp6Decline : kDhcpDecline) || event.reason == TAVREL_REASON_DECLINED_ADDRESS)
            ++m_Counters.dhcpDeclines;
        step.what = kStepUnanswered;
        if (!bV6 && event.messagetype == kDhcpRelease && event.reason == TAVREL_REASON_NOT_ANSWERED_TYPE)
            NoteRelease(mac);
        // RELEASE, INFORM and the like are counted only: they end no boot.
        if (!mac.empty() && event.reason != TAVREL_REASON_NOT_ANSWERED_TYPE) Record(mac, step, "", false, address);
        return;
    }
    const char *lpType = bV6 ? Dhcp6TypeName(event.messagetype) : DhcpTypeName(event.messagetype);
    ++m_Counters.dhcpAnswers[std::string(lpType) + " " + std::to_string(event.port)];
    step.reason.clear();  // a NAK's reason is counted; the NAK itself ends no boot
    step.address = address;
    step.file = FieldText(event.file, sizeof event.file);
    auto rule = m_RuleOfMac.find(mac);
    if (rule != m_RuleOfMac.end() && rule->second.file == step.file)
        step.rule = rule->second.rule, step.note = rule->second.note;
    step.what = event.port == kBootServerPort ? kStepProxy
                : event.messagetype == nOffer              ? kStepOffer
                : !bV6 && event.messagetype == kDhcpNak    ? kStepNak
                                                           : kStepAck;
    if (event.messagetype == kDhcpAck && event.port != kBootServerPort && !bV6) {
        uint32_t dwAddress = AddressValue(address);
        m_Acknowledged[dwAddress] = step.time;
        Trim(m_Acknowledged, kMaxAddresses, [](double seen) { return seen; });
        if (!mac.empty()) {
            m_AddressOfMac[mac] = dwAddress;
            Trim(m_AddressOfMac, kMaxAddresses, [this](uint32_t dwAcked) {
                auto found = m_Acknowledged.find(dwAcked);
                return found == m_Acknowledged.end() ? 0.0 : found->second;
            });
        }
    }
    if (bV6 && event.messagetype == kDhcp6Reply) NoteReply6(event, address, step.time);
    // Counted only, as an IPv4 RELEASE is: it ends no boot and binds nothing.
    if (mac.empty() || event.reason == TAVREL_REASON_RELEASED_ADDRESS) return;
    // A DHCPv6 reply to an INFORMATION-REQUEST binds no address.
    if ((step.what == kStepOffer || step.what == kStepAck) && !address.empty()) {
        m_MacOfAddress[address] = mac;
        Trim(m_MacOfAddress, kMaxAddresses, [this](const std::string &owner) {
            auto it = m_Machines.find(owner);
            return it == m_Machines.end() ? 0.0 : it->second.lastSeen;
        });
    }
    // On 67 the address given stands for the source, which is mostly 0.0.0.0 or a relay.
    Record(mac, step, step.what == kStepProxy ? "" : address, true, address);
    auto record = m_Machines.find(mac);
    if (step.what == kStepAck && record != m_Machines.end()) NoteFirstAck(record->second, step);
}

// A DHCPRELEASE's event names its source, not the address given back
// (ciaddr): that is the address last acknowledged to its MAC, and it is
// free again only while that MAC still holds it, as the library ends a
// lease only for its holder. A release forged from another MAC frees nothing.
void BootTracker::NoteRelease(const std::string &mac) {
    auto found = mac.empty() ? m_AddressOfMac.end() : m_AddressOfMac.find(mac);
    if (found == m_AddressOfMac.end()) return;
    uint32_t dwAddress = found->second;
    m_AddressOfMac.erase(found);
    auto holder = m_MacOfAddress.find(AddressText(dwAddress));
    if (holder != m_MacOfAddress.end() && holder->second == mac) m_Acknowledged.erase(dwAddress);
}

// The first ACK of a boot (an offer came before it; a renewal has none),
// once per attempt, timed from the attempt's first request: its first step.
void BootTracker::NoteFirstAck(MachineRecord &record, const BootStep &step) {
    if (record.ackTimed == record.attempt) return;
    bool bOffered = false;
    for (const BootStep &s : record.steps) bOffered = bOffered || (s.what == kStepOffer && s.time <= step.time);
    if (!bOffered) return;
    record.ackTimed = record.attempt;
    m_Counters.dhcpAckSeconds.Observe(std::max(0.0, step.time - record.steps.front().time));
}

void BootTracker::TakeTftp(const BootEventRecord &event, BootStep step, const std::string &address) {
    step.file = FieldText(event.file, sizeof event.file);
    step.size = event.size;
    step.bytes = event.bytes;
    step.durationMs = event.durationms;
    if (event.kind == TAVREL_EVENT_TFTP_PROGRESS) return TakeTftpProgress(address, step);
    if (event.kind == TAVREL_EVENT_TFTP_REFUSED) {
        ++m_Counters.tftpRefused[step.reason];
        step.what = kStepTftpRefused;
    } else {
        step.what = kStepTftp;
        step.ended = event.kind == TAVREL_EVENT_TFTP_ENDED;
        if (step.ended) {
            // Firmware asks for the size, then ends the transfer after the OACK: no error.
            bool bSizeProbe = event.reason == TAVREL_REASON_CLIENT_ERROR && event.bytes == 0;
            ++m_Counters.tftpTransfers[event.result == 1 ? "complete" : bSizeProbe ? kSizeProbe : step.reason];
            m_Counters.tftpBytes += static_cast<uint64_t>(event.bytes);
            if (event.result == 1) step.reason.clear();
        }
    }
    std::string key = KeyOfAddress(address);
    if (step.reason.empty()) step.time = BeforeHttpNews(key, step.time, event.time);
    Record(key, step, address, true, address);
}

// The delivery thread hands a library event over up to its period late (more
// on a loaded machine), the HTTP server tells its news at once: within the
// event's second their order is unknown. A transfer that went well is then
// placed before the HTTP news that reached here first, so that a failure
// that came of it (iPXE's script names a kernel the folder lacks) is never
// hidden behind it; when the order cannot be known, the worse reading stands.
double BootTracker::BeforeHttpNews(const std::string &key, double time, long long seconds) const {
    auto found = m_Machines.find(key);
    if (found == m_Machines.end() || seconds <= 0) return time;
    for (const BootStep &s : found->second.steps)
        if ((s.what == kStepHttp || s.what == kStepHttpRefused) && s.time > seconds && s.time <= time)
            time = std::max(static_cast<double>(seconds), s.time - kNewsOrderSeconds);
    return time;
}

void BootTracker::TakeTftpProgress(const std::string &address, BootStep step) {
    std::string key = KeyOfAddress(address);
    if (BootStep *open = OpenTransfer(key, kStepTftp, step.file)) {
        open->bytes = step.bytes, open->size = step.size, open->durationMs = step.durationMs;
        MachineRecord &record = m_Machines[key];
        record.lastSeen = std::max(record.lastSeen, step.time);
        m_Changed.insert(key);
        return;
    }
    // Its start was not told (a full queue dropped it): the progress stands for it.
    step.what = kStepTftp;
    step.time -= step.durationMs / 1000.0;
    Record(key, step, address, true, address);
}

BootStep *BootTracker::OpenTransfer(const std::string &key, const char *lpWhat, const std::string &file) {
    auto found = m_Machines.find(key);
    if (found == m_Machines.end()) return nullptr;
    auto &steps = found->second.steps;
    for (auto s = steps.rbegin(); s != steps.rend(); ++s)
        if (s->what == lpWhat && !s->ended && s->file == file) return &*s;
    return nullptr;
}

void BootTracker::NoteRule(const unsigned char *mac, const std::string &rule, const std::string &file,
                           const std::string &note) {
    if (AllZero(mac)) return;  // an IPv6 client known by its DUID alone: no rule credit is tied to it
    std::lock_guard<std::mutex> lock(m_Lock);
    if (rule.empty()) {
        m_RuleOfMac.erase(MacText(mac));
        return;
    }
    m_RuleOfMac[MacText(mac)] = {rule, file, note};
    if (m_RuleOfMac.size() > kMaxAddresses) m_RuleOfMac.clear();  // names only: they come again
}

void BootTracker::HttpStarted() {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_Counters.httpInFlight;
}

void BootTracker::HttpSendingStarted(const HttpSending &sending) {
    BootStep step;
    step.time = m_Clock() - sending.seconds;
    step.what = kStepHttp;
    step.file = sending.name;
    step.size = static_cast<long long>(sending.qwSize);
    std::lock_guard<std::mutex> lock(m_Lock);
    Record(KeyOfAddress(sending.client), step, sending.client, true, sending.client);
}

void BootTracker::HttpProgress(const std::vector<HttpSending> &live) {
    std::lock_guard<std::mutex> lock(m_Lock);
    for (const HttpSending &sending : live) {
        std::string key;
        BootStep *open = OpenHttp(sending.client, sending.name, &key);
        if (!open || open->bytes == static_cast<long long>(sending.qwSent)) continue;
        open->bytes = static_cast<long long>(sending.qwSent);
        open->durationMs = static_cast<int>(sending.seconds * 1000);
        m_Changed.insert(key);
    }
}

// The HTTP server's news do not wait in the library's event queue, so an
// answer may start before the DHCP events that name the client's MAC are
// taken: its start is then filed under the address.
BootStep *BootTracker::OpenHttp(const std::string &client, const std::string &name, std::string *key) {
    *key = KeyOfAddress(client);
    BootStep *open = OpenTransfer(*key, kStepHttp, name);
    if (open || *key == client) return open;
    *key = client;
    return OpenTransfer(client, kStepHttp, name);
}

void BootTracker::HttpEnded(const HttpRequestEnd &end) {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::string startKey;
    bool bStartApart = OpenHttp(end.client, end.name, &startKey) && startKey != KeyOfAddress(end.client);
    --m_Counters.httpInFlight;
    ++m_Counters.httpRequests[std::to_string(end.nStatus)];
    m_Counters.httpBytes += end.qwSent;
    BootStep step;
    step.time = m_Clock();
    step.file = end.name;
    step.bytes = static_cast<long long>(end.qwSent);
    step.size = static_cast<long long>(end.qwSize);
    step.durationMs = static_cast<int>(end.seconds * 1000);
    step.ended = true;
    if (end.nStatus >= 400) {
        step.what = kStepHttpRefused;
        step.reason = end.nStatus == 404 ? "not_found" : "forbidden";
    } else {
        step.what = kStepHttp;
        if (!end.bComplete) step.reason = "client_closed";
    }
    Record(KeyOfAddress(end.client), step, end.client, true, end.client);
    if (bStartApart) Record(startKey, step, end.client, true, end.client);  // its start ends there too
}

void BootTracker::ReportAccepted(const StoredReport &report) {
    BootStep step;
    step.time = m_Clock();
    step.what = kStepReport;
    step.address = report.server;
    std::lock_guard<std::mutex> lock(m_Lock);
    Record(report.mac, step, "", true, report.ip);
}

void BootTracker::DatagramIgnored(const char *lpWhy) {
    const char *lpKey = strcmp(lpWhy, kIgnoredForged) == 0      ? "forged"
                        : strcmp(lpWhy, kIgnoredNotMember) == 0 ? "not_member"
                                                                : "replayed";
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_Counters.farmIgnored[lpKey];
}

std::string BootTracker::KeyOfAddress(const std::string &address) {
    auto mac = m_MacOfAddress.find(address);
    return mac == m_MacOfAddress.end() ? address : mac->second;
}

bool BootTracker::MayCreate(const std::string &source) {
    using namespace machine_limits;
    int64_t nMinute = SteadyMinute();
    if (nMinute != m_nMinute) {
        m_nMinute = nMinute;
        m_NewBySource.clear();
        m_nNewThisMinute = 0;
    }
    if (m_nNewThisMinute >= kNewPerMinute) return false;
    auto counted = m_NewBySource.find(source);
    if (counted == m_NewBySource.end()) {
        if (m_NewBySource.size() >= kMaxSourcesMinute) return false;
        counted = m_NewBySource.emplace(source, 0).first;
    }
    if (counted->second >= kNewPerSourceMinute) return false;
    ++counted->second;
    ++m_nNewThisMinute;
    return true;
}

// A new record, with what the unanswered table knew of the machine; null
// past the caps.
MachineRecord *BootTracker::NewRecord(const std::string &key, const std::string &source) {
    if (!MayCreate(source)) {
        ++m_Counters.recordsRefused;
        return nullptr;
    }
    Trim(m_Machines, kMaxMachines, RecordAge);
    MachineRecord &record = m_Machines[key];
    auto known = m_Unanswered.find(key);
    if (known != m_Unanswered.end()) {
        record = std::move(known->second);
        m_Unanswered.erase(known);
    }
    record.mac = key;
    record.reporter = m_Reporter;
    return &record;
}

void BootTracker::Unanswered(const std::string &key, const BootStep &step) {
    auto found = m_Unanswered.find(key);
    if (found == m_Unanswered.end()) {
        m_Counters.unansweredDropped += Trim(m_Unanswered, machine_limits::kMaxUnanswered - 1, RecordAge);
        found = m_Unanswered.emplace(key, MachineRecord{}).first;
        found->second.mac = key;
        found->second.reporter = m_Reporter;
    }
    AddStep(&found->second, step);
}

void BootTracker::Record(const std::string &key, const BootStep &step, const std::string &address, bool bAnswered,
                         const std::string &source) {
    auto found = m_Machines.find(key);
    MachineRecord *record = found != m_Machines.end() ? &found->second : nullptr;
    if (!record && !bAnswered) return Unanswered(key, step);
    if (!record && !(record = NewRecord(key, source))) return;
    AddStep(record, step);
    if (!address.empty()) record->address = address;
    m_Changed.insert(key);
    m_Unsettled.insert(key);
    if (m_Unsettled.size() > kMaxMachines) SettleOutcomes(m_Clock());  // nobody asks: keep it bounded
}

bool BootTracker::LastAttempt(const std::string &mac, MachineRecord *record) {
    std::lock_guard<std::mutex> lock(m_Lock);
    auto found = m_Machines.find(mac);
    if (found == m_Machines.end()) return false;
    *record = found->second;
    SettleRecord(record, m_Clock());
    return true;
}

std::vector<MachineRecord> BootTracker::Machines(size_t nMost) {
    // Under the lock: the newest NMOST of this server's own, picked by
    // their times alone, and a hold on the farm's list.
    std::shared_ptr<const std::vector<MachineRecord>> farm;
    std::vector<std::pair<MachineRecord, bool>> own;  // and whether it is of the never answered
    double now;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        now = m_Clock();
        farm = m_Farm;
        struct Newest {
            double lastSeen;
            const MachineRecord *lpRecord;
            bool bUnanswered;
        };
        std::vector<Newest> newest;
        newest.reserve(m_Machines.size() + m_Unanswered.size());
        for (const auto &entry : m_Machines) newest.push_back({entry.second.lastSeen, &entry.second, false});
        for (const auto &entry : m_Unanswered) newest.push_back({entry.second.lastSeen, &entry.second, true});
        if (newest.size() > nMost) {
            std::nth_element(newest.begin(), newest.begin() + static_cast<std::ptrdiff_t>(nMost), newest.end(),
                             [](const Newest &a, const Newest &b) { return a.lastSeen > b.lastSeen; });
            newest.resize(nMost);
        }
        own.reserve(newest.size());
        for (const Newest &entry : newest) own.emplace_back(*entry.lpRecord, entry.bUnanswered);
    }
    // A machine both here and in the farm's list shows its freshest record;
    // one never answered here does not hide the farm's.
    std::unordered_map<std::string, MachineRecord> all;
    for (const MachineRecord &record : *farm) all[record.mac] = record;
    for (auto &entry : own) {
        MachineRecord &record = entry.first;
        bool bUnanswered = entry.second;
        auto slot = all.find(record.mac);
        if (slot == all.end()) all.emplace(record.mac, std::move(record));
        else if (!bUnanswered && record.lastSeen >= slot->second.lastSeen) slot->second = std::move(record);
    }
    std::vector<MachineRecord> list;
    list.reserve(all.size());
    for (auto &slot : all) {
        SettleRecord(&slot.second, now);  // a stage that went quiet has ended by now
        list.push_back(std::move(slot.second));
    }
    auto newer = [](const MachineRecord &a, const MachineRecord &b) {
        return a.lastSeen != b.lastSeen ? a.lastSeen > b.lastSeen : a.mac < b.mac;
    };
    if (list.size() > nMost) {
        std::partial_sort(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(nMost), list.end(), newer);
        list.resize(nMost);
    } else {
        std::sort(list.begin(), list.end(), newer);
    }
    return list;
}

std::vector<TransferUnderWay> BootTracker::Transfers() {
    std::lock_guard<std::mutex> lock(m_Lock);
    double since = m_Clock() - kTransferQuietSeconds;
    std::vector<TransferUnderWay> list;
    for (const auto &entry : m_Machines) {
        if (entry.second.lastSeen < since) continue;
        for (const BootStep &s : entry.second.steps) {
            if ((s.what != kStepTftp && s.what != kStepHttp) || s.ended || s.time < since) continue;
            list.push_back({s.what == kStepTftp ? "tftp" : "http", entry.first, entry.second.address, s.file, s.time,
                            s.bytes, s.size, s.durationMs / 1000.0});
        }
    }
    std::sort(list.begin(), list.end(), [](const TransferUnderWay &a, const TransferUnderWay &b) {
        return a.started != b.started ? a.started > b.started : a.mac < b.mac;
    });
    return list;
}

BootOutcomes BootTracker::Outcomes() {
    std::lock_guard<std::mutex> lock(m_Lock);
    SettleOutcomes(m_Clock());
    return m_Outcomes;
}

// An attempt counts once, when it is first seen booted or failed; one
// still booting is looked at again next time.
void BootTracker::SettleOutcomes(double now) {
    for (auto key = m_Unsettled.begin(); key != m_Unsettled.end();) {
        auto found = m_Machines.find(*key);
        if (found == m_Machines.end() || found->second.steps.empty()) {
            key = m_Unsettled.erase(key);
            continue;
        }
        MachineRecord settled = found->second;
        SettleRecord(&settled, now);
        if (settled.result == kResultBooting) {
            ++key;
            continue;
        }
        // An attempt that began after the last one counted ended.
        bool bEnd = settled.result == kResultBooted || settled.result == kResultFailed;
        if (bEnd && settled.steps.front().time > m_Counted[*key]) {
            m_Counted[*key] = settled.lastSeen;
            ++(settled.result == kResultBooted ? m_Outcomes.booted : m_Outcomes.failed);
            if (settled.result == kResultBooted) NoteBootTime(settled);
            Trim(m_Counted, kMaxMachines, [](double seen) { return seen; });
        }
        key = m_Unsettled.erase(key);
    }
}

// A booted attempt's first request to its payload's last byte (the end of
// the last transfer that completed); one booted by a report alone has none.
void BootTracker::NoteBootTime(const MachineRecord &record) {
    double last = -1;
    for (const BootStep &s : record.steps)
        if ((s.what == kStepTftp || s.what == kStepHttp) && s.ended && s.reason.empty()) last = std::max(last, s.time);
    if (last >= 0) m_Counters.bootSeconds.Observe(std::max(0.0, last - record.steps.front().time));
}

BootCounters BootTracker::Counters() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Counters;
}

// A REPLY names the address it bound or, to a DECLINE or RELEASE, the one given up
// (a REPLY to an INFORMATION-REQUEST names the client's source: no range's).
void BootTracker::NoteReply6(const BootEventRecord &event, const std::string &address, double time) {
    unsigned char bytes[16];
    if (!ParseAddress6(address, bytes)) return;
    std::string key(reinterpret_cast<const char *>(bytes), sizeof bytes);
    if (event.reason == TAVREL_REASON_DECLINED_ADDRESS || event.reason == TAVREL_REASON_RELEASED_ADDRESS) {
        m_Acknowledged6.erase(key);
        return;
    }
    m_Acknowledged6[key] = time;
    Trim(m_Acknowledged6, kMaxAddresses, [](double seen) { return seen; });
}

long BootTracker::AddressesInUse6(const unsigned char abBegin[16], const unsigned char abEnd[16]) {
    std::string begin(reinterpret_cast<const char *>(abBegin), 16), end(reinterpret_cast<const char *>(abEnd), 16);
    std::lock_guard<std::mutex> lock(m_Lock);
    double since = m_Clock() - kLeaseSeconds;
    long n = 0;
    for (const auto &entry : m_Acknowledged6) n += entry.first >= begin && entry.first <= end && entry.second > since;
    return n;
}

long BootTracker::AddressesInUse(uint32_t dwBegin, uint32_t dwEnd) {
    std::lock_guard<std::mutex> lock(m_Lock);
    double since = m_Clock() - kLeaseSeconds;
    long n = 0;
    for (const auto &entry : m_Acknowledged) n += entry.first >= dwBegin && entry.first <= dwEnd && entry.second > since;
    return n;
}

bool BootTracker::StartSaving(const std::string &database, double retentionSeconds, std::string *error) {
    std::unique_ptr<PolicyStore> store = PolicyStore::Open(database, error);
    if (!store) return false;
    m_Saver = std::thread(&BootTracker::SaveLoop, this, std::move(store), retentionSeconds);
    return true;
}

void BootTracker::StopSaving() {
    if (!m_Saver.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_StopLock);
        m_bStop = true;
    }
    m_StopSignal.notify_all();
    m_Saver.join();
}

void BootTracker::SaveLoop(std::unique_ptr<PolicyStore> store, double retentionSeconds) {
    for (int nRound = 0;; ++nRound) {
        if (nRound % kPruneEverySaves == 0) {
            store->PruneMachines(retentionSeconds);
            LogDrops();
        }
        Save(*store);
        std::unique_lock<std::mutex> lock(m_StopLock);
        if (m_StopSignal.wait_for(lock, std::chrono::milliseconds(kSaveMs), [this] { return m_bStop; })) break;
    }
    Save(*store);  // what the last moments brought
}

// Once a minute at most: what the caps kept out of the records since the last time.
void BootTracker::LogDrops() {
    std::lock_guard<std::mutex> lock(m_Lock);
    uint64_t qwEvicted = m_Counters.unansweredDropped - m_Logged.unansweredDropped;
    uint64_t qwRefused = m_Counters.recordsRefused - m_Logged.recordsRefused;
    if (qwEvicted || qwRefused)
        std::cerr << "tavrel-host: " << qwEvicted << " machines never answered left the memory table, " << qwRefused
                  << " new boot records refused (more than " << machine_limits::kNewPerSourceMinute
                  << " a minute from one source, or " << machine_limits::kNewPerMinute << " in all)\n";
    m_Logged = m_Counters;
}

// Writes the changed records, then reads the farm's. A failed write keeps
// them marked, so the next round tries again.
void BootTracker::Save(PolicyStore &store) {
    std::vector<MachineRow> rows;
    std::set<std::string> changed;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        changed.swap(m_Changed);
        for (const std::string &key : changed) {
            auto found = m_Machines.find(key);
            if (found != m_Machines.end()) rows.push_back(RowFromRecord(found->second));
        }
    }
    if (!rows.empty() && !store.StoreMachines(rows)) {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Changed.insert(changed.begin(), changed.end());
    }
    std::vector<MachineRow> farm;
    if (!store.Machines(&farm, kFarmRecords)) return;
    std::vector<MachineRecord> records;
    for (const MachineRow &row : farm) records.push_back(RecordFromRow(row));
    auto shared = std::make_shared<const std::vector<MachineRecord>>(std::move(records));
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Farm = std::move(shared);
}
