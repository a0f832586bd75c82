#include "host/web/file_sender.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_set>

using Clock = std::chrono::steady_clock;

namespace {

// As nginx's sendfile_max_chunk: one call never holds the loop for long.
constexpr size_t kSendfileBytes = 2 * 1024 * 1024;
constexpr int kEventsAtOnce = 64;
constexpr int kScanMs = 1000;  // how often stalled bodies are looked for

}  // namespace

// One body under way. It lives on the stack of the connection's thread,
// which waits for bDone; the loop touches it no more once that is set.
struct Body {
    Body(int nSocket, int nFile, uint64_t qwOffset, uint64_t qwCount, unsigned nIdleSeconds)
        : socket(nSocket), file(nFile), offset(static_cast<off_t>(qwOffset)), qwLeft(qwCount), idle(nIdleSeconds) {}
    int socket, file;
    off_t offset;
    uint64_t qwLeft, qwSent = 0;
    std::chrono::seconds idle;
    Clock::time_point progress = Clock::now();
    bool bDone = false;
    std::condition_variable done;
};

namespace {

enum class Push { kDone, kWaiting, kFailed };

// Sends until the socket is full (its next free space wakes the loop), the
// body is out, or the connection fails; a file that ends early fails it.
Push PushBody(Body &body) {
    while (body.qwLeft > 0) {
        size_t nWant = static_cast<size_t>(std::min<uint64_t>(body.qwLeft, kSendfileBytes));
        ssize_t nSent = sendfile(body.socket, body.file, &body.offset, nWant);
        if (nSent > 0) {
            body.qwSent += static_cast<uint64_t>(nSent);
            body.qwLeft -= static_cast<uint64_t>(nSent);
            body.progress = Clock::now();
            continue;
        }
        if (nSent < 0 && errno == EINTR) continue;
        return nSent < 0 && errno == EAGAIN ? Push::kWaiting : Push::kFailed;
    }
    return Push::kDone;
}

// Corked while the body goes, so that every segment leaves full; uncorking
// pushes out the last one.
void SetCork(int socket, int nOn) { setsockopt(socket, IPPROTO_TCP, TCP_CORK, &nOn, sizeof nOn); }

}  // namespace

// One event thread's bodies.
struct SendLoop {
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::mutex lock;
    std::unordered_set<Body *> bodies;
    bool bStop = false;

    SendLoop() {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = nullptr;
        epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &event);
    }
    ~SendLoop() {
        close(wake);
        close(epoll);
    }

    // False when the loop has stopped or cannot watch the socket.
    bool Add(Body &body) {
        std::lock_guard<std::mutex> hold(lock);
        if (bStop || epoll < 0) return false;
        epoll_event event{};
        event.events = EPOLLOUT | EPOLLET;  // errors and hang-ups come without asking
        event.data.ptr = &body;
        if (epoll_ctl(epoll, EPOLL_CTL_ADD, body.socket, &event) != 0) return false;
        bodies.insert(&body);
        return true;
    }

    // Uncorked here, not once the connection's thread has woken: the
    // client has the last bytes, and can ask again, a wake-up sooner.
    void Finish(Body &body) {
        epoll_ctl(epoll, EPOLL_CTL_DEL, body.socket, nullptr);
        SetCork(body.socket, 0);
        std::lock_guard<std::mutex> hold(lock);
        bodies.erase(&body);
        body.bDone = true;
        body.done.notify_one();  // under the lock: the waiter's stack holds the body
    }

    void Run() {
        epoll_event events[kEventsAtOnce];
        Clock::time_point scanned = Clock::now();
        for (;;) {
            int n = epoll_wait(epoll, events, kEventsAtOnce, kScanMs);
            if (n < 0 && errno != EINTR) {  // nothing more would ever wake a body: end them all
                Stop();
                FinishStalled();
                return;
            }
            bool bWoken = false;  // by Stop
            for (int i = 0; i < n; ++i) {
                auto *body = static_cast<Body *>(events[i].data.ptr);
                if (!body) {
                    uint64_t qwCount;
                    bWoken = read(wake, &qwCount, sizeof qwCount) > 0;
                    continue;
                }
                bool bBroken = events[i].events & (EPOLLERR | EPOLLHUP);
                if (bBroken || PushBody(*body) != Push::kWaiting) Finish(*body);
            }
            if (bWoken || Clock::now() - scanned >= std::chrono::milliseconds(kScanMs)) {
                scanned = Clock::now();
                if (!FinishStalled()) return;
            }
        }
    }

    // Ends the bodies whose clients took nothing for their idle time, or
    // every body once stopped; false then.
    bool FinishStalled() {
        std::vector<Body *> ended;
        bool bRun;
        {
            std::lock_guard<std::mutex> hold(lock);
            bRun = !bStop;
            Clock::time_point now = Clock::now();
            for (Body *body : bodies)
                if (!bRun || now - body->progress >= body->idle) ended.push_back(body);
        }
        for (Body *body : ended) Finish(*body);
        return bRun;
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> hold(lock);
            bStop = true;
        }
        uint64_t qwOne = 1;
        ssize_t nWritten = write(wake, &qwOne, sizeof qwOne);
        (void)nWritten;
    }
};

