#include "host/store/policy_store.h"

#include "host/config/host_config.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

std::unique_ptr<PolicyStore> PolicyStore::Open(const std::string &database, std::string *error) {
    std::unique_ptr<PolicyStore> store =
        IsPostgresDatabase(database) ? OpenPostgresStore(database, error) : OpenSqliteStore(database, error);
    if (store && !store->Migrate(error)) store.reset();
    return store;
}

template <typename Work>
bool PolicyStore::InTransaction(Work work) {
    if (!Exec(BeginWrite())) return false;
    if (work() && Exec("COMMIT")) return true;
    std::string cause = m_Error;
    Exec("ROLLBACK");
    m_Error = cause;
    return false;
}

// Each step brings the schema from the version before it to its own; a
// database written by an older tavrel-host (version 0: no version table,
// maybe the first two tables) is brought forward the same way.
bool PolicyStore::Migrate(std::string *error) {
    const std::string key = KeyColumn();
    const std::vector<std::vector<std::string>> steps = {
        {"CREATE TABLE IF NOT EXISTS assignments (mac TEXT PRIMARY KEY, server TEXT NOT NULL)",
         "CREATE TABLE IF NOT EXISTS reports (id " + key +
             ", time TEXT NOT NULL, mac TEXT NOT NULL, ip TEXT, gateway TEXT, netmask TEXT, server TEXT)"},
        {"ALTER TABLE reports ADD COLUMN reporter TEXT",
         "CREATE TABLE servers (address TEXT PRIMARY KEY, name TEXT NOT NULL, weight DOUBLE PRECISION NOT NULL,"
         " ranges TEXT NOT NULL, statics TEXT NOT NULL, served INTEGER NOT NULL, state TEXT NOT NULL,"
         " last_seen DOUBLE PRECISION NOT NULL)",
         "CREATE TABLE policy_version (version INTEGER NOT NULL)", "INSERT INTO policy_version (version) VALUES (0)"},
        {"ALTER TABLE servers ADD COLUMN free BIGINT NOT NULL DEFAULT -1",
         "CREATE INDEX reports_time ON reports (time)"},
        {"CREATE TABLE machines (mac TEXT PRIMARY KEY, last_seen DOUBLE PRECISION NOT NULL, address TEXT NOT NULL,"
         " stage TEXT NOT NULL, result TEXT NOT NULL, reason TEXT NOT NULL, reporter TEXT NOT NULL,"
         " steps TEXT NOT NULL)",
         "CREATE INDEX machines_last_seen ON machines (last_seen)"},
        {"ALTER TABLE servers ADD COLUMN beat_sequence BIGINT NOT NULL DEFAULT 0"},
        {"ALTER TABLE servers ADD COLUMN heard TEXT NOT NULL DEFAULT ''"},
        {"CREATE TABLE enrolments (id TEXT PRIMARY KEY, uuid TEXT NOT NULL, mac TEXT NOT NULL, name TEXT NOT NULL,"
         " profile TEXT NOT NULL, vars TEXT NOT NULL, enrolled DOUBLE PRECISION NOT NULL,"
         " updated DOUBLE PRECISION NOT NULL)",
         "CREATE TABLE unknown_machines (id TEXT PRIMARY KEY, uuid TEXT NOT NULL, mac TEXT NOT NULL,"
         " arch INTEGER NOT NULL, vendor_class TEXT NOT NULL, address TEXT NOT NULL,"
         " first_seen DOUBLE PRECISION NOT NULL, last_seen DOUBLE PRECISION NOT NULL, reporter TEXT NOT NULL)",
         "CREATE INDEX unknown_last_seen ON unknown_machines (last_seen)"},
    };
    // Under the lock even the first table: concurrent CREATE ... IF NOT
    // EXISTS can fail on PostgreSQL.
    bool ok = InTransaction([&] {
                  std::vector<Row> rows;
                  if (!Exec(SchemaLock()) ||
                      !Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)") ||
                      !Run("SELECT version FROM schema_version", {}, &rows))
                      return false;
                  size_t version = rows.empty() ? 0 : strtoul(rows[0][0].c_str(), nullptr, 10);
                  for (size_t step = version; step < steps.size(); ++step)
                      for (const std::string &sql : steps[step])
                          if (!Exec(sql)) return false;
                  if (version == steps.size()) return true;
                  std::string current = std::to_string(steps.size());
                  return rows.empty() ? Exec("INSERT INTO schema_version (version) VALUES (?)", {current})
                                      : Exec("UPDATE schema_version SET version = ?", {current});
              });
    if (!ok) *error = "cannot create or update the tables: " + m_Error;
    return ok;
}

