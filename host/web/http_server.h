// The HTTP stack of the status listener (status_server.h), on
// libmicrohttpd's event threads, and what the boot folder's own server
// (boot_http_server.h) shares with it: the limits on connections and
// headers, the descriptor shares, Range and the boot folder's file rules.
// A connection must deliver its whole request header within kHeaderSeconds
// (kNextHeaderSeconds after an answer) and in at most kHeaderBytes, and
// connections are capped per address and in total, well below the
// descriptor limit, so that TFTP, the log and the store always find
// descriptors.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/boots/http_observer.h"

struct MHD_Connection;
struct MHD_Daemon;
struct HttpService;

namespace http_limits {
// Payload connections each have a thread of their own for their requests
// (Share::nThreads kOwnThreads), their file bodies leaving from the
// sender's event threads; the descriptor share below bounds the threads as
// it bounds the connections.
constexpr unsigned kOwnThreads = 0;
// The stack of each such thread. It runs the request handler (a rendered
// file's template fills a string on the heap), the log line and the boot
// record's news, a few KiB in all; at the system's 8 MiB, 8,192 connections
// would reserve 64 GiB of address space. The sanitizers' frames carry
// redzones and their runtime's calls, several times as much.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVREL_HTTP_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TAVREL_HTTP_SANITIZED 1
#endif
#endif
#ifdef TAVREL_HTTP_SANITIZED
constexpr size_t kThreadStackBytes = 1024 * 1024;
#else
constexpr size_t kThreadStackBytes = 256 * 1024;
#endif
constexpr unsigned kHeaderSeconds = 4;          // whole request header, from connect
// The next request's header, from the last answer's end: the client asks
// only once it has read that answer, which may still fill its buffers (an
// 8 MB kernel for each of thousands of machines powering on at once).
constexpr unsigned kNextHeaderSeconds = 30;
constexpr unsigned kHeaderBytes = 32 * 1024;    // a longer header gets 431
constexpr unsigned kIdleSeconds = 30;           // a transfer the client stopped reading
constexpr unsigned kPerAddress = 32;            // connections from one address
constexpr unsigned kMostConnections = 8192;   // a fleet powering on at once, each on one connection
constexpr unsigned kBacklog = 4096;             // a storm's SYNs wait here, not in retries
constexpr unsigned kReservedDescriptors = 256;  // never taken by HTTP, beside TFTP's quarter
// The status listener: a few browsers and a Prometheus, never a fleet.
constexpr unsigned kStatusThreads = 2;
constexpr unsigned kStatusPerAddress = 8;
constexpr unsigned kStatusShareEighths = 1;  // of HTTP's descriptors
constexpr unsigned kMostStatusConnections = 1024;

// How one listener may use its server: nThreads event threads for every
// connection (the status listener), or kOwnThreads (the boot folder's).
struct Share {
    unsigned nConnections, nPerAddress, nThreads;
};
// The two listeners' parts of the descriptors HTTP may take under a
// descriptor limit, which leaves TFTP's quarter and kReservedDescriptors
// alone together: a payload connection holds its socket and, while sending,
// its file; a status connection its socket.
struct Shares {
    Share payload, status;
};
Shares ConnectionShares(uint64_t qwDescriptorLimit);
// The shares under this process's own descriptor limit.
Shares OwnConnectionShares();
}  // namespace http_limits

// What a listener answers. Serve is called once the header is in, with
// *lpRequest null (the handler must set it), and again when the request is
// complete; false closes the connection. Done is called when the answer
// ended, COMPLETE when every byte went out.
class HttpHandler {
public:
    virtual bool Serve(MHD_Connection *connection, const char *lpUrl, const char *lpMethod, void **lpRequest) = 0;
    virtual void Done(MHD_Connection *connection, void **lpRequest, bool bComplete) = 0;
    // A piece of a request's body, between the two Serve calls; by default
    // thrown away (only GET and HEAD are served). False closes the connection.
    virtual bool Upload(MHD_Connection *, void **, const char *, size_t) { return true; }

protected:
    ~HttpHandler() = default;
};

// Connections open across listeners that share one part of the
// descriptors (the boot folder's IPv4 and IPv6 listeners): a flood on one
// family leaves no more descriptors taken than one listener may take.
struct ConnectionBudget {
    std::atomic<unsigned> nOpen{0};
    unsigned nMost = 0;
};

// One libmicrohttpd daemon with the limits above, serving HANDLER from
// share.nThreads event threads.
class HttpListener {
public:
    HttpListener();
    ~HttpListener();
    // Binds ADDRESS:PORT (IPv4, or IPv6 without brackets) and serves from threads of its own; false with the
    // reason when the port cannot be bound. WHAT names the listener in
    // messages.
    // With BUDGET, a connection beyond its most, counted with the other
    // listeners', is closed at once.
    bool Start(const std::string &address, int nPort, const http_limits::Share &share, HttpHandler &handler,
               const char *lpWhat, std::string *error, ConnectionBudget *lpBudget = nullptr);
    void Stop();

private:
    MHD_Daemon *m_lpDaemon = nullptr;
    std::unique_ptr<HttpService> m_Service;
};

// The reason to refuse a GET or HEAD request before its answer (a body, a
// target that is no path, another method): 400 or 405 with *lpWhy, else 0.
int RefusedRequest(MHD_Connection *connection, const char *lpUrl, const char *lpMethod, const char **lpWhy);
// Queues an answer of BODY (copied) of TYPE, with the header HEADER: VALUE
// when HEADER is not null; an error answer (400 and up) closes the
// connection.
bool QueueAnswer(MHD_Connection *connection, unsigned nStatus, const std::string &body, const char *lpType,
                 const char *lpHeader = nullptr, const char *lpValue = nullptr);

// One line of the HTTP servers' log, "http: " LINE, whole beside the other threads'.
void LogHttpLine(const std::string &line);

// ADDRESS (IPv4, or IPv6 without brackets) and PORT as a socket address to
// bind, with its size; false when ADDRESS is neither.
bool ListenAddress(const std::string &address, int nPort, sockaddr_storage *lpBind, socklen_t *lpSize);

// The byte range a Range header asks of a file of qwSize bytes, by RFC 9110:
// kWhole when the header is absent, malformed or asks for several ranges
// (the whole file is a valid answer to those), kUnsatisfiable for 416,
// kPart with *lpqwFirst and *lpqwCount trimmed to the file.
enum class RangeAnswer { kWhole, kPart, kUnsatisfiable };
RangeAnswer ParseRange(const char *lpHeader, uint64_t qwSize, uint64_t *lpqwFirst, uint64_t *lpqwCount);

// Opens the file under ROOT that NAME (the request path without its leading
// "/") stands for, by the TFTP rules, without blocking on a FIFO: 200 with the
// descriptor, or 403 or 404 with *lpWhy saying why.
int OpenServedFile(const std::string &root, const std::string &name, int *lpFd, const char **lpWhy);
