// A thread of the lowest priority for the texts the status listener
// serves: on a machine that a storm keeps busy, rendering the status page
// or the metrics yields to every answer on the boot path instead of
// sharing a processor with it. What it renders is gathered before, by the
// caller: a thread this low must hold no lock the boot path takes, or a
// render preempted with it held would stall an answer for as long.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class BackgroundRenderer {
public:
    BackgroundRenderer();
    ~BackgroundRenderer();
    BackgroundRenderer(const BackgroundRenderer &) = delete;
    BackgroundRenderer &operator=(const BackgroundRenderer &) = delete;

    // RENDER's text, made on the render thread while the caller waits; on
    // the caller's own thread once stopped.
    std::string Render(const std::function<std::string()> &render);

private:
    struct Job;
    void Run();

    std::mutex m_Lock;
    std::condition_variable m_Wake, m_Done;
    std::deque<Job *> m_Jobs;  // each on its caller's stack; one per waiting caller
    bool m_bStop = false;
    std::thread m_Thread;  // last: starts once the rest is ready
};
