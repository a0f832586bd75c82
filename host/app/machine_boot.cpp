#include "host/app/machine_boot.h"

#include <chrono>
#include <cstring>
#include <iostream>

#include "host/text/mac_text.h"
#include "host/text/uuid_text.h"
#include "log/log_text.h"

namespace {

std::string FieldText(const char *lpField, size_t size) { return std::string(lpField, strnlen(lpField, size)); }

bool AllZero(const unsigned char *bytes, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (bytes[i]) return false;
    return true;
}

std::string Shown(const std::string &text) { return PrintableText(text.c_str()).Text(); }

std::string Who(const Identified &id, const SeenClient &client) {
    std::string who = client.mac.empty() ? "(MAC unknown)" : client.mac;
    if (!client.uuid.empty()) who += " (UUID " + client.uuid + (id.trustedUuid ? "" : ", not believed") + ")";
    return who;
}

constexpr size_t kMaxHealing = 20000;  // machines whose last attempts are remembered

// Failed because of the loader or the file, not the network.
bool FailedForWhatWasServed(const MachineRecord &record) {
    if (record.result != kResultFailed || (record.stage != kStepTftp && record.stage != kStepHttp)) return false;
    return record.reason == ReasonKey(TAVREL_REASON_CLIENT_ERROR) || record.reason == ReasonKey(TAVREL_REASON_TIMEOUT) ||
           record.reason == "quiet";
}

std::string ArchName(int arch) {
    SelectBootFileRecord record{};
    record.arch = arch;
    std::string family = ClientFamily(record);
    return family.empty() ? std::to_string(arch) : family;
}

}  // namespace

SeenClient SeenOf(const SelectBootFileRecordEx &client) {
    SeenClient seen;
    if (client.uuidsource == TAVREL_UUID_OPTION97) seen.uuid = UuidText(client.uuid);
    else if (client.uuidsource == TAVREL_UUID_DUID) seen.uuid = UuidTextOfSmbiosOrder(client.uuid);
    bool ipv6 = (client.base.flags & TAVREL_BOOT_CLIENT_IPV6) != 0;
    if ((client.macknown || !ipv6) && !AllZero(client.base.mac, sizeof client.base.mac))
        seen.mac = MacText(client.base.mac);
    seen.key = FieldText(client.clientkey, sizeof client.clientkey);
    seen.address = FieldText(client.address, sizeof client.address);
    seen.arch = client.base.arch;
    seen.vendorClass = FieldText(client.base.vendorclass, sizeof client.base.vendorclass);
    return seen;
}

SelectBootFileRecordEx ExOf(const SelectBootFileRecord &client) {
    SelectBootFileRecordEx ex{};
    ex.base = client;
    ex.uuidsource = TAVREL_UUID_NONE;
    ex.macknown = (client.flags & TAVREL_BOOT_CLIENT_IPV6) == 0;
    return ex;
}

void MachineBoot::Use(const HostConfig &config, std::shared_ptr<SecureBootGuard> guard) {
    auto settings = std::make_shared<Settings>();
    settings->profiles = config.profiles;
    settings->rules = config.bootRules;
    settings->identity = config.identity;
    settings->server = config.server.ServerIP;
    settings->guard = std::move(guard);
    m_Directory.SetOptions(config.identity);
    std::atomic_store(&m_Settings, std::shared_ptr<const Settings>(settings));
}

BootAnswer MachineBoot::FromProfile(const Settings &settings, const Profile &profile,
                                    const SelectBootFileRecordEx &client, const std::string &why) {
    BootAnswer answer;
    std::string file = ProfileFile(profile, client.base);
    if (file.empty()) {  // no chain for this family: the configured boot file, as without profiles
        answer.line = why + ": profile " + profile.name + " has no \"" + ClientFamily(client.base) +
                      "\" entry: the [[boot]] rules decide";
        return answer;
    }
    answer.kind = BootAnswer::kFile;
    answer.file = file;
    answer.rule = "profile " + profile.name;
    answer.line = why + " gets " + file + " from profile " + profile.name;
    if (!settings.guard) return answer;
    const Profile *fallback = profile.fallback.empty() ? nullptr : FindProfile(settings.profiles, profile.fallback);
    SecureBootChoice choice = settings.guard->ChooseInProfile(file, fallback, client.base);
    if (choice.note.empty()) return answer;
    answer.file = choice.file;
    answer.bDefault = choice.bDefault;
    if (choice.file != file && !choice.bDefault) answer.rule = "profile " + fallback->name;
    answer.note = choice.note;
    answer.line += " (" + choice.note + ")";
    return answer;
}