// On a socket that blocks (the connection's own). Its send timeout is kept
// short: one sendfile call may wait through many of them while the
// client's window opens a little at a time, so the idle limit is counted
// here, from the last byte the socket took.
void FileSender::SendAlone(Body &body) {
    int nFlags = fcntl(body.socket, F_GETFL);
    if (nFlags & O_NONBLOCK) fcntl(body.socket, F_SETFL, nFlags & ~O_NONBLOCK);
    timeval limit{1, 0}, was{};
    socklen_t size = sizeof was;
    getsockopt(body.socket, SOL_SOCKET, SO_SNDTIMEO, &was, &size);
    setsockopt(body.socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    while (PushBody(body) == Push::kWaiting && Clock::now() - body.progress < body.idle) {
    }
    setsockopt(body.socket, SOL_SOCKET, SO_SNDTIMEO, &was, sizeof was);
    if (nFlags & O_NONBLOCK) fcntl(body.socket, F_SETFL, nFlags);
}

FileSender::FileSender(unsigned nThreads) {
    for (unsigned i = 0; i < std::max(nThreads, 1u); ++i) {
        m_Loops.push_back(std::make_unique<SendLoop>());
        m_Threads.emplace_back([loop = m_Loops.back().get()] { loop->Run(); });
    }
}

FileSender::~FileSender() { Stop(); }

void FileSender::Stop() {
    m_bStopped = true;
    for (auto &loop : m_Loops) loop->Stop();
    for (std::thread &thread : m_Threads)
        if (thread.joinable()) thread.join();
}

uint64_t FileSender::Send(int socket, int file, uint64_t qwOffset, uint64_t qwCount, unsigned nIdleSeconds) {
    if (m_bStopped) return 0;  // as the loops, which take no body once stopped
    Body body(socket, file, qwOffset, qwCount, nIdleSeconds);
    // A body alone goes from the caller's thread, in calls that wait for
    // the socket's space in the kernel: for a lone download that costs less
    // than a loop's wake-ups.
    if (m_nBodies.fetch_add(1) == 0) {
        SetCork(socket, 1);
        SendAlone(body);
        SetCork(socket, 0);
        m_nBodies.fetch_sub(1);
        return body.qwSent;
    }
    struct Leave {
        std::atomic<unsigned> &n;
        ~Leave() { n.fetch_sub(1); }
    } leave{m_nBodies};
    // Not blocking while the loop sends, whatever the caller's socket is.
    int nFlags = fcntl(socket, F_GETFL);
    fcntl(socket, F_SETFL, nFlags | O_NONBLOCK);
    SetCork(socket, 1);
    // Even the first bytes go from the loop: sent from a hundred
    // connections' own threads, they cost the server half as much CPU again
    // per MB (measured at 100 downloads at once).
    SendLoop &loop = *m_Loops[m_nNext.fetch_add(1, std::memory_order_relaxed) % m_Loops.size()];
    if (!loop.Add(body)) {
        SetCork(socket, 0);
    } else {
        std::unique_lock<std::mutex> hold(loop.lock);
        body.done.wait(hold, [&body] { return body.bDone; });
    }
    fcntl(socket, F_SETFL, nFlags);
    return body.qwSent;
}
