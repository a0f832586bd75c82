#include "host/web/machine_api.h"

#include <ctime>
#include <iostream>

#include "host/boots/boot_tracker.h"
#include "host/boots/machine_directory.h"
#include "host/text/mac_text.h"
#include "host/text/time_text.h"
#include "host/text/uuid_text.h"
#include "log/log_text.h"

namespace {

constexpr const char kPrefix[] = "/api/v1/";
constexpr int kListed = 10000;

ApiReply Reply(unsigned status, const JsonValue &body) { return {status, JsonDocument(body)}; }
ApiReply Problem(unsigned status, const std::string &text) { return Reply(status, {{"error", text}}); }

// The same time for every byte, so the token cannot be guessed a byte at a time.
bool SameSecret(const std::string &a, const std::string &b) {
    unsigned char differ = a.size() != b.size();
    for (size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    return differ == 0 && !b.empty();
}

JsonValue EnrolmentJson(const EnrolmentRow &e) {
    JsonValue vars = JsonValue::object();
    for (const auto &[name, value] : VarsFromText(e.vars)) vars[name] = value;
    return {{"id", e.id},       {"uuid", e.uuid},  {"mac", e.mac},
            {"name", e.name},   {"profile", e.profile}, {"vars", vars},
            {"enrolled", LocalTimeText(e.enrolled)}, {"updated", LocalTimeText(e.updated)}};
}

JsonValue UnknownJson(const UnknownRow &u) {
    return {{"id", u.id},
            {"uuid", u.uuid},
            {"mac", u.mac},
            {"arch", u.arch},
            {"vendor_class", u.vendorClass},
            {"address", u.address},
            {"first_seen", LocalTimeText(u.firstSeen)},
            {"last_seen", LocalTimeText(u.lastSeen)},
            {"server", u.reporter}};
}

JsonValue RecordJson(const MachineRow &row) {
    MachineRecord m = RecordFromRow(row);
    JsonValue steps = JsonValue::array();
    for (const BootStep &s : m.steps)
        steps.push_back({{"time", LocalTimeText(s.time)}, {"what", s.what}, {"file", s.file}, {"address", s.address},
                         {"rule", s.rule}, {"note", s.note}, {"reason", s.reason}, {"bytes", s.bytes}});
    return {{"mac", m.mac},       {"address", m.address}, {"last_seen", LocalTimeText(m.lastSeen)},
            {"stage", m.stage},   {"result", m.result},   {"reason", m.reason},
            {"server", m.reporter}, {"why", DescribeAttempt(m)}, {"steps", steps}};
}

std::string Canonical(const std::string &id) {
    std::string canonical;
    if (CanonicalMac(id, &canonical) || CanonicalUuid(id, &canonical)) return canonical;
    return "";
}

}  // namespace

void MachineApi::SetConfig(const HostConfig &config) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Token = config.apiToken;
    if (m_Database != config.database) m_Store.reset();
    m_Database = config.database;
    m_Profiles.clear();
    for (const Profile &profile : config.profiles) m_Profiles.push_back(profile.name);
}

bool MachineApi::Enabled() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return !m_Token.empty();
}

bool MachineApi::Store(std::string *error) {
    if (!m_Store) m_Store = PolicyStore::Open(m_Database, error);
    return m_Store != nullptr;
}

ApiReply MachineApi::Handle(const ApiRequest &request, const std::function<JsonValue()> &pools) {
    ApiReply reply;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_Token.empty()) reply = Problem(404, "no API: [api] token is not configured");
        else if (!SameSecret(request.authorization, "Bearer " + m_Token))
            reply = Problem(401, "a bearer token is needed (Authorization: Bearer TOKEN)");
        else if (request.bodyTooLarge)
            reply = Problem(413, "a body of at most " + std::to_string(kMaxApiBody) + " bytes");
        else
            reply = Route(request, pools);
    }
    std::cout << "api: " << request.client << " " << PrintableText(request.method.c_str()).Text() << " "
              << PrintableText(request.path.c_str()).Text() << " " << reply.status << std::endl;
    return reply;
}

