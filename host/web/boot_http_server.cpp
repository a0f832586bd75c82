#include "host/web/boot_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/tcp.h>  // tcp_info with its byte counts
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/text/address_text.h"
#include "host/web/file_sender.h"
#include "tftp/boot_path.h"

using Clock = std::chrono::steady_clock;

// What one request is, kept from its header to the end of its answer.
struct BootHttpServer::Transfer {
    std::string client, method, name;
    int nStatus = 0;
    uint64_t qwSize = 0, qwBody = 0, qwAckedAtStart = 0;
    int fd = -1;  // the connection's socket
    Clock::time_point start = Clock::now();
};

// A request's header, parsed once.
struct PayloadRequest {
    std::string method, name;  // name: the decoded path without its leading "/"
    bool bKeepAlive = false;
    std::string range;
    bool bRange = false, bIfRange = false;
};

namespace {

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Bytes the client has acknowledged on this connection: what a transfer cut
// short really delivered, since sendfile leaves no count of its own.
uint64_t AckedBytes(int fd) {
    tcp_info tcp{};
    socklen_t size = sizeof tcp;
    return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &tcp, &size) == 0 ? tcp.tcpi_bytes_acked : 0;
}

// The body's bytes acknowledged: those past qwStart (the header's end), at most the body.
uint64_t BodyAcked(int fd, uint64_t qwStart, uint64_t qwBody) {
    uint64_t qwAcked = AckedBytes(fd);
    return qwAcked > qwStart ? std::min(qwAcked - qwStart, qwBody) : 0;
}

const char *Reason(int nStatus) {
    switch (nStatus) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 505: return "HTTP Version Not Supported";
    default: return "Internal Server Error";
    }
}

// The status line and headers of an answer of qwLength body bytes.
std::string AnswerHeader(int nStatus, uint64_t qwLength, const char *lpType, bool bKeepAlive,
                         const std::string &extra = "") {
    char date[64];
    time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    std::string header = "HTTP/1.1 " + std::to_string(nStatus) + " " + Reason(nStatus) + "\r\nDate: " + date + "\r\n";
    if (!bKeepAlive) header += "Connection: close\r\n";
    header += "Content-Length: " + std::to_string(qwLength) + "\r\nContent-Type: " + lpType + "\r\n" + extra + "\r\n";
    return header;
}

bool SendAll(int fd, const std::string &bytes, int nFlags = 0) {
    for (size_t at = 0; at < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL | nFlags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

bool IsHex(char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; }

// %XX decoded; a "%" not followed by two hex digits stays as it is.
std::string DecodePath(const std::string &path) {
    std::string decoded;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && IsHex(path[i + 1]) && IsHex(path[i + 2])) {
            decoded += static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            decoded += path[i];
        }
    }
    return decoded;
}

// No control bytes (tabs aside) and no bare CR.
bool Printable(const std::string &line) {
    for (char c : line)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) return false;
    return true;
}

bool HasToken(const std::string &value, const char *lpToken) {
    size_t len = strlen(lpToken);
    for (size_t at = 0; at <= value.size();) {
        size_t end = value.find(',', at);
        if (end == std::string::npos) end = value.size();
        size_t first = value.find_first_not_of(" \t", at), last = value.find_last_not_of(" \t", end - 1);
        if (first < end && last != std::string::npos && last + 1 - first == len &&
            strncasecmp(value.c_str() + first, lpToken, len) == 0)
            return true;
        at = end + 1;
    }
    return false;
}

