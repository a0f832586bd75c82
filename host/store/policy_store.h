// The store several Tavrel hosts can share: which server serves which MAC
// (the policy table), the mirror reports of booted clients, and the farm's
// members with their heartbeats and address ranges. One SQLite file for a
// single server, or one PostgreSQL database for a farm; the SQL is written
// once here, each back-end supplies a connection and its few dialect words.
//
// A store object is one connection: use it from one thread at a time, and
// give every thread that talks to the database a store of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct StoredReport {
    std::string time, mac, ip, gateway, netmask, server;
    std::string reporter;  // the farm member that received the report
};

// One row of the servers table.
struct MemberRow {
    std::string address, name;
    double weight = 1;
    std::string ranges;   // dynamic ranges, "begin-end" joined by ';'
    std::string statics;  // static entries, "mac=ip" joined by ';'
    long served = 0;      // distinct clients it chose to serve in the last hour
    std::string state;    // "running" or "stopped"
    double lastSeen = 0;  // last heartbeat, seconds since the epoch (database clock)
    double age = 0;       // seconds since that heartbeat (database clock)
    long free = -1;       // free addresses in its dynamic ranges; -1 unknown
    uint64_t beatSequence = 0;  // of its direct heartbeats, when it last wrote this row
    std::string heard{};        // members whose direct heartbeats it hears, joined by ';'
};

// One machine's boot record (see machine_record.h), as stored.
struct MachineRow {
    std::string mac, address, stage, result, reason, reporter;
    double lastSeen = 0;
    std::string steps;  // StepsText
};

// An enrolled machine: known by UUID (ID is its canonical text) or by MAC
// (ID is the MAC); the other is filled in as it is learnt, so a machine
// enrolled by MAC that shows a trustworthy UUID keeps its enrolment across
// a NIC swap.
struct EnrolmentRow {
    std::string id, uuid, mac, name, profile;
    std::string vars;  // a JSON object of strings
    double enrolled = 0, updated = 0;
};

// A machine this server answered without knowing it.
struct UnknownRow {
    std::string id, uuid, mac;
    int arch = -1;
    std::string vendorClass, address;
    double firstSeen = 0, lastSeen = 0;
    std::string reporter;
};

using PolicyRows = std::vector<std::pair<std::string, std::string>>;  // mac, server

class PolicyStore {
public:
    // DATABASE is a "postgresql://" (or "postgres://") URI, or else a SQLite
    // file. Connects and brings the schema to the current version.
    static std::unique_ptr<PolicyStore> Open(const std::string &database, std::string *error);
    virtual ~PolicyStore() = default;

    bool Assign(const std::string &mac, const std::string &server);
    bool Unassign(const std::string &mac);
    bool Assignments(PolicyRows *rows);
    // All or nothing, in one transaction.
    bool StoreReports(const std::vector<StoredReport> &reports);
    // The newest LIMIT reports at or after SINCE ("YYYY-MM-DD HH:MM:SS",
    // or a prefix of it; "" for all), oldest first.
    bool Reports(std::vector<StoredReport> *reports, long limit, const std::string &since);
    // Deletes the reports stamped before BEFORE (same form).
    bool PruneReports(const std::string &before);
    // ANNOUNCE: tell the listening hosts at once (a server joining), as a
    // policy change does; a leaving server always does.
    bool Heartbeat(const MemberRow &self, bool announce);
    bool MarkStopped(const std::string &address);
    bool Members(std::vector<MemberRow> *members);
    // Deletes the members whose last heartbeat is older than SECONDS.
    bool PruneMembers(double seconds);
    // Boot records: written whole, newest first when read (at most LIMIT),
    // dropped once older than the retention.
    bool StoreMachines(const std::vector<MachineRow> &machines);
    bool Machines(std::vector<MachineRow> *machines, int nLimit);
    bool Machine(const std::string &mac, MachineRow *machine, bool *found);
    bool PruneMachines(double retentionSeconds);
    // Enrolment: written whole; the machine leaves the unknown list. FOUND
    // false (and nothing written) for a change of one not enrolled.
    bool Enrol(const EnrolmentRow &row);
    bool Enrolments(std::vector<EnrolmentRow> *rows);
    bool ChangeProfile(const std::string &id, const std::string &profile, bool *found);
    // What the service learnt of an enrolled machine: its UUID or its new MAC.
    bool UpdateIdentity(const std::string &id, const std::string &uuid, const std::string &mac);
    bool StoreUnknown(const std::vector<UnknownRow> &rows);
    bool UnknownMachines(std::vector<UnknownRow> *rows, int nLimit);
    // Keeps the newest KEEP unknown machines seen within the retention;
    // DROPPED gets how many went.
    bool PruneUnknown(size_t keep, double retentionSeconds, long *dropped);

    // Waits up to ms for a change of the policy table made elsewhere. True
    // when the table may have changed (also after a reconnection, when
    // notices could have been missed); false on timeout or failure.
    virtual bool WaitForPolicyChange(int ms) = 0;
    const std::string &LastError() const { return m_Error; }

protected:
    using Row = std::vector<std::string>;
    // One statement with '?' placeholders bound to ARGS as text; rows, when
    // asked for, as texts ("" for NULL).
    virtual bool Run(const std::string &sql, const std::vector<std::string> &args, std::vector<Row> *rows) = 0;
    virtual const char *Now() const = 0;             // seconds since the epoch, as an SQL expression
    virtual const char *KeyColumn() const = 0;       // an auto-numbered primary key
    virtual const char *BeginWrite() const = 0;      // a transaction that takes the write lock at once
    virtual const char *SchemaLock() const = 0;      // serialises migrations of concurrent hosts
    virtual const char *PolicyNotice() const = 0;    // tells listening hosts the table changed
    // An empty statement (a dialect word the back-end does without) succeeds.
    bool Exec(const std::string &sql, const std::vector<std::string> &args = {}) {
        return sql.empty() || Run(sql, args, nullptr);
    }
    bool Migrate(std::string *error);
    template <typename Work>
    bool InTransaction(Work work);
    std::string m_Error;
};

std::unique_ptr<PolicyStore> OpenSqliteStore(const std::string &path, std::string *error);
std::unique_ptr<PolicyStore> OpenPostgresStore(const std::string &uri, std::string *error);