BootAnswer MachineBoot::Choose(const SelectBootFileRecordEx &client) {
    std::shared_ptr<const Settings> settings = std::atomic_load(&m_Settings);
    SeenClient seen = SeenOf(client);
    Identified id = m_Directory.Identify(seen);
    std::string who = "boot: " + Who(id, seen);
    if (id.known) {
        const Enrolment &e = id.enrolment;
        std::string name = e.name.empty() ? e.id : e.name;
        if (const Profile *profile = FindProfile(settings->profiles, e.profile)) {
            std::string note;
            if (const Profile *fallback = Healing(*settings, *profile, id.key, seen.mac, &note)) {
                BootAnswer answer = FromProfile(*settings, *fallback, client, who + ", enrolled as " + Shown(name) + ",");
                answer.note = answer.note.empty() ? note : note + "; " + answer.note;
                answer.line += " (" + note + ")";
                return answer;
            }
            return FromProfile(*settings, *profile, client, who + ", enrolled as " + Shown(name) + ",");
        }
        BootAnswer answer;
        answer.line = who + ", enrolled as " + Shown(name) + ", names profile \"" + Shown(e.profile) +
                      "\", which the configuration lacks: the [[boot]] rules decide";
        return answer;
    }
    if (settings->identity.mode == UnknownMode::kEnforce) {
        BootAnswer answer;
        answer.kind = BootAnswer::kSilent;
        answer.line = who + " is not enrolled: not answered (identity.mode = \"enforce\"; tavrel-host enrol " +
                      (id.key.empty() ? std::string("MAC") : Shown(id.key)) + " --profile NAME)";
        return answer;
    }
    if (!settings->identity.discovery.empty())
        if (const Profile *profile = FindProfile(settings->profiles, settings->identity.discovery))
            return FromProfile(*settings, *profile, client, who + ", not enrolled,");
    const BootRule *rule = MatchBootRule(settings->rules, client.base);
    if (rule && !rule->profile.empty())
        if (const Profile *profile = FindProfile(settings->profiles, rule->profile)) {
            BootAnswer answer = FromProfile(*settings, *profile, client, who + " (by " + rule->name + ")");
            if (answer.kind == BootAnswer::kFile)
                answer.rule = "boot[" + std::to_string(rule - settings->rules.data()) + "]";
            return answer;
        }
    return BootAnswer{};  // today's [[boot]] rules, line and all
}

const Profile *MachineBoot::Healing(const Settings &settings, const Profile &profile, const std::string &key,
                                   const std::string &mac, std::string *note) {
    MachineRecord record;
    if (!m_Attempts || mac.empty() || !m_Attempts(mac, &record) || record.steps.empty()) return nullptr;
    std::lock_guard<std::mutex> lock(m_OutcomesLock);
    std::deque<Outcome> &outcomes = m_Outcomes[key];
    double start = record.steps.front().time;
    bool settled = record.result != kResultBooting;
    if (settled && (outcomes.empty() || outcomes.back().start != start)) {
        outcomes.push_back({start, record.stage, record.reason, FailedForWhatWasServed(record)});
        if (outcomes.size() > 2) outcomes.pop_front();
    }
    if (m_Outcomes.size() > kMaxHealing) m_Outcomes.clear();  // a flood: no machine heals for a while
    if (profile.fallback.empty() || outcomes.size() < 2) return nullptr;
    const Outcome &a = outcomes[0], &b = outcomes[1];
    if (!a.served || !b.served || a.stage != b.stage) return nullptr;
    const Profile *fallback = FindProfile(settings.profiles, profile.fallback);
    if (fallback)
        *note = "fallback profile " + fallback->name + ": its last two attempts failed at " + a.stage + " (" +
                ReasonWords(a.reason) + ", then " + ReasonWords(b.reason) + ") with profile " + profile.name;
    return fallback;
}

