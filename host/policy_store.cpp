#include "host/policy_store.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

std::string MacText(const unsigned char *mac) {
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

PolicyStore::~PolicyStore() {
    if (m_lpDb) sqlite3_close(m_lpDb);
}

bool PolicyStore::Open(const std::string &path, std::string *error) {
    if (sqlite3_open(path.c_str(), &m_lpDb) != SQLITE_OK) {
        *error = path + ": " + sqlite3_errmsg(m_lpDb);
        return false;
    }
    // Hosts sharing the file wait for each other instead of failing.
    sqlite3_busy_timeout(m_lpDb, 2000);
    const char *schema =
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE IF NOT EXISTS assignments (mac TEXT PRIMARY KEY, server TEXT NOT NULL);"
        "CREATE TABLE IF NOT EXISTS reports (id INTEGER PRIMARY KEY, time TEXT NOT NULL, mac TEXT NOT NULL,"
        " ip TEXT, gateway TEXT, netmask TEXT, server TEXT);";
    char *message = nullptr;
    if (sqlite3_exec(m_lpDb, schema, nullptr, nullptr, &message) != SQLITE_OK) {
        *error = path + ": " + (message ? message : "cannot create tables");
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool PolicyStore::Execute(const char *sql, const std::vector<std::string> &args) {
    std::lock_guard<std::mutex> guard(m_Lock);
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(m_lpDb, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
    for (size_t i = 0; i < args.size(); ++i)
        sqlite3_bind_text(statement, static_cast<int>(i + 1), args[i].c_str(), -1, SQLITE_TRANSIENT);
    bool ok = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_finalize(statement);
    return ok;
}

bool PolicyStore::ServerFor(const unsigned char *mac, char *server, size_t size) {
    std::lock_guard<std::mutex> guard(m_Lock);
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(m_lpDb, "SELECT server FROM assignments WHERE mac = ?", -1, &statement, nullptr) != SQLITE_OK)
        return false;
    std::string key = MacText(mac);
    sqlite3_bind_text(statement, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    bool found = sqlite3_step(statement) == SQLITE_ROW;
    if (found) snprintf(server, size, "%s", reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)));
    sqlite3_finalize(statement);
    return found;
}

bool PolicyStore::StoreReport(const SelectMirrorRecord &report) {
    char stamp[32];
    time_t now = time(nullptr);
    struct tm parts {};
    localtime_r(&now, &parts);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    auto field = [](const char *text) { return std::string(text, strnlen(text, 16)); };
    return Execute("INSERT INTO reports (time, mac, ip, gateway, netmask, server) VALUES (?, ?, ?, ?, ?, ?)",
                   {stamp, MacText(report.mac), field(report.ip), field(report.gateway), field(report.netmask),
                    field(report.server)});
}

static std::string Lower(std::string text) {
    for (char &c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

bool PolicyStore::Assign(const std::string &mac, const std::string &server) {
    return Execute("INSERT INTO assignments (mac, server) VALUES (?, ?) ON CONFLICT(mac) DO UPDATE SET server = excluded.server",
                   {Lower(mac), server});
}

bool PolicyStore::Unassign(const std::string &mac) {
    return Execute("DELETE FROM assignments WHERE mac = ?", {Lower(mac)});
}

std::vector<StoredReport> PolicyStore::Reports() {
    std::lock_guard<std::mutex> guard(m_Lock);
    std::vector<StoredReport> reports;
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(m_lpDb, "SELECT time, mac, ip, gateway, netmask, server FROM reports ORDER BY id", -1,
                           &statement, nullptr) != SQLITE_OK)
        return reports;
    auto text = [statement](int column) {
        const unsigned char *value = sqlite3_column_text(statement, column);
        return value ? std::string(reinterpret_cast<const char *>(value)) : std::string();
    };
    while (sqlite3_step(statement) == SQLITE_ROW)
        reports.push_back({text(0), text(1), text(2), text(3), text(4), text(5)});
    sqlite3_finalize(statement);
    return reports;
}