// 0 with *lpRequest filled, or the status to refuse the request with and *lpWhy.
int ParseRequest(const std::string &header, PayloadRequest *lpRequest, const char **lpWhy) {
    size_t lineEnd = header.find('\n');
    std::string line = header.substr(0, lineEnd);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t sp1 = line.find(' '), sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos) return *lpWhy = "malformed request line", 400;
    lpRequest->method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1), version = line.substr(sp2 + 1);
    if (version.compare(0, 5, "HTTP/") == 0 && version != "HTTP/1.0" && version != "HTTP/1.1")
        return *lpWhy = "HTTP version not served", 505;
    if (version.compare(0, 5, "HTTP/") != 0 || !Printable(line)) return *lpWhy = "malformed request line", 400;
    bool bHttp11 = version == "HTTP/1.1";
    std::string connection, length;
    bool bHost = false, bEncoding = false;
    for (size_t at = lineEnd + 1; at < header.size();) {
        size_t end = header.find('\n', at);
        if (end == std::string::npos) end = header.size();
        std::string field = header.substr(at, end - at);
        at = end + 1;
        if (!field.empty() && field.back() == '\r') field.pop_back();
        // The blank line ends the header only where the reader ended it: a
        // front proxy and this server see the same requests.
        if (field.empty()) {
            if (at < header.size()) return *lpWhy = "malformed header line", 400;
            break;
        }
        size_t colon = field.find(':');
        if (colon == std::string::npos || colon == 0 || !Printable(field) ||
            field.find_first_of(" \t") < colon)
            return *lpWhy = "malformed header line", 400;
        std::string name = field.substr(0, colon);
        size_t first = field.find_first_not_of(" \t", colon + 1), last = field.find_last_not_of(" \t");
        std::string value = first == std::string::npos ? "" : field.substr(first, last + 1 - first);
        auto is = [&name](const char *lpName) { return strcasecmp(name.c_str(), lpName) == 0; };
        if (is("Host") && bHost) return *lpWhy = "two Host headers", 400;
        if (is("Content-Length") && !length.empty()) return *lpWhy = "two Content-Length headers", 400;
        if (is("Host")) bHost = true;
        else if (is("Connection")) connection += value + ",";
        else if (is("Content-Length")) length = value.empty() ? "-" : value;
        else if (is("Transfer-Encoding")) bEncoding = true;
        else if (is("Range") && !lpRequest->bRange) lpRequest->range = value, lpRequest->bRange = true;
        else if (is("If-Range")) lpRequest->bIfRange = true;
    }
    lpRequest->bKeepAlive = bHttp11 ? !HasToken(connection, "close") : HasToken(connection, "keep-alive");
    std::string path = target.substr(0, target.find('?'));
    lpRequest->name = DecodePath(path[0] == '/' ? path.substr(1) : path);
    if (bHttp11 && !bHost) return *lpWhy = "no Host header", 400;
    if (lpRequest->method != "GET" && lpRequest->method != "HEAD") return *lpWhy = "method not served", 405;
    if ((!length.empty() && length != "0") || bEncoding) return *lpWhy = "a body with the request", 400;
    if (path.empty() || path[0] != '/') return *lpWhy = "not a path", 400;
    return 0;
}

enum class HeaderRead { kHeader, kEnded, kTooLarge };

// Reads until BUFFER holds a whole header (*lpEnd past its blank line), the
// deadline passes, or the client hangs up.
HeaderRead ReadHeader(int fd, std::string &buffer, Clock::time_point deadline, size_t *lpEnd) {
    char chunk[16 * 1024];
    for (;;) {
        size_t crlf = buffer.find("\r\n\r\n"), lf = buffer.find("\n\n");
        size_t end = std::min(crlf == std::string::npos ? crlf : crlf + 4, lf == std::string::npos ? lf : lf + 2);
        if (end != std::string::npos && end <= http_limits::kHeaderBytes) return *lpEnd = end, HeaderRead::kHeader;
        if (buffer.size() >= http_limits::kHeaderBytes) return HeaderRead::kTooLarge;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd wait{fd, POLLIN, 0};
        if (left <= 0 || poll(&wait, 1, static_cast<int>(left)) <= 0) return HeaderRead::kEnded;
        ssize_t got = recv(fd, chunk, std::min(sizeof chunk, http_limits::kHeaderBytes - buffer.size()), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return HeaderRead::kEnded;
        buffer.append(chunk, static_cast<size_t>(got));
    }
}

// Before a connection closes after its answer, what the client still sends
// is read and dropped for a moment: closed with it unread, the connection
// would be reset, and the client lose the answer's tail.
void Linger(int fd) {
    shutdown(fd, SHUT_WR);
    char chunk[16 * 1024];
    size_t total = 0;
    auto end = Clock::now() + std::chrono::seconds(2);
    for (pollfd wait{fd, POLLIN, 0}; total < 1024 * 1024 && Clock::now() < end && poll(&wait, 1, 200) > 0;) {
        ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        total += static_cast<size_t>(got);
    }
}

void LogTransfer(const std::string &client, const std::string &method,
                 const std::string &name, int nStatus, uint64_t qwSent, uint64_t qwSize, Clock::time_point start,
                 bool bComplete) {
    double seconds = SecondsSince(start);
    char line[768];
    snprintf(line, sizeof line, "%s %s /%s %d, %llu of %llu bytes in %.3f s (%.2f MB/s)%s", client.c_str(),
             method.c_str(), PrintableText(name.c_str()).Text(), nStatus, static_cast<unsigned long long>(qwSent),
             static_cast<unsigned long long>(qwSize), seconds, seconds > 0 ? qwSent / seconds / 1e6 : 0.0,
             bComplete ? "" : ", cut short");
    LogHttpLine(line);
}

std::string ClientText(const sockaddr_storage &from) {
    if (from.ss_family == AF_INET6) {
        char text[INET6_ADDRSTRLEN];
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&from);
        return inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) ? text : "?";  // as the library writes it
    }
    if (from.ss_family != AF_INET) return "?";
    return AddressText(ntohl(reinterpret_cast<const sockaddr_in *>(&from)->sin_addr.s_addr));
}

}  // namespace

