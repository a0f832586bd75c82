#include "host/web/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "host/boots/http_observer.h"
#include "host/text/address_text.h"
#include "tftp/boot_path.h"

using Clock = std::chrono::steady_clock;

namespace {
std::mutex g_LogLock;  // one line at a time from both servers' threads
}  // namespace

void LogHttpLine(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_LogLock);
    std::cout << "http: " << line << std::endl;
}

namespace {

bool SkipPrefix(const char *&lpText, const char *lpPrefix) {
    size_t len = strlen(lpPrefix);
    if (strncasecmp(lpText, lpPrefix, len) != 0) return false;
    lpText += len;
    return true;
}

// Digits only, and no more than fit: anything else makes the range malformed.
bool ReadNumber(const char *&lpText, uint64_t *lpqwValue) {
    if (*lpText < '0' || *lpText > '9') return false;
    uint64_t qwValue = 0;
    for (; *lpText >= '0' && *lpText <= '9'; ++lpText) {
        if (qwValue > (UINT64_MAX - 9) / 10) return false;
        qwValue = qwValue * 10 + static_cast<uint64_t>(*lpText - '0');
    }
    *lpqwValue = qwValue;
    return true;
}

}  // namespace

RangeAnswer ParseRange(const char *lpHeader, uint64_t qwSize, uint64_t *lpqwFirst, uint64_t *lpqwCount) {
    if (!lpHeader) return RangeAnswer::kWhole;
    const char *p = lpHeader;
    while (*p == ' ' || *p == '\t') ++p;
    if (!SkipPrefix(p, "bytes=")) return RangeAnswer::kWhole;
    while (*p == ' ' || *p == '\t') ++p;
    uint64_t qwFirst = 0, qwLast = UINT64_MAX;
    bool bSuffix = *p == '-';
    if (bSuffix) {
        ++p;
        if (!ReadNumber(p, &qwLast)) return RangeAnswer::kWhole;
    } else {
        if (!ReadNumber(p, &qwFirst) || *p++ != '-') return RangeAnswer::kWhole;
        if (*p >= '0' && *p <= '9' && !ReadNumber(p, &qwLast)) return RangeAnswer::kWhole;
    }
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '\0') return RangeAnswer::kWhole;  // several ranges, or trailing junk
    if (bSuffix) {
        if (qwLast == 0 || qwSize == 0) return RangeAnswer::kUnsatisfiable;
        *lpqwCount = std::min(qwLast, qwSize);
        *lpqwFirst = qwSize - *lpqwCount;
        return RangeAnswer::kPart;
    }
    if (qwLast < qwFirst) return RangeAnswer::kWhole;
    if (qwFirst >= qwSize) return RangeAnswer::kUnsatisfiable;
    *lpqwFirst = qwFirst;
    *lpqwCount = std::min(qwLast, qwSize - 1) - qwFirst + 1;
    return RangeAnswer::kPart;
}

int OpenServedFile(const std::string &root, const std::string &name, int *lpFd, const char **lpWhy) {
    *lpFd = -1;
    *lpWhy = name.find('\0') != std::string::npos ? "zero byte in the name" : RefuseBootFileName(name.c_str());
    char path[platform::kMaxPath];
    if (!*lpWhy && !MakeBootFilePath(root.c_str(), name.c_str(), path, sizeof path)) *lpWhy = "path too long";
    if (*lpWhy) return 403;
    // Without O_NONBLOCK, opening a FIFO would wait for a writer.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *lpWhy = "no such file";
        return 404;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {  // folders, FIFOs, devices, sockets
        close(fd);
        *lpWhy = "not a regular file";
        return 404;
    }
    char real[kRealPathSize];
    bool bInside = false;
    if (LocateBootFile(root.c_str(), fd, real, sizeof real, &bInside) == 0 && bInside) {
        *lpFd = fd;
        return 200;
    }
    close(fd);
    *lpWhy = "outside the boot folder";
    return 403;
}

http_limits::Shares http_limits::ConnectionShares(uint64_t qwDescriptorLimit) {
    uint64_t qwOurs = qwDescriptorLimit - qwDescriptorLimit / 4;
    if (qwOurs <= kReservedDescriptors + 48)
        return {{16, kPerAddress, kOwnThreads}, {8, kStatusPerAddress, kStatusThreads}};
    uint64_t qwFree = qwOurs - kReservedDescriptors;
    unsigned nStatus =
        static_cast<unsigned>(std::min<uint64_t>(kMostStatusConnections, qwFree * kStatusShareEighths / 8));
    unsigned nPayload = static_cast<unsigned>(std::min<uint64_t>(kMostConnections, (qwFree - nStatus) / 2));
    return {{nPayload, kPerAddress, kOwnThreads}, {nStatus, kStatusPerAddress, kStatusThreads}};
}

http_limits::Shares http_limits::OwnConnectionShares() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    return ConnectionShares(limit.rlim_cur);
}

