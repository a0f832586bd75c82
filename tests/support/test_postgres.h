// A PostgreSQL 15 server of the test's own: a fresh cluster in a temporary
// folder, run as the postgres user (it refuses root), listening on one
// address of the test's namespace.
#pragma once

#include <string>

class TestPostgres {
public:
    // ADDRESS: where it listens ("127.0.0.1" or a namespace host).
    TestPostgres(const std::string &folder, const std::string &address);
    ~TestPostgres();
    bool Start();
    bool Stop();
    std::string Uri() const { return "postgresql://postgres@" + m_Address + ":5432/postgres"; }

private:
    std::string m_Data, m_Address;
    bool m_bRunning = false;
};