TemplateVars MachineVars(const Profile &profile, const Enrolment &enrolment, const SeenClient &client,
                         const std::string &server) {
    TemplateVars vars = profile.vars;
    for (const auto &[name, value] : enrolment.vars) vars[name] = value;
    std::string mac = !client.mac.empty() ? client.mac : enrolment.mac;
    std::string uuid = !client.uuid.empty() ? client.uuid : enrolment.uuid;
    vars["name"] = !enrolment.name.empty() ? enrolment.name : !mac.empty() ? mac : uuid;
    vars["mac"] = mac;
    vars["uuid"] = uuid;
    vars["address"] = client.address;
    vars["arch"] = client.arch >= 0 ? ArchName(client.arch) : "";
    vars["server"] = server;
    vars["profile"] = profile.name;
    return vars;
}

int MachineBoot::Render(const std::string &file, const std::string &mac, const std::string &address,
                        std::string *body, const char *lpService) {
    auto start = std::chrono::steady_clock::now();
    int found = RenderFile(file, mac, address, body);
    if (found == 0) return 0;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::lock_guard<std::mutex> lock(m_RendersLock);
    ++(found > 0 ? m_Renders.rendered : m_Renders.none)[lpService];
    m_Renders.seconds[lpService] += seconds;
    if (seconds > kSlowRenderSeconds) ++m_Renders.slow[lpService];
    return found;
}

RenderCounts MachineBoot::Renders() const {
    std::lock_guard<std::mutex> lock(m_RendersLock);
    return m_Renders;
}

int MachineBoot::RenderFile(const std::string &asked, const std::string &mac, const std::string &address,
                            std::string *body) {
    std::shared_ptr<const Settings> settings = std::atomic_load(&m_Settings);
    if (asked.empty()) return 0;
    std::string file = asked[0] == '/' ? asked.substr(1) : asked, key;
    if (file.rfind("m/", 0) == 0) {  // m/KEY/NAME
        size_t slash = file.find('/', 2);
        if (slash == std::string::npos) return 0;
        key = file.substr(2, slash - 2);
        file = file.substr(slash + 1);
        std::string canonical;
        if (CanonicalMac(key, &canonical) || CanonicalUuid(key, &canonical)) key = canonical;
    }
    bool anyProfile = false;
    for (const Profile &profile : settings->profiles) anyProfile = anyProfile || profile.templates.count(file);
    if (!anyProfile) return key.empty() ? 0 : -1;
    Enrolment enrolment;
    SeenClient client;
    bool known = false;
    if (!key.empty()) {
        known = m_Directory.FindEnrolled(key, &enrolment, &client);
        if (!known) return -1;
    } else {
        known = (!mac.empty() && m_Directory.FindEnrolled(mac, &enrolment, &client)) ||
                (!address.empty() && m_Directory.FindEnrolled(address, &enrolment, &client));
    }
    const Profile *profile = known ? FindProfile(settings->profiles, enrolment.profile)
                                   : settings->identity.mode == UnknownMode::kLog && !settings->identity.discovery.empty()
                                         ? FindProfile(settings->profiles, settings->identity.discovery)
                                         : nullptr;
    if (!profile || !profile->templates.count(file)) return -1;
    if (!known) {
        client.mac = mac;
        client.address = address;
    }
    if (client.address.empty()) client.address = address;
    std::string error;
    if (RenderTemplate(profile->templates.at(file), MachineVars(*profile, enrolment, client, settings->server), body,
                       &error))
        return 1;
    std::cerr << "tavrel-host: " << Shown(file) << " for " << Shown(client.mac.empty() ? address : client.mac)
              << " (profile " << profile->name << "): " << error << "\n";
    return -1;
}