// The whole request header must arrive within kHeaderSeconds of the
// connection's start, or kNextHeaderSeconds of its previous answer. The
// library's own timeout restarts at every byte, so one header line every
// few seconds would hold a connection for ever; this closes such
// connections from a watch thread.
// What it holds against the client is the header's arrival, not its
// reading: with thousands of transfers running (a fleet powering on at
// once) a new connection's thread may first run seconds after its header
// came, and such a connection is kept.
class HeaderDeadline {
public:
    HeaderDeadline() : m_Watch([this] { Watch(); }) {}
    ~HeaderDeadline() {
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_bStop = true;
        }
        m_Wake.notify_all();
        m_Watch.join();
    }
    void Started(MHD_Connection *connection, int fd) {
        struct stat info {};
        fstat(fd, &info);
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Waiting[connection] = Waiting{fd, info.st_ino, Clock::now(), true, false};
    }
    void HeaderDone(MHD_Connection *connection) { Set(connection, false); }
    void AnswerDone(MHD_Connection *connection) { Set(connection, true); }
    // The library closes the socket only after this returns, so the watch
    // never touches a descriptor number already reused.
    void Closed(MHD_Connection *connection) {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Waiting.erase(connection);
    }

private:
    struct Waiting {
        int fd;
        ino_t socket;  // the socket fd named when the connection began
        Clock::time_point since;
        bool bWaiting, bAnswered;
    };
    void Set(MHD_Connection *connection, bool bWaiting) {
        std::lock_guard<std::mutex> lock(m_Lock);
        auto found = m_Waiting.find(connection);
        if (found == m_Waiting.end()) return;
        found->second.bAnswered |= bWaiting;  // only an answer sets a started connection waiting again
        found->second.bWaiting = bWaiting;
        found->second.since = Clock::now();
    }
    void Watch() {
        std::unique_lock<std::mutex> lock(m_Lock);
        while (!m_Wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_bStop; })) {
            Clock::time_point now = Clock::now();
            for (auto &entry : m_Waiting) {
                Waiting &waiting = entry.second;
                unsigned nSeconds = waiting.bAnswered ? http_limits::kNextHeaderSeconds : http_limits::kHeaderSeconds;
                if (!waiting.bWaiting || waiting.since > now - std::chrono::seconds(nSeconds)) continue;
                // A descriptor that names another socket now is not ours to touch.
                struct stat info {};
                bool bOurs = fstat(waiting.fd, &info) == 0 && info.st_ino == waiting.socket;
                if (bOurs && HeaderArrived(waiting.fd)) continue;
                // The connection's thread sees the end of the stream and closes it.
                if (bOurs) shutdown(waiting.fd, SHUT_RDWR);
                waiting.bWaiting = false;
                waiting.since = Clock::time_point::max();
            }
        }
    }

    // Whether the socket holds a header's end not yet read. A header the
    // library has begun to read shows its end here still, unless it has all
    // been read, and then its answer is moments away.
    bool HeaderArrived(int fd) {
        ssize_t got = recv(fd, m_Peek, sizeof m_Peek, MSG_PEEK | MSG_DONTWAIT);
        if (got <= 0) return false;
        size_t size = static_cast<size_t>(got);
        return memmem(m_Peek, size, "\r\n\r\n", 4) || memmem(m_Peek, size, "\n\n", 2);
    }

    std::mutex m_Lock;
    std::condition_variable m_Wake;
    bool m_bStop = false;
    char m_Peek[http_limits::kHeaderBytes];
    std::unordered_map<MHD_Connection *, Waiting> m_Waiting;
    std::thread m_Watch;
};

// What the library's callbacks share.
struct HttpService {
    HttpHandler *handler;
    HeaderDeadline deadline;
    ConnectionBudget *lpBudget = nullptr;
};

namespace {

// Counted from the library's start to its close of each connection; a few
// accepted at once on other threads may pass the most by as many.
MHD_Result WithinBudget(void *lpContext, const sockaddr *, socklen_t) {
    ConnectionBudget *lpBudget = static_cast<HttpService *>(lpContext)->lpBudget;
    return !lpBudget || lpBudget->nOpen.load() < lpBudget->nMost ? MHD_YES : MHD_NO;
}

void NoteConnection(void *lpContext, MHD_Connection *connection, void **, MHD_ConnectionNotificationCode code) {
    auto *service = static_cast<HttpService *>(lpContext);
    HeaderDeadline *deadline = &service->deadline;
    if (service->lpBudget) {
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) --service->lpBudget->nOpen;
        else ++service->lpBudget->nOpen;
    }
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) return deadline->Closed(connection);
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info) deadline->Started(connection, info->connect_fd);
}

void RequestDone(void *lpContext, MHD_Connection *connection, void **lpRequest, MHD_RequestTerminationCode code) {
    auto *service = static_cast<HttpService *>(lpContext);
    service->deadline.AnswerDone(connection);
    service->handler->Done(connection, lpRequest, code == MHD_REQUEST_TERMINATED_COMPLETED_OK);
}