BootHttpServer::BootHttpServer()
    : m_Sender(std::make_unique<FileSender>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u))) {
    pthread_attr_init(&m_ThreadAttr);
    pthread_attr_setstacksize(&m_ThreadAttr, http_limits::kThreadStackBytes);
    pthread_attr_setdetachstate(&m_ThreadAttr, PTHREAD_CREATE_DETACHED);
}

BootHttpServer::~BootHttpServer() {
    Stop();
    pthread_attr_destroy(&m_ThreadAttr);
}

bool BootHttpServer::Start(const std::string &root, const std::string &address, int nPort, std::string *error) {
    m_Root = root;
    m_Share = http_limits::OwnConnectionShares().payload;
    return Listen(address, nPort, error);
}

// One share for both families: a second listener with a share of its own
// would take TFTP's descriptors under a flood of both.
bool BootHttpServer::StartV6(const std::string &address, int nPort, std::string *error) {
    return Listen(address, nPort, error);
}

bool BootHttpServer::Listen(const std::string &address, int nPort, std::string *error) {
    sockaddr_storage bind{};
    socklen_t size = 0;
    if (!ListenAddress(address, nPort, &bind, &size)) {
        *error = "not an IPv4 or IPv6 address for HTTP: " + address;
        return false;
    }
    std::string shown = UrlHost(address) + ":" + std::to_string(nPort);
    int fd = socket(bind.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0), nOn = 1;
    if (fd >= 0) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
        if (bind.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &nOn, sizeof nOn);
    }
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&bind), size) != 0 ||
        listen(fd, static_cast<int>(http_limits::kBacklog)) != 0) {
        if (fd >= 0) close(fd);
        *error = "cannot listen on " + shown + " for HTTP";
        return false;
    }
    m_Listeners.push_back(fd);
    m_Acceptors.emplace_back([this, fd] { Accept(fd); });
    LogHttpLine("HTTP serving " + shown + ", at most " + std::to_string(m_Share.nConnections) + " connections, " +
            std::to_string(m_Share.nPerAddress) + " per address");
    return true;
}

void BootHttpServer::Accept(int nListener) {
    int nLogged = 0;  // the error told last: a lasting one is told once
    for (;;) {
        sockaddr_storage from{};
        socklen_t size = sizeof from;
        int fd = accept4(nListener, reinterpret_cast<sockaddr *>(&from), &size, SOCK_CLOEXEC);
        if (fd < 0) {
            int nError = errno;
            if (nError == EINTR || nError == ECONNABORTED) continue;
            {
                std::lock_guard<std::mutex> lock(m_Lock);
                if (m_bStopping) return;
            }
            bool bOutOf = nError == EMFILE || nError == ENFILE || nError == ENOBUFS || nError == ENOMEM;
            if (!bOutOf && nError != nLogged)
                LogHttpLine(std::string("accepting a connection failed: ") + strerror(nError));
            nLogged = bOutOf ? nLogged : nError;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // descriptors come back as connections end
            continue;
        }
        nLogged = 0;
        if (!Admit(fd, ClientText(from))) close(fd);
    }
}

// Within the caps, a connection gets its thread; beyond them it is closed at once.
bool BootHttpServer::Admit(int fd, const std::string &client) {
    auto *c = new Connection{fd, client, Clock::now(), this};
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        unsigned &nFrom = m_PerAddress[client];
        if (m_bStopping || m_nConnections >= m_Share.nConnections || nFrom >= m_Share.nPerAddress) {
            if (nFrom == 0) m_PerAddress.erase(client);
            delete c;
            return false;
        }
        ++nFrom;
        ++m_nConnections;
        m_Open.insert(c);
    }
    int nOn = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);  // corked while a body goes
    timeval limit{static_cast<time_t>(http_limits::kIdleSeconds), 0};  // a header answer the client does not read
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    pthread_t thread;
    if (pthread_create(&thread, &m_ThreadAttr, RunConnection, c) == 0) return true;
    Ended(*c);  // closes the socket
    return true;
}

