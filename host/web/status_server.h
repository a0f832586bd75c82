// The [metrics] listener: Prometheus metrics at /metrics and the live status
// page at / (plain HTML, CSS and JavaScript built into the program, no
// outside resources), which reads /status.json every two seconds: machines,
// transfers under way with their bytes and rate, pools, farm members, an
// hour of boots and pool use per minute, and the recent log lines. It runs on
// the payload server's HTTP stack (http_server.h), with the same header
// deadline and caps, inside its own part of the descriptor share.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/boots/boot_tracker.h"
#include "host/config/host_config.h"
#include "host/web/background_renderer.h"
#include "host/web/http_server.h"
#include "host/web/machine_api.h"
#include "host/web/metrics_text.h"
#include "host/web/minute_history.h"
#include "host/text/recent_lines.h"

// Where the page's parts come from besides the tracker.
struct StatusSources {
    // The farm's members as last read (empty outside a farm).
    std::function<std::vector<MemberRow>()> members;
    // The HTTP answers on their way; none without [http].
    std::function<std::vector<HttpSending>()> http;
    RecentLines *lpLines = nullptr;  // the recent log lines, when kept
    MachineDirectory *lpMachines = nullptr;  // the unknown machines and their counts, when kept
    std::function<RenderCounts()> renders;   // the per-machine files rendered, when there are profiles
};

struct StatusInputs;  // what the page shows, copied for its render

class StatusServer : private HttpHandler {
public:
    // A sample for the charts this often, besides one at every request.
    static constexpr int kSampleSeconds = 10;

    StatusServer(BootTracker &tracker, StatusSources sources);
    ~StatusServer();
    // Binds ADDRESS:PORT and serves from threads of its own; false with the
    // reason when the port cannot be bound.
    bool Start(const std::string &address, int nPort, std::string *error);
    void Stop();
    // The ranges whose use is shown; again after SIGHUP.
    void SetConfig(const HostConfig &config);

    std::string Metrics();
    std::string StatusJson();

private:
    bool Serve(MHD_Connection *connection, const char *lpUrl, const char *lpMethod, void **lpRequest) override;
    void Done(MHD_Connection *, void **lpRequest, bool) override;
    bool Upload(MHD_Connection *, void **lpRequest, const char *lpData, size_t size) override;
    bool ServeApi(MHD_Connection *connection, const char *lpUrl, const char *lpMethod, void **lpRequest);
    std::vector<PoolUse> Pools();
    long LiveMembers(std::vector<MemberRow> *members);
    // Notes the outcomes and pool use as of now in the history; its minutes.
    std::vector<MinuteSample> Sample(const std::vector<PoolUse> &pools);
    StatusInputs GatherStatus();
    void SampleLoop();

    BootTracker &m_Tracker;
    StatusSources m_Sources;
    std::mutex m_Lock;  // m_Ranges, m_Ranges6, m_ServerName, m_History
    std::vector<std::pair<uint32_t, uint32_t>> m_Ranges;  // host order
    struct Range6 {
        std::string begin, end;  // as configured
        unsigned char abBegin[16], abEnd[16];
    };
    std::vector<Range6> m_Ranges6;
    std::string m_ServerName;
    std::vector<LoaderFinding> m_Loaders;  // what the Secure Boot check found at the last load
    MinuteHistory m_History;
    std::mutex m_StopLock;
    std::condition_variable m_StopSignal;
    bool m_bStop = false;
    std::thread m_Sampler;
    MachineApi m_Api;
    BackgroundRenderer m_Renderer;  // outlives the listener, whose threads wait on it
    HttpListener m_Listener;  // last: stopped before the rest goes
};
