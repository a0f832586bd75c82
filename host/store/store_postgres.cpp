// The PostgreSQL back-end: one database shared by a farm. A change of the
// policy table is announced with NOTIFY; a listening host hears it at once.
// A lost connection is re-made on the next statement, so a database restart
// costs the statements that failed meanwhile and nothing else. No call waits
// long on a link that went silent: keepalives, a TCP user timeout and a
// statement timeout end it within about two seconds.
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "host/config/host_config.h"
#include "host/store/policy_store.h"

namespace {

constexpr const char *kChannel = "tavrel_policy";

// The password a connection string holds, as its writer meant it: between
// the user's colon and the last "@" of a URI's authority, or a password=
// value. libpq cuts a URI at its first "@", so with an "@" in the password
// it takes the rest for the host and quotes it in its errors.
std::vector<std::string> SecretsOf(const std::string &uri) {
    std::vector<std::string> secrets;
    size_t scheme = uri.find("://");
    if (scheme != std::string::npos) {
        size_t end = uri.find_first_of("/?", scheme + 3);
        size_t at = uri.rfind('@', end == std::string::npos ? uri.size() : end);
        size_t colon = uri.find(':', scheme + 3);
        if (at != std::string::npos && at > scheme && colon < at)
            secrets.push_back(uri.substr(colon + 1, at - colon - 1));
    }
    for (size_t at = 0; (at = uri.find("password=", at)) != std::string::npos;) {
        at += 9;
        size_t end = uri.find_first_of("& ", at);
        secrets.push_back(uri.substr(at, end == std::string::npos ? std::string::npos : end - at));
    }
    return secrets;
}

// TEXT from libpq with every password of URI, and each part of one after an
// "@" or ":" (what libpq read as a host or port), masked.
std::string MaskedLibpqText(std::string text, const std::string &uri) {
    std::vector<std::string> pieces;
    for (const std::string &secret : SecretsOf(uri)) {
        pieces.push_back(secret);
        for (size_t cut = secret.find_first_of("@:"); cut != std::string::npos;
             cut = secret.find_first_of("@:", cut + 1))
            pieces.push_back(secret.substr(cut + 1));
    }
    std::sort(pieces.begin(), pieces.end(),
              [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    for (const std::string &piece : pieces)
        for (size_t at = 0; !piece.empty() && (at = text.find(piece, at)) != std::string::npos; at += 3)
            text.replace(at, piece.size(), "***");
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

class PostgresStore : public PolicyStore {
public:
    ~PostgresStore() override { PQfinish(m_lpConn); }

    bool Connect(const std::string &uri, std::string *error) {
        // Our defaults first: a value in the URI overrides them.
        const char *keys[] = {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                              "keepalives_count", "tcp_user_timeout", "options", "dbname", nullptr};
        const char *values[] = {"2", "1", "1", "1", "2", "1500", "-c statement_timeout=1500", uri.c_str(), nullptr};
        m_lpConn = PQconnectdbParams(keys, values, 1);
        // "already exists, skipping" and the like are not for the console.
        PQsetNoticeProcessor(m_lpConn, [](void *, const char *) {}, nullptr);
        m_Uri = uri;
        if (PQstatus(m_lpConn) == CONNECTION_OK) return true;
        *error = MaskedUri(uri) + ": " + MaskedLibpqText(PQerrorMessage(m_lpConn), m_Uri);
        return false;
    }

    bool WaitForPolicyChange(int ms) override {
        if (!m_bListening) {
            // After a (re)connection notices may have been missed: report a change.
            m_bListening = Exec(std::string("LISTEN ") + kChannel);
            if (!m_bListening) usleep(ms * 1000);
            return m_bListening;
        }
        // Notices that arrived with the answers to our own statements are
        // already read; poll only when there are none.
        if (TakeNotices()) return true;
        pollfd ready{PQsocket(m_lpConn), POLLIN, 0};
        if (ready.fd < 0 || (poll(&ready, 1, ms) == 1 && !PQconsumeInput(m_lpConn))) {
            m_bListening = false;
            return false;
        }
        return TakeNotices();
    }

protected:
    bool Run(const std::string &sql, const std::vector<std::string> &args, std::vector<Row> *rows) override {
        if (PQstatus(m_lpConn) != CONNECTION_OK) {
            m_bListening = false;
            PQreset(m_lpConn);
            if (PQstatus(m_lpConn) != CONNECTION_OK) return Failed(nullptr);
        }
        std::vector<const char *> values;
        for (const std::string &arg : args) values.push_back(arg.c_str());
        PGresult *result = PQexecParams(m_lpConn, Numbered(sql).c_str(), static_cast<int>(values.size()), nullptr,
                                        values.data(), nullptr, nullptr, 0);
        ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) return Failed(result);
        for (int r = 0; rows && r < PQntuples(result); ++r) {
            Row row;
            for (int c = 0; c < PQnfields(result); ++c) row.emplace_back(PQgetvalue(result, r, c));
            rows->push_back(std::move(row));
        }
        PQclear(result);
        return true;
    }
    const char *Now() const override { return "extract(epoch from clock_timestamp())::double precision"; }
    const char *KeyColumn() const override { return "BIGSERIAL PRIMARY KEY"; }
    const char *BeginWrite() const override { return "BEGIN"; }
    // Hosts of a farm often start together; one migrates, the others wait.
    const char *SchemaLock() const override { return "SELECT pg_advisory_xact_lock(7310815)"; }
    const char *PolicyNotice() const override { return "NOTIFY tavrel_policy"; }

private:
    bool TakeNotices() {
        bool taken = false;
        while (PGnotify *notice = PQnotifies(m_lpConn)) {
            taken = true;
            PQfreemem(notice);
        }
        return taken;
    }
    bool Failed(PGresult *result) {
        m_Error = MaskedLibpqText(PQerrorMessage(m_lpConn), m_Uri);
        PQclear(result);
        return false;
    }
    // The shared SQL uses '?'; PostgreSQL numbers its parameters.
    static std::string Numbered(const std::string &sql) {
        std::string out;
        int n = 0;
        for (char c : sql) out += c == '?' ? "$" + std::to_string(++n) : std::string(1, c);
        return out;
    }

    PGconn *m_lpConn = nullptr;
    std::string m_Uri;  // for masking its password in libpq's texts
    bool m_bListening = false;
};

}  // namespace

std::unique_ptr<PolicyStore> OpenPostgresStore(const std::string &uri, std::string *error) {
    auto store = std::make_unique<PostgresStore>();
    if (!store->Connect(uri, error)) return nullptr;
    return store;
}
