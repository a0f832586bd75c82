#include "host/web/background_renderer.h"

#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int kLowestNice = 19;

}  // namespace

struct BackgroundRenderer::Job {
    const std::function<std::string()> *lpRender;
    std::string text;
    bool bDone = false;
};

BackgroundRenderer::BackgroundRenderer() : m_Thread(&BackgroundRenderer::Run, this) {}

BackgroundRenderer::~BackgroundRenderer() {
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_bStop = true;
    }
    m_Wake.notify_all();
    m_Thread.join();
}

std::string BackgroundRenderer::Render(const std::function<std::string()> &render) {
    Job job{&render, {}, false};
    std::unique_lock<std::mutex> hold(m_Lock);
    if (m_bStop) {
        hold.unlock();
        return render();
    }
    m_Jobs.push_back(&job);
    m_Wake.notify_one();
    m_Done.wait(hold, [&job] { return job.bDone; });
    return std::move(job.text);
}

// The nice value is this thread's alone on Linux. Where it cannot be set,
// renders go on at the priority the process has.
void BackgroundRenderer::Run() {
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kLowestNice);
    std::unique_lock<std::mutex> hold(m_Lock);
    for (;;) {
        m_Wake.wait(hold, [this] { return m_bStop || !m_Jobs.empty(); });
        if (m_Jobs.empty()) return;  // stopped, with no caller left waiting
        Job *job = m_Jobs.front();
        m_Jobs.pop_front();
        hold.unlock();
        std::string text = (*job->lpRender)();
        hold.lock();
        job->text = std::move(text);
        job->bDone = true;
        m_Done.notify_all();
    }
}
