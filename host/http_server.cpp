#include "host/http_server.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <httplib.h>
#include <iostream>
#include <mutex>

#include "tftp/boot_path.h"

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kWorkers = 32;  // connections served at once; more wait their turn
std::mutex g_LogLock;  // one line at a time from the server's threads

// The folder itself, without links, ending in "/".
std::string RealFolder(const std::string &root) {
    char real[PATH_MAX];
    if (!realpath(root.c_str(), real)) return std::string();
    std::string folder = real;
    return folder.back() == '/' ? folder : folder + "/";
}

struct Transfer {
    std::string client, method, name;
    uint64_t qwSize = 0, qwSent = 0;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

void LogLine(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_LogLock);
    std::cout << "http: " << line << std::endl;
}

void LogTransfer(const Transfer &t, int nStatus, bool bComplete) {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t.start).count();
    char line[512];
    snprintf(line, sizeof line, "%s %s /%s %d, %llu of %llu bytes in %.3f s (%.2f MB/s)%s", t.client.c_str(),
             t.method.c_str(), EscapedText(t.name).c_str(), nStatus, static_cast<unsigned long long>(t.qwSent),
             static_cast<unsigned long long>(t.qwSize), seconds, seconds > 0 ? t.qwSent / seconds / 1e6 : 0.0,
             bComplete || t.method == "HEAD" ? "" : ", cut short");
    LogLine(line);
}

void Serve(const std::string &root, const httplib::Request &request, httplib::Response &response) {
    std::string name = request.path.substr(1);
    const char *lpWhy = nullptr;
    std::string path = ResolveServedFile(root, name, &lpWhy);
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0) close(fd);
        response.status = lpWhy ? 403 : 404;
        LogLine(request.remote_addr + " " + request.method + " /" + EscapedText(name) + " " +
                std::to_string(response.status) + ", " + (lpWhy ? lpWhy : "no such file"));
        return;
    }
    auto transfer = std::make_shared<Transfer>();
    transfer->client = request.remote_addr;
    transfer->method = request.method;
    transfer->name = name;
    transfer->qwSize = static_cast<uint64_t>(info.st_size);
    if (info.st_size == 0) {
        close(fd);
        response.set_content("", "application/octet-stream");
        LogTransfer(*transfer, 200, true);
        return;
    }
    int nStatus = request.ranges.empty() ? 200 : 206;
    response.set_content_provider(
        static_cast<size_t>(info.st_size), "application/octet-stream",
        [fd, transfer](size_t offset, size_t length, httplib::DataSink &sink) {
            char buffer[kChunk];
            ssize_t got = pread(fd, buffer, length < kChunk ? length : kChunk, static_cast<off_t>(offset));
            // A file cut short under us ends the transfer rather than sending made-up bytes.
            if (got <= 0 || !sink.write(buffer, static_cast<size_t>(got))) return false;
            transfer->qwSent += static_cast<uint64_t>(got);
            return true;
        },
        [fd, transfer, nStatus](bool bSuccess) {
            close(fd);
            LogTransfer(*transfer, nStatus, bSuccess);
        });
}

}  // namespace

std::string EscapedText(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string ResolveServedFile(const std::string &root, const std::string &name, const char **lpWhy) {
    *lpWhy = name.find('\0') != std::string::npos ? "zero byte in the name" : RefuseBootFileName(name.c_str());
    if (*lpWhy) return std::string();
    char path[PATH_MAX];
    if (!MakeBootFilePath(root.c_str(), name.c_str(), path, sizeof path)) {
        *lpWhy = "path too long";
        return std::string();
    }
    char real[PATH_MAX];
    if (!realpath(path, real)) return std::string();  // missing: not refused, just absent
    std::string folder = RealFolder(root);
    if (folder.empty() || std::string(real).compare(0, folder.size(), folder) != 0) {
        *lpWhy = "outside the boot folder";
        return std::string();
    }
    return real;
}

BootHttpServer::BootHttpServer() = default;

BootHttpServer::~BootHttpServer() { Stop(); }

bool BootHttpServer::Start(const std::string &root, const std::string &address, int nPort, std::string *error) {
    m_Root = root;
    m_Server = std::make_unique<httplib::Server>();
    m_Server->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    m_Server->Get("/.*", [this](const httplib::Request &request, httplib::Response &response) {
        Serve(m_Root, request, response);
    });
    if (!m_Server->bind_to_port(address, nPort)) {
        *error = "cannot listen on " + address + ":" + std::to_string(nPort) + " for HTTP";
        m_Server.reset();
        return false;
    }
    m_Listener = std::thread([this] { m_Server->listen_after_bind(); });
    return true;
}

void BootHttpServer::Stop() {
    if (!m_Server) return;
    m_Server->stop();
    if (m_Listener.joinable()) m_Listener.join();
    m_Server.reset();
}
