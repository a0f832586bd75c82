// The SQLite back-end: one file, for a single server (or a few on one
// machine). A change of the policy table bumps a version number, which
// readers poll.
#include <sqlite3.h>
#include <unistd.h>

#include "host/store/policy_store.h"

namespace {

class SqliteStore : public PolicyStore {
public:
    ~SqliteStore() override { sqlite3_close(m_lpDb); }

    bool Connect(const std::string &path, std::string *error) {
        if (sqlite3_open(path.c_str(), &m_lpDb) != SQLITE_OK) {
            *error = path + ": " + sqlite3_errmsg(m_lpDb);
            return false;
        }
        // Hosts and threads sharing the file wait for each other instead of failing.
        sqlite3_busy_timeout(m_lpDb, 5000);
        if (!Exec("PRAGMA journal_mode=WAL")) {
            *error = path + ": " + m_Error;
            return false;
        }
        return true;
    }

    bool WaitForPolicyChange(int ms) override {
        for (int waited = 0;; waited += kPollMs) {
            std::vector<Row> rows;
            if (Run("SELECT version FROM policy_version", {}, &rows) && !rows.empty() && rows[0][0] != m_Version) {
                m_Version = rows[0][0];
                return true;
            }
            if (waited >= ms) return false;
            usleep(kPollMs * 1000);
        }
    }

protected:
    bool Run(const std::string &sql, const std::vector<std::string> &args, std::vector<Row> *rows) override {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(m_lpDb, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            m_Error = sqlite3_errmsg(m_lpDb);
            return false;
        }
        for (size_t i = 0; i < args.size(); ++i)
            sqlite3_bind_text(statement, static_cast<int>(i + 1), args[i].c_str(), -1, SQLITE_TRANSIENT);
        int result;
        while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
            if (!rows) continue;
            Row row;
            for (int c = 0; c < sqlite3_column_count(statement); ++c) {
                const unsigned char *text = sqlite3_column_text(statement, c);
                row.emplace_back(text ? reinterpret_cast<const char *>(text) : "");
            }
            rows->push_back(std::move(row));
        }
        if (result != SQLITE_DONE) m_Error = sqlite3_errmsg(m_lpDb);
        sqlite3_finalize(statement);
        return result == SQLITE_DONE;
    }
    const char *Now() const override { return "((julianday('now') - 2440587.5) * 86400.0)"; }
    const char *KeyColumn() const override { return "INTEGER PRIMARY KEY"; }
    const char *BeginWrite() const override { return "BEGIN IMMEDIATE"; }
    const char *SchemaLock() const override { return ""; }  // BEGIN IMMEDIATE already excludes other writers
    const char *PolicyNotice() const override { return "UPDATE policy_version SET version = version + 1"; }

private:
    static constexpr int kPollMs = 100;
    sqlite3 *m_lpDb = nullptr;
    std::string m_Version;
};

}  // namespace

std::unique_ptr<PolicyStore> OpenSqliteStore(const std::string &path, std::string *error) {
    auto store = std::make_unique<SqliteStore>();
    if (!store->Connect(path, error)) return nullptr;
    return store;
}
