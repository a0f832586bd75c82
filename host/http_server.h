// The boot folder over HTTP, read-only: the large files after the loader
// (kernel, initrd, images) travel far faster than over lock-step TFTP.
// GET and HEAD, Content-Length, one Range; names follow the TFTP rules, a
// file whose real location lies outside the folder is refused, and only
// regular files are served.
//
// Built for a fleet powering on at once, and for a LAN with an attacker on
// it: a few event threads serve every connection (file bytes go out with
// sendfile), a connection must deliver its whole request header within
// kHeaderSeconds and in at most kHeaderBytes, and connections are capped per
// address and in total, well below the descriptor limit, so that TFTP, the
// log and the store always find descriptors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct MHD_Daemon;
struct HttpService;

namespace http_limits {
constexpr unsigned kThreads = 4;
constexpr unsigned kHeaderSeconds = 4;          // whole request header, from connect or the last answer
constexpr unsigned kHeaderBytes = 32 * 1024;    // a longer header gets 431
constexpr unsigned kIdleSeconds = 30;           // a transfer the client stopped reading
constexpr unsigned kPerAddress = 32;            // connections from one address
constexpr unsigned kMostConnections = 4096;
constexpr unsigned kBacklog = 4096;             // a storm's SYNs wait here, not in retries
constexpr unsigned kReservedDescriptors = 256;  // never taken by HTTP, beside TFTP's quarter
// Connections allowed under a descriptor limit: each holds its socket and,
// while sending, its file.
unsigned ConnectionCap(uint64_t qwDescriptorLimit);
}  // namespace http_limits

class BootHttpServer {
public:
    BootHttpServer();
    ~BootHttpServer();
    // Binds ADDRESS:PORT and serves ROOT from threads of its own; false with
    // the reason when the port cannot be bound.
    bool Start(const std::string &root, const std::string &address, int nPort, std::string *error);
    void Stop();

private:
    MHD_Daemon *m_lpDaemon = nullptr;
    std::unique_ptr<HttpService> m_Service;
};

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
