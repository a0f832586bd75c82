// The boot folder over HTTP, read-only: the large files after the loader
// (kernel, initrd, images) travel far faster than over lock-step TFTP.
// GET and HEAD, Content-Length, Range; names follow the TFTP rules, and a
// file whose real location lies outside the folder is refused.
#pragma once

#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

class BootHttpServer {
public:
    BootHttpServer();
    ~BootHttpServer();
    // Binds ADDRESS:PORT and serves ROOT from threads of its own; false with
    // the reason when the port cannot be bound.
    bool Start(const std::string &root, const std::string &address, int nPort, std::string *error);
    void Stop();

private:
    std::unique_ptr<httplib::Server> m_Server;
    std::thread m_Listener;
    std::string m_Root;
};

// The path of the file under ROOT that NAME (the request path without its
// leading "/") stands for; empty when refused, with *lpWhy saying why.
std::string ResolveServedFile(const std::string &root, const std::string &name, const char **lpWhy);

// Text from the network, with every byte outside printable ASCII written as \xNN.
std::string EscapedText(const std::string &text);
