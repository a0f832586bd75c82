// The [metrics] listener: Prometheus metrics at /metrics and the live status
// page at / (plain HTML, CSS and JavaScript built into the program, no
// outside resources), which reads /status.json every two seconds. It runs on
// the payload server's HTTP stack (http_server.h), with the same header
// deadline and caps, inside its own part of the descriptor share.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/boots/boot_tracker.h"
#include "host/config/host_config.h"
#include "host/web/http_server.h"
#include "host/web/metrics_text.h"

class StatusServer : private HttpHandler {
public:
    // MEMBERS gives the farm's members as last read (empty outside a farm).
    using MemberSource = std::function<std::vector<MemberRow>()>;
    StatusServer(BootTracker &tracker, MemberSource members);
    ~StatusServer();
    // Binds ADDRESS:PORT and serves from threads of its own; false with the
    // reason when the port cannot be bound.
    bool Start(const std::string &address, int nPort, std::string *error);
    void Stop() { m_Listener.Stop(); }
    // The ranges whose use is shown; again after SIGHUP.
    void SetConfig(const HostConfig &config);

    std::string Metrics();
    std::string StatusJson();

private:
    bool Serve(MHD_Connection *connection, const char *lpUrl, const char *lpMethod, void **lpRequest) override;
    void Done(MHD_Connection *, void **lpRequest, bool) override { *lpRequest = nullptr; }
    std::vector<PoolUse> Pools();
    long LiveMembers(std::vector<MemberRow> *members);

    BootTracker &m_Tracker;
    MemberSource m_Members;
    std::mutex m_Lock;  // m_Ranges, m_ServerName
    std::vector<std::pair<uint32_t, uint32_t>> m_Ranges;  // host order
    std::string m_ServerName;
    HttpListener m_Listener;  // last: stopped before the rest goes
};
