#include "support/test_postgres.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace {
const std::string kBin = "/usr/lib/postgresql/15/bin/";

int AsPostgres(const std::string &command) {
    return system(("runuser -u postgres -- " + command + " >/dev/null 2>&1").c_str());
}
}  // namespace

TestPostgres::TestPostgres(const std::string &folder, const std::string &address)
    : m_Data(folder + "/pg"), m_Address(address) {
    chmod(folder.c_str(), 0755);
    mkdir(m_Data.c_str(), 0700);
    if (system(("chown postgres:postgres '" + m_Data + "'").c_str()) != 0 ||
        AsPostgres(kBin + "initdb -D '" + m_Data + "' -U postgres --auth=trust -N") != 0)
        throw std::runtime_error("initdb failed (is postgresql-15 installed?)");
    // Only the test's namespace can reach it.
    std::ofstream(m_Data + "/pg_hba.conf", std::ios::app) << "host all all 0.0.0.0/0 trust\n";
}

TestPostgres::~TestPostgres() { Stop(); }

bool TestPostgres::Start() {
    m_bRunning = AsPostgres(kBin + "pg_ctl -D '" + m_Data + "' -l '" + m_Data + "/server.log' -w -o \"-c listen_addresses=" +
                            m_Address + " -c unix_socket_directories='" + m_Data + "' -c fsync=off\" start") == 0;
    return m_bRunning;
}

bool TestPostgres::Stop() {
    if (!m_bRunning) return true;
    m_bRunning = AsPostgres(kBin + "pg_ctl -D '" + m_Data + "' -m fast -w stop") != 0;
    return !m_bRunning;
}