// Bodies are refused before they come (RefusedRequest), so an upload is
// never taken in, but by a handler that asks for it (the API's).
MHD_Result Dispatch(void *lpContext, MHD_Connection *connection, const char *lpUrl, const char *lpMethod,
                    const char *, const char *lpUpload, size_t *lpUploadSize, void **lpRequest) {
    auto *service = static_cast<HttpService *>(lpContext);
    if (!*lpRequest) service->deadline.HeaderDone(connection);
    if (*lpRequest && *lpUploadSize) {
        bool taken = service->handler->Upload(connection, lpRequest, lpUpload, *lpUploadSize);
        *lpUploadSize = 0;
        return taken ? MHD_YES : MHD_NO;
    }
    return service->handler->Serve(connection, lpUrl, lpMethod, lpRequest) ? MHD_YES : MHD_NO;
}

}  // namespace

int RefusedRequest(MHD_Connection *connection, const char *lpUrl, const char *lpMethod, const char **lpWhy) {
    if (strcmp(lpMethod, "GET") != 0 && strcmp(lpMethod, "HEAD") != 0) return *lpWhy = "method not served", 405;
    const char *lpLength = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if ((lpLength && strcmp(lpLength, "0") != 0) ||
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING))
        return *lpWhy = "a body with the request", 400;
    if (lpUrl[0] != '/') return *lpWhy = "not a path", 400;
    return 0;
}

bool QueueAnswer(MHD_Connection *connection, unsigned nStatus, const std::string &body, const char *lpType,
                 const char *lpHeader, const char *lpValue) {
    MHD_Response *response = MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()),
                                                             MHD_RESPMEM_MUST_COPY);
    if (!response) return false;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, lpType);
    if (lpHeader) MHD_add_response_header(response, lpHeader, lpValue);
    if (nStatus >= 400) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    if (nStatus == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    MHD_Result result = MHD_queue_response(connection, nStatus, response);
    MHD_destroy_response(response);
    return result == MHD_YES;
}

bool ListenAddress(const std::string &address, int nPort, sockaddr_storage *lpBind, socklen_t *lpSize) {
    *lpBind = sockaddr_storage{};
    auto *in4 = reinterpret_cast<sockaddr_in *>(lpBind);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(lpBind);
    uint32_t dwAddress = 0;
    if (ParseAddress6(address, in6->sin6_addr.s6_addr)) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(nPort));
        *lpSize = sizeof *in6;
        return true;
    }
    if (!ParseAddress(address, &dwAddress)) return false;
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(nPort));
    in4->sin_addr.s_addr = htonl(dwAddress);
    *lpSize = sizeof *in4;
    return true;
}

HttpListener::HttpListener() = default;

HttpListener::~HttpListener() { Stop(); }

bool HttpListener::Start(const std::string &address, int nPort, const http_limits::Share &share,
                         HttpHandler &handler, const char *lpWhat, std::string *error, ConnectionBudget *lpBudget) {
    using namespace http_limits;
    sockaddr_storage bind{};
    socklen_t size = 0;
    if (!ListenAddress(address, nPort, &bind, &size)) {
        *error = std::string("not an IPv4 or IPv6 address for ") + lpWhat + ": " + address;
        return false;
    }
    bool bV6 = bind.ss_family == AF_INET6;
    std::string shown = UrlHost(address) + ":" + std::to_string(nPort);
    m_Service = std::make_unique<HttpService>();
    m_Service->handler = &handler;
    m_Service->lpBudget = lpBudget;
    HttpService *context = m_Service.get();
    // Event threads (epoll, not select, which would stop at descriptor
    // 1,024), on the system's stack.
    m_lpDaemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | (bV6 ? MHD_USE_IPv6 : 0), static_cast<uint16_t>(nPort), WithinBudget,
        context, Dispatch, context, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&bind),
        MHD_OPTION_THREAD_POOL_SIZE, std::max(share.nThreads, 1u), MHD_OPTION_CONNECTION_LIMIT, share.nConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, share.nPerAddress, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<size_t>(kHeaderBytes), MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_LISTEN_BACKLOG_SIZE, kBacklog, MHD_OPTION_NOTIFY_CONNECTION, NoteConnection, context,
        MHD_OPTION_NOTIFY_COMPLETED, RequestDone, context, MHD_OPTION_END);
    if (!m_lpDaemon) {
        m_Service.reset();
        *error = "cannot listen on " + shown + " for " + lpWhat;
        return false;
    }
    LogHttpLine(std::string(lpWhat) + " serving " + shown + ", at most " +
            std::to_string(share.nConnections) + " connections, " + std::to_string(share.nPerAddress) +
            " per address");
    return true;
}

void HttpListener::Stop() {
    if (m_lpDaemon) MHD_stop_daemon(m_lpDaemon);
    m_lpDaemon = nullptr;
    m_Service.reset();
}