static std::string Lower(std::string text) {
    for (char &c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

bool PolicyStore::Assign(const std::string &mac, const std::string &server) {
    return InTransaction([&] {
        return Exec("INSERT INTO assignments (mac, server) VALUES (?, ?)"
                    " ON CONFLICT (mac) DO UPDATE SET server = excluded.server",
                    {Lower(mac), server}) &&
               Exec(PolicyNotice());
    });
}

bool PolicyStore::Unassign(const std::string &mac) {
    return InTransaction(
        [&] { return Exec("DELETE FROM assignments WHERE mac = ?", {Lower(mac)}) && Exec(PolicyNotice()); });
}

bool PolicyStore::Assignments(PolicyRows *rows) {
    std::vector<Row> found;
    if (!Run("SELECT mac, server FROM assignments", {}, &found)) return false;
    rows->clear();
    for (Row &row : found) rows->emplace_back(std::move(row[0]), std::move(row[1]));
    return true;
}

bool PolicyStore::StoreReports(const std::vector<StoredReport> &reports) {
    return InTransaction([&] {
        for (const StoredReport &r : reports)
            if (!Exec("INSERT INTO reports (time, mac, ip, gateway, netmask, server, reporter)"
                      " VALUES (?, ?, ?, ?, ?, ?, ?)",
                      {r.time, r.mac, r.ip, r.gateway, r.netmask, r.server, r.reporter}))
                return false;
        return true;
    });
}

bool PolicyStore::Reports(std::vector<StoredReport> *reports, long limit, const std::string &since) {
    std::vector<Row> rows;
    if (!Run("SELECT time, mac, ip, gateway, netmask, server, reporter FROM reports WHERE time >= ?"
             " ORDER BY id DESC LIMIT CAST(? AS INTEGER)",
             {since, std::to_string(limit)}, &rows))
        return false;
    reports->clear();
    for (auto r = rows.rbegin(); r != rows.rend(); ++r)
        reports->push_back({(*r)[0], (*r)[1], (*r)[2], (*r)[3], (*r)[4], (*r)[5], (*r)[6]});
    return true;
}

bool PolicyStore::PruneReports(const std::string &before) {
    return Exec("DELETE FROM reports WHERE time < ?", {before});
}

bool PolicyStore::PruneMembers(double seconds) {
    char age[32];
    snprintf(age, sizeof age, "%.3f", seconds);
    return Exec(std::string("DELETE FROM servers WHERE last_seen < ") + Now() + " - CAST(? AS DOUBLE PRECISION)", {age});
}

bool PolicyStore::Heartbeat(const MemberRow &self, bool announce) {
    std::string sql = std::string("INSERT INTO servers (address, name, weight, ranges, statics, served, state,"
                                  " last_seen, free, beat_sequence, heard) VALUES (?, ?, ?, ?, ?, ?, 'running', ") +
                      Now() +
                      ", ?, CAST(? AS BIGINT), ?) ON CONFLICT (address) DO UPDATE SET name = excluded.name, weight = excluded.weight,"
                      " ranges = excluded.ranges, statics = excluded.statics, served = excluded.served,"
                      " state = excluded.state, last_seen = excluded.last_seen, free = excluded.free,"
                      " beat_sequence = excluded.beat_sequence, heard = excluded.heard";
    char weight[32];
    snprintf(weight, sizeof weight, "%.17g", self.weight);
    std::vector<std::string> args = {self.address, self.name, weight, self.ranges, self.statics,
                                     std::to_string(self.served), std::to_string(self.free),
                                     std::to_string(self.beatSequence), self.heard};
    if (!announce) return Exec(sql, args);
    return InTransaction([&] { return Exec(sql, args) && Exec(PolicyNotice()); });
}

bool PolicyStore::MarkStopped(const std::string &address) {
    return InTransaction([&] {
        return Exec("UPDATE servers SET state = 'stopped' WHERE address = ?", {address}) && Exec(PolicyNotice());
    });
}

bool PolicyStore::Members(std::vector<MemberRow> *members) {
    std::vector<Row> rows;
    std::string sql = std::string("SELECT address, name, weight, ranges, statics, served, state, last_seen, ") +
                      Now() + " - last_seen, free, beat_sequence, heard FROM servers ORDER BY address";
    if (!Run(sql, {}, &rows)) return false;
    members->clear();
    for (const Row &r : rows)
        members->push_back({r[0], r[1], strtod(r[2].c_str(), nullptr), r[3], r[4], strtol(r[5].c_str(), nullptr, 10),
                            r[6], strtod(r[7].c_str(), nullptr), strtod(r[8].c_str(), nullptr),
                            r[9].empty() ? -1 : strtol(r[9].c_str(), nullptr, 10),
                            strtoull(r[10].c_str(), nullptr, 10), r[11]});
    return true;
}

bool PolicyStore::StoreMachines(const std::vector<MachineRow> &machines) {
    return InTransaction([&] {
        for (const MachineRow &m : machines) {
            char seen[32];
            snprintf(seen, sizeof seen, "%.3f", m.lastSeen);
            if (!Exec("INSERT INTO machines (mac, last_seen, address, stage, result, reason, reporter, steps)"
                      " VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (mac) DO UPDATE SET last_seen = excluded.last_seen,"
                      " address = excluded.address, stage = excluded.stage, result = excluded.result,"
                      " reason = excluded.reason, reporter = excluded.reporter, steps = excluded.steps",
                      {m.mac, seen, m.address, m.stage, m.result, m.reason, m.reporter, m.steps}))
                return false;
        }
        return true;
    });
}

static MachineRow MachineOf(const std::vector<std::string> &r) {
    return {r[0], r[2], r[3], r[4], r[5], r[6], strtod(r[1].c_str(), nullptr), r[7]};
}

bool PolicyStore::Machines(std::vector<MachineRow> *machines, int nLimit) {
    std::vector<Row> rows;
    if (!Run("SELECT mac, last_seen, address, stage, result, reason, reporter, steps FROM machines"
             " ORDER BY last_seen DESC LIMIT " + std::to_string(nLimit),
             {}, &rows))
        return false;
    machines->clear();
    for (const Row &r : rows) machines->push_back(MachineOf(r));
    return true;
}

bool PolicyStore::Machine(const std::string &mac, MachineRow *machine, bool *found) {
    std::vector<Row> rows;
    if (!Run("SELECT mac, last_seen, address, stage, result, reason, reporter, steps FROM machines WHERE mac = ?",
             {Lower(mac)}, &rows))
        return false;
    *found = !rows.empty();
    if (*found) *machine = MachineOf(rows[0]);
    return true;
}

bool PolicyStore::PruneMachines(double retentionSeconds) {
    char age[32];
    snprintf(age, sizeof age, "%.0f", retentionSeconds);
    return Exec(std::string("DELETE FROM machines WHERE last_seen < ") + Now() + " - " + age);
}

static std::string Seconds(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.3f", value);
    return text;
}

bool PolicyStore::Enrol(const EnrolmentRow &e) {
    return InTransaction([&] {
        return Exec("INSERT INTO enrolments (id, uuid, mac, name, profile, vars, enrolled, updated)"
                    " VALUES (?, ?, ?, ?, ?, ?, CAST(? AS DOUBLE PRECISION), CAST(? AS DOUBLE PRECISION))"
                    " ON CONFLICT (id) DO UPDATE SET uuid = excluded.uuid, mac = excluded.mac, name = excluded.name,"
                    " profile = excluded.profile, vars = excluded.vars, updated = excluded.updated",
                    {e.id, Lower(e.uuid), Lower(e.mac), e.name, e.profile, e.vars, Seconds(e.enrolled),
                     Seconds(e.updated)}) &&
               Exec("DELETE FROM unknown_machines WHERE id = ? OR (uuid <> '' AND uuid = ?) OR (mac <> '' AND mac = ?)",
                    {e.id, Lower(e.uuid), Lower(e.mac)});
    });
}

bool PolicyStore::Enrolments(std::vector<EnrolmentRow> *rows) {
    std::vector<Row> found;
    if (!Run("SELECT id, uuid, mac, name, profile, vars, enrolled, updated FROM enrolments ORDER BY id", {}, &found))
        return false;
    rows->clear();
    for (const Row &r : found)
        rows->push_back({r[0], r[1], r[2], r[3], r[4], r[5], strtod(r[6].c_str(), nullptr), strtod(r[7].c_str(), nullptr)});
    return true;
}

bool PolicyStore::ChangeProfile(const std::string &id, const std::string &profile, bool *found) {
    std::vector<Row> rows;
    if (!Run("SELECT id FROM enrolments WHERE id = ?", {id}, &rows)) return false;
    *found = !rows.empty();
    return !*found || Exec(std::string("UPDATE enrolments SET profile = ?, updated = ") + Now() + " WHERE id = ?",
                           {profile, id});
}

bool PolicyStore::UpdateIdentity(const std::string &id, const std::string &uuid, const std::string &mac) {
    return Exec(std::string("UPDATE enrolments SET uuid = CASE WHEN ? = '' THEN uuid ELSE ? END,"
                            " mac = CASE WHEN ? = '' THEN mac ELSE ? END, updated = ") +
                    Now() + " WHERE id = ?",
                {uuid, uuid, mac, mac, id});
}

bool PolicyStore::StoreUnknown(const std::vector<UnknownRow> &rows) {
    return InTransaction([&] {
        for (const UnknownRow &u : rows)
            if (!Exec("INSERT INTO unknown_machines (id, uuid, mac, arch, vendor_class, address, first_seen, last_seen,"
                      " reporter) VALUES (?, ?, ?, CAST(? AS INTEGER), ?, ?, CAST(? AS DOUBLE PRECISION),"
                      " CAST(? AS DOUBLE PRECISION), ?) ON CONFLICT (id) DO UPDATE SET uuid = excluded.uuid,"
                      " mac = excluded.mac, arch = excluded.arch, vendor_class = excluded.vendor_class,"
                      " address = excluded.address, last_seen = excluded.last_seen, reporter = excluded.reporter",
                      {u.id, u.uuid, u.mac, std::to_string(u.arch), u.vendorClass, u.address, Seconds(u.firstSeen),
                       Seconds(u.lastSeen), u.reporter}))
                return false;
        return true;
    });
}

bool PolicyStore::UnknownMachines(std::vector<UnknownRow> *rows, int nLimit) {
    std::vector<Row> found;
    if (!Run("SELECT id, uuid, mac, arch, vendor_class, address, first_seen, last_seen, reporter FROM unknown_machines"
             " ORDER BY last_seen DESC LIMIT " + std::to_string(nLimit),
             {}, &found))
        return false;
    rows->clear();
    for (const Row &r : found)
        rows->push_back({r[0], r[1], r[2], atoi(r[3].c_str()), r[4], r[5], strtod(r[6].c_str(), nullptr),
                         strtod(r[7].c_str(), nullptr), r[8]});
    return true;
}

bool PolicyStore::PruneUnknown(size_t keep, double retentionSeconds, long *dropped) {
    std::vector<Row> before, after, cut;
    if (!Run("SELECT COUNT(*) FROM unknown_machines", {}, &before) ||
        !Exec(std::string("DELETE FROM unknown_machines WHERE last_seen < ") + Now() + " - " +
              Seconds(retentionSeconds)) ||
        !Run("SELECT last_seen FROM unknown_machines ORDER BY last_seen DESC LIMIT 1 OFFSET " + std::to_string(keep),
             {}, &cut))
        return false;
    // The same statement on both back-ends (SQLite has no OFFSET without a LIMIT).
    if (!cut.empty() && !Exec("DELETE FROM unknown_machines WHERE last_seen <= CAST(? AS DOUBLE PRECISION)", {cut[0][0]}))
        return false;
    if (!Run("SELECT COUNT(*) FROM unknown_machines", {}, &after)) return false;
    *dropped = atol(before[0][0].c_str()) - atol(after[0][0].c_str());
    return true;
}
