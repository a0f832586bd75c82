// The boot folder over HTTP, read-only: the large files after the loader
// (kernel, initrd, images) travel far faster than over lock-step TFTP.
// GET and HEAD, Content-Length, one Range; names follow the TFTP rules, a
// file whose real location lies outside the folder is refused, and only
// regular files are served.
//
// Built for a fleet powering on at once, and for a LAN with an attacker on
// it: each connection has a thread of its own for its requests, on a small
// stack, while file bodies leave from the sender's few event threads
// (file_sender.h); a connection must deliver its whole request header
// within kHeaderSeconds (kNextHeaderSeconds after an answer) and in at most
// kHeaderBytes; and connections are capped per address and in total, well
// below the descriptor limit, so that TFTP, the log and the store always
// find descriptors.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/boots/http_observer.h"
#include "host/web/http_server.h"

class FileSender;
struct PayloadRequest;

class BootHttpServer {
public:
    BootHttpServer();
    ~BootHttpServer();
    // Serves ROOT on ADDRESS:PORT; false with the reason when the port
    // cannot be bound.
    bool Start(const std::string &root, const std::string &address, int nPort, std::string *error);
    // The same folder on an IPv6 ADDRESS too (after Start), for IPv6 clients.
    bool StartV6(const std::string &address, int nPort, std::string *error);
    void Stop();
    // The file answers on their way, with the bytes the clients acknowledged so far.
    std::vector<HttpSending> Sending();
    // Per-machine files (before Start): NAME for the client at ADDRESS, 1
    // with BODY, 0 when NAME is the folder's to serve, -1 for 404.
    using Renderer = std::function<int(const std::string &name, const std::string &address, std::string *body)>;
    void SetRenderer(Renderer renderer) { m_Renderer = std::move(renderer); }

private:
    struct Connection {
        int fd;
        std::string client;
        std::chrono::steady_clock::time_point accepted;
        BootHttpServer *lpServer;
    };
    struct Transfer;

    bool Listen(const std::string &address, int nPort, std::string *error);
    void Accept(int nListener);
    bool Admit(int fd, const std::string &client);
    static void *RunConnection(void *lpConnection);
    void Converse(Connection &c);
    bool Answer(Connection &c, const std::string &header);
    bool AnswerFile(Connection &c, const PayloadRequest &request, Transfer &t, int fd);
    void Ended(Connection &c);

    std::string m_Root;
    Renderer m_Renderer;
    http_limits::Share m_Share{};
    std::unique_ptr<FileSender> m_Sender;

    std::mutex m_Lock;  // the connections: what follows, up to m_SendingLock
    std::condition_variable m_Quiet;
    bool m_bStopping = false;
    unsigned m_nConnections = 0;
    std::unordered_map<std::string, unsigned> m_PerAddress;
    std::unordered_set<Connection *> m_Open;
    // Apart, so that the status page's reading of every transfer's socket
    // never holds up the connections' start and end.
    std::mutex m_SendingLock;
    std::unordered_map<Connection *, const Transfer *> m_Sending;

    std::vector<int> m_Listeners;
    std::vector<std::thread> m_Acceptors;
    pthread_attr_t m_ThreadAttr;
};
