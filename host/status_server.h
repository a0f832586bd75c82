// The [metrics] listener: Prometheus metrics at /metrics and the live status
// page at / (plain HTML, CSS and JavaScript built into the program, no
// outside resources), which reads /status.json every two seconds.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/boot_tracker.h"
#include "host/host_config.h"
#include "host/metrics_text.h"
#include "host/policy_service.h"

namespace httplib {
class Server;
}

class StatusServer {
public:
    StatusServer(BootTracker &tracker, PolicyService &policy);
    ~StatusServer();
    // Binds ADDRESS:PORT and serves from a thread of its own; false with the
    // reason when the port cannot be bound.
    bool Start(const std::string &address, int nPort, std::string *error);
    void Stop();
    // The ranges whose use is shown; again after SIGHUP.
    void SetConfig(const HostConfig &config);

    std::string Metrics();
    std::string StatusJson();

private:
    std::vector<PoolUse> Pools();
    long LiveMembers(std::vector<MemberRow> *members);

    BootTracker &m_Tracker;
    PolicyService &m_Policy;
    std::mutex m_Lock;  // m_Ranges, m_ServerName
    std::vector<std::pair<uint32_t, uint32_t>> m_Ranges;  // host order
    std::string m_ServerName;
    std::unique_ptr<httplib::Server> m_Server;
    std::thread m_Listener;
};