void *BootHttpServer::RunConnection(void *lpConnection) {
    auto *c = static_cast<Connection *>(lpConnection);
    c->lpServer->Converse(*c);
    c->lpServer->Ended(*c);
    return nullptr;
}

void BootHttpServer::Ended(Connection &c) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Open.erase(&c);
    close(c.fd);  // under the lock: Stop never shuts a descriptor number reused since
    auto found = m_PerAddress.find(c.client);
    if (found != m_PerAddress.end() && --found->second == 0) m_PerAddress.erase(found);
    --m_nConnections;
    delete &c;
    m_Quiet.notify_all();
}

// Request after request, as long as the client keeps the connection and
// sends each whole header in time.
void BootHttpServer::Converse(Connection &c) {
    std::string buffer;
    Clock::time_point deadline = c.accepted + std::chrono::seconds(http_limits::kHeaderSeconds);
    for (;;) {
        size_t end = 0;
        HeaderRead read = ReadHeader(c.fd, buffer, deadline, &end);
        if (read == HeaderRead::kTooLarge) {
            LogHttpLine(c.client + " request header over " + std::to_string(http_limits::kHeaderBytes) + " bytes, 431");
            std::string text = "431 Request Header Fields Too Large\n";
            SendAll(c.fd, AnswerHeader(431, text.size(), "text/plain", false) + text);
            Linger(c.fd);
            return;
        }
        if (read != HeaderRead::kHeader) return;
        std::string header = buffer.substr(0, end);
        buffer.erase(0, end);
        if (!Answer(c, header)) {
            Linger(c.fd);  // what the client still sent must not reset the answer's tail
            return;
        }
        deadline = Clock::now() + std::chrono::seconds(http_limits::kNextHeaderSeconds);
    }
}

// False when the connection ends with this answer.
bool BootHttpServer::Answer(Connection &c, const std::string &header) {
    NoteHttpStarted();
    PayloadRequest request;
    Transfer t;
    t.client = c.client;
    t.fd = c.fd;
    const char *lpWhy = nullptr;
    int nStatus = ParseRequest(header, &request, &lpWhy);
    t.method = request.method;
    t.name = request.name;
    auto refuse = [&](int nCode, const char *lpReason, const std::string &extra = "") {
        t.nStatus = nCode;
        LogHttpLine(t.client + " " + PrintableText(t.method.c_str()).Text() + " /" + PrintableText(t.name.c_str()).Text() +
                " " + std::to_string(nCode) + ", " + lpReason);
        std::string text = std::to_string(nCode) + " " + Reason(nCode) + "\n";
        bool bSent = SendAll(c.fd, AnswerHeader(nCode, text.size(), "text/plain", false, extra) + text);
        NoteHttpEnded({t.client, t.name, nCode, 0, 0, SecondsSince(t.start), bSent});
        return false;
    };
    // Names longer than the boot folder serves are never kept whole: the
    // boot records hold what the observer is told, for every machine.
    if (t.name.size() >= kBootFileNameSize) {
        t.name.resize(kBootFileNameSize - 1);
        if (!nStatus) nStatus = 404, lpWhy = "name of 128 characters or more";
    }
    if (nStatus == 405) return refuse(405, lpWhy, "Allow: GET, HEAD\r\n");
    if (nStatus) return refuse(nStatus, lpWhy);
    bool bHead = request.method == "HEAD";
    std::string body;
    if (int rendered = m_Renderer ? m_Renderer(t.name, t.client, &body) : 0) {
        if (rendered < 0) return refuse(404, "no such file for this machine");
        t.nStatus = 200;
        t.qwSize = t.qwBody = body.size();
        std::string answer = AnswerHeader(200, body.size(), "text/plain", request.bKeepAlive) + (bHead ? "" : body);
        bool bSent = SendAll(c.fd, answer);
        LogTransfer(t.client, t.method, t.name, 200, bSent ? t.qwBody : 0, t.qwSize, t.start, bSent);
        NoteHttpEnded({t.client, t.name, 200, bSent ? t.qwBody : 0, t.qwSize, SecondsSince(t.start), bSent});
        return bSent && request.bKeepAlive;
    }
    int fd = -1;
    nStatus = OpenServedFile(m_Root, t.name, &fd, &lpWhy);
    if (nStatus != 200) return refuse(nStatus, lpWhy);
    bool bKeep = AnswerFile(c, request, t, fd);
    close(fd);
    return bKeep;
}

