// The boot folder over HTTP, read-only: the large files after the loader
// (kernel, initrd, images) travel far faster than over lock-step TFTP.
// GET and HEAD, Content-Length, Range; names follow the TFTP rules, and a
// file whose real location lies outside the folder is refused.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform/platform.h"

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

// Opens the file under ROOT that NAME (the request path without its leading
// "/") stands for, by the TFTP rules: 200 with the file open, or 403 or 404
// with *lpWhy saying why.
int OpenServedFile(const std::string &root, const std::string &name, platform::FileHandle *lpFile,
                   const char **lpWhy);