ApiReply MachineApi::Route(const ApiRequest &request, const std::function<JsonValue()> &pools) {
    std::string error;
    if (request.path.rfind(kPrefix, 0) != 0) return Problem(404, "no such resource");
    std::string rest = request.path.substr(sizeof kPrefix - 1);
    if (!Store(&error)) return Problem(503, "the store cannot be reached: " + error);
    JsonValue body = request.body.empty() ? JsonValue::object() : JsonValue::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) return Problem(400, "the body is no JSON object");
    const std::string &method = request.method;
    if (rest == "pools") return method == "GET" ? Reply(200, pools ? pools() : JsonValue::array()) : Problem(405, "GET only");
    if (rest == "machines") {
        if (method == "GET") return Machines();
        if (method == "POST") return Enrol(body);
        return Problem(405, "GET or POST");
    }
    if (rest.rfind("machines/", 0) != 0) return Problem(404, "no such resource");
    std::string id = rest.substr(9);
    size_t slash = id.find('/');
    if (slash == std::string::npos) return method == "GET" ? OneMachine(id) : Problem(405, "GET only");
    if (id.substr(slash) != "/profile") return Problem(404, "no such resource");
    return method == "PUT" ? ChangeProfile(id.substr(0, slash), body) : Problem(405, "PUT only");
}

ApiReply MachineApi::Machines() {
    std::vector<EnrolmentRow> enrolled;
    std::vector<UnknownRow> unknown;
    if (!m_Store->Enrolments(&enrolled) || !m_Store->UnknownMachines(&unknown, kListed))
        return Problem(503, m_Store->LastError());
    JsonValue known = JsonValue::array(), strangers = JsonValue::array();
    for (const EnrolmentRow &e : enrolled) known.push_back(EnrolmentJson(e));
    for (const UnknownRow &u : unknown) strangers.push_back(UnknownJson(u));
    return Reply(200, {{"known", known}, {"unknown", strangers}});
}

ApiReply MachineApi::OneMachine(const std::string &asked) {
    std::string id = Canonical(asked);
    if (id.empty()) return Problem(400, "not a MAC or a UUID");
    std::vector<EnrolmentRow> enrolled;
    std::vector<UnknownRow> unknown;
    if (!m_Store->Enrolments(&enrolled) || !m_Store->UnknownMachines(&unknown, kListed))
        return Problem(503, m_Store->LastError());
    JsonValue out = {{"id", id}, {"enrolment", nullptr}, {"unknown", nullptr}, {"last_attempt", nullptr}};
    std::string mac = id.size() == 17 ? id : "";
    for (const EnrolmentRow &e : enrolled)
        if (e.id == id || e.mac == id || e.uuid == id || e.uuid == OtherByteOrder(id)) {
            out["enrolment"] = EnrolmentJson(e);
            if (mac.empty()) mac = e.mac;
        }
    for (const UnknownRow &u : unknown)
        if (u.id == id || u.mac == id || u.uuid == id) {
            out["unknown"] = UnknownJson(u);
            if (mac.empty()) mac = u.mac;
        }
    MachineRow row;
    bool found = false;
    if (!mac.empty() && !m_Store->Machine(mac, &row, &found)) return Problem(503, m_Store->LastError());
    if (found) out["last_attempt"] = RecordJson(row);
    if (out["enrolment"].is_null() && out["unknown"].is_null() && !found) return Problem(404, "never seen nor enrolled");
    return Reply(200, out);
}

ApiReply MachineApi::Enrol(const JsonValue &body) {
    auto text = [&](const char *key) { return body.contains(key) && body[key].is_string() ? body[key].get<std::string>() : ""; };
    std::string profile = text("profile");
    if (std::find(m_Profiles.begin(), m_Profiles.end(), profile) == m_Profiles.end())
        return Problem(400, "\"profile\" must name a profile of the configuration");
    TemplateVars vars;
    if (body.contains("vars")) {
        if (!body["vars"].is_object()) return Problem(400, "\"vars\" must be an object of strings");
        for (const auto &item : body["vars"].items()) {
            if (!item.value().is_string()) return Problem(400, "\"vars\" must be an object of strings");
            vars[item.key()] = item.value().get<std::string>();
        }
    }
    std::string id, error;
    bool invalid = false;
    if (!EnrolMachine(*m_Store, text("machine"), profile, text("name"), vars, static_cast<double>(time(nullptr)), &id,
                      &error, &invalid))
        return Problem(invalid ? 400 : 503, error);
    return Reply(201, {{"id", id}, {"profile", profile}});
}

ApiReply MachineApi::ChangeProfile(const std::string &asked, const JsonValue &body) {
    std::string id = Canonical(asked);
    std::string profile = body.contains("profile") && body["profile"].is_string() ? body["profile"].get<std::string>() : "";
    if (id.empty()) return Problem(400, "not a MAC or a UUID");
    if (std::find(m_Profiles.begin(), m_Profiles.end(), profile) == m_Profiles.end())
        return Problem(400, "\"profile\" must name a profile of the configuration");
    bool found = false;
    if (!m_Store->ChangeProfile(id, profile, &found)) return Problem(503, m_Store->LastError());
    if (!found) return Problem(404, id + " is not enrolled (POST /api/v1/machines enrols it)");
    return Reply(200, {{"id", id}, {"profile", profile}});
}
