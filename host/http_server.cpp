#include "host/http_server.h"

#include <chrono>
#include <cstdio>
#include <httplib.h>
#include <iostream>
#include <mutex>

#include "host/http_counters.h"
#include "tftp/boot_path.h"

namespace {

constexpr uint32_t kChunk = 64 * 1024;
constexpr size_t kWorkers = 32;  // connections served at once; more wait their turn
std::mutex g_LogLock;            // one line at a time from the server's threads

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
    char line[768];
    snprintf(line, sizeof line, "%s %s /%s %d, %llu of %llu bytes in %.3f s (%.2f MB/s)%s", t.client.c_str(),
             t.method.c_str(), PrintableText(t.name.c_str()).Text(), nStatus,
             static_cast<unsigned long long>(t.qwSent), static_cast<unsigned long long>(t.qwSize), seconds,
             seconds > 0 ? t.qwSent / seconds / 1e6 : 0.0, bComplete || t.method == "HEAD" ? "" : ", cut short");
    LogLine(line);
    NoteHttpEnded({t.client, t.name, nStatus, t.qwSent, t.qwSize, seconds, bComplete || t.method == "HEAD"});
}

void Refuse(const httplib::Request &request, httplib::Response &response, int nStatus, const char *lpWhy) {
    response.status = nStatus;
    LogLine(request.remote_addr + " " + request.method + " /" + PrintableText(request.path.c_str() + 1).Text() + " " +
            std::to_string(nStatus) + ", " + lpWhy);
    NoteHttpEnded({request.remote_addr, request.path.substr(1), nStatus, 0, 0, 0, false});
}

void Serve(const std::string &root, const httplib::Request &request, httplib::Response &response) {
    NoteHttpStarted();
    std::string name = request.path.substr(1);
    platform::FileHandle file = platform::kInvalidFile;
    const char *lpWhy = nullptr;
    int nStatus = OpenServedFile(root, name, &file, &lpWhy);
    if (nStatus != 200) return Refuse(request, response, nStatus, lpWhy);
    auto transfer = std::make_shared<Transfer>();
    transfer->client = request.remote_addr;
    transfer->method = request.method;
    transfer->name = name;
    platform::FileGetSize(file, &transfer->qwSize);
    if (transfer->qwSize == 0) {
        platform::FileClose(file);
        response.set_content("", "application/octet-stream");
        return LogTransfer(*transfer, 200, true);
    }
    nStatus = request.ranges.empty() ? 200 : 206;
    response.set_content_provider(
        static_cast<size_t>(transfer->qwSize), "application/octet-stream",
        [file, transfer](size_t offset, size_t length, httplib::DataSink &sink) {
            char buffer[kChunk];
            uint32_t got = 0;
            uint32_t want = length < kChunk ? static_cast<uint32_t>(length) : kChunk;
            // A file cut short under us ends the transfer rather than sending made-up bytes.
            if (platform::FileReadAt(file, offset, buffer, want, &got) != 0 || got == 0 || !sink.write(buffer, got))
                return false;
            transfer->qwSent += got;
            return true;
        },
        [file, transfer, nStatus](bool bSuccess) {
            platform::FileClose(file);
            LogTransfer(*transfer, nStatus, bSuccess);
        });
}

}  // namespace

int OpenServedFile(const std::string &root, const std::string &name, platform::FileHandle *lpFile,
                   const char **lpWhy) {
    *lpWhy = name.find('\0') != std::string::npos ? "zero byte in the name" : RefuseBootFileName(name.c_str());
    char path[platform::kMaxPath];
    if (!*lpWhy && !MakeBootFilePath(root.c_str(), name.c_str(), path, sizeof path)) *lpWhy = "path too long";
    if (*lpWhy) return 403;
    if (platform::FileOpenRead(path, lpFile) != 0) {  // folders too: only files are served
        *lpWhy = "no such file";
        return 404;
    }
    char real[kRealPathSize];
    bool bInside = false;
    if (LocateBootFile(root.c_str(), *lpFile, real, sizeof real, &bInside) == 0 && bInside) return 200;
    platform::FileClose(*lpFile);
    *lpFile = platform::kInvalidFile;
    *lpWhy = "outside the boot folder";
    return 403;
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