bool BootHttpServer::AnswerFile(Connection &c, const PayloadRequest &request, Transfer &t, int fd) {
    struct stat info;
    fstat(fd, &info);
    t.qwSize = t.qwBody = static_cast<uint64_t>(info.st_size);
    uint64_t qwFirst = 0;
    RangeAnswer range = RangeAnswer::kWhole;
    // Range applies to GET only; with If-Range (no validators are sent) the whole file is the safe answer.
    if (t.method == "GET" && !request.bIfRange)
        range = ParseRange(request.bRange ? request.range.c_str() : nullptr, t.qwSize, &qwFirst, &t.qwBody);
    char contentRange[96];
    if (range == RangeAnswer::kUnsatisfiable) {
        t.nStatus = 416;
        LogHttpLine(t.client + " GET /" + PrintableText(t.name.c_str()).Text() + " 416, range outside the file");
        snprintf(contentRange, sizeof contentRange, "Content-Range: bytes */%llu\r\n",
                 static_cast<unsigned long long>(t.qwSize));
        std::string text = "416 Range Not Satisfiable\n";
        bool bSent = SendAll(c.fd, AnswerHeader(416, text.size(), "text/plain", false, contentRange) + text);
        NoteHttpEnded({t.client, t.name, 416, 0, t.qwSize, SecondsSince(t.start), bSent});
        return false;
    }
    t.nStatus = range == RangeAnswer::kPart ? 206 : 200;
    std::string extra = "Accept-Ranges: bytes\r\n";
    if (range == RangeAnswer::kPart) {
        snprintf(contentRange, sizeof contentRange, "Content-Range: bytes %llu-%llu/%llu\r\n",
                 static_cast<unsigned long long>(qwFirst), static_cast<unsigned long long>(qwFirst + t.qwBody - 1),
                 static_cast<unsigned long long>(t.qwSize));
        extra += contentRange;
    }
    std::string header = AnswerHeader(t.nStatus, t.qwBody, "application/octet-stream", request.bKeepAlive, extra);
    if (t.method == "HEAD") t.qwBody = 0;
    t.qwAckedAtStart = AckedBytes(c.fd) + header.size();
    bool bComplete = SendAll(c.fd, header, t.qwBody ? MSG_MORE : 0);
    if (bComplete && t.qwBody > 0) {
        {
            std::lock_guard<std::mutex> lock(m_SendingLock);
            m_Sending[&c] = &t;
        }
        NoteHttpSending({t.client, t.name, t.qwSize, 0, SecondsSince(t.start)});
        bComplete = m_Sender->Send(c.fd, fd, qwFirst, t.qwBody, http_limits::kIdleSeconds) == t.qwBody;
        std::lock_guard<std::mutex> lock(m_SendingLock);
        m_Sending.erase(&c);
    }
    uint64_t qwSent = bComplete ? t.qwBody : BodyAcked(c.fd, t.qwAckedAtStart, t.qwBody);
    LogTransfer(t.client, t.method, t.name, t.nStatus, qwSent, t.qwSize, t.start, bComplete);
    NoteHttpEnded({t.client, t.name, t.nStatus, qwSent, t.qwSize, SecondsSince(t.start), bComplete});
    return bComplete && request.bKeepAlive;
}

std::vector<HttpSending> BootHttpServer::Sending() {
    std::lock_guard<std::mutex> lock(m_SendingLock);
    std::vector<HttpSending> list;
    for (const auto &entry : m_Sending) {
        const Transfer &t = *entry.second;
        list.push_back({t.client, t.name, t.qwSize, BodyAcked(t.fd, t.qwAckedAtStart, t.qwBody), SecondsSince(t.start)});
    }
    return list;
}

// Listeners first, then every connection is shut and its thread let go
// from the sender; Stop returns once the last thread has ended.
void BootHttpServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_bStopping = true;
    }
    for (int fd : m_Listeners) shutdown(fd, SHUT_RDWR);
    for (std::thread &acceptor : m_Acceptors) acceptor.join();
    for (int fd : m_Listeners) close(fd);
    m_Acceptors.clear();
    m_Listeners.clear();
    std::unique_lock<std::mutex> lock(m_Lock);
    for (Connection *c : m_Open) shutdown(c->fd, SHUT_RDWR);
    lock.unlock();
    m_Sender->Stop();
    lock.lock();
    m_Quiet.wait(lock, [this] { return m_nConnections == 0; });
}
