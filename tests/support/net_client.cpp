#include "support/net_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <thread>

namespace {
int OpenUdp(bool inClientNs) {
    if (!inClientNs) return socket(AF_INET, SOCK_DGRAM, 0);
    const char *path = getenv("TAVREL_CLIENT_NETNS");
    if (!path) throw std::runtime_error("TAVREL_CLIENT_NETNS not set: run under netns-run --pair");
    int fd = -1;
    // Namespaces are per thread: a short-lived thread enters the client
    // namespace and creates the socket there.
    std::thread([&] {
        int ns = open(path, O_RDONLY);
        if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0) fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (ns >= 0) close(ns);
    }).join();
    return fd;
}
}  // namespace

TestSocket::TestSocket(const char *addr, uint16_t port, bool inClientNs, bool broadcast) {
    m_Fd = OpenUdp(inClientNs);
    if (m_Fd < 0) throw std::runtime_error("socket");
    int on = 1;
    setsockopt(m_Fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (broadcast) setsockopt(m_Fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    // Limited broadcasts need an interface: the client side has no routes.
    if (inClientNs) setsockopt(m_Fd, SOL_SOCKET, SO_BINDTODEVICE, "tv1", 4);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, addr, &local.sin_addr);
    if (bind(m_Fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) throw std::runtime_error("bind");
}

TestSocket::~TestSocket() {
    if (m_Fd >= 0) close(m_Fd);
}

bool TestSocket::SendTo(const char *addr, uint16_t port, const void *data, size_t len) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, addr, &to.sin_addr);
    return sendto(m_Fd, data, len, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == static_cast<ssize_t>(len);
}

std::vector<unsigned char> TestSocket::Receive(int timeoutMs, bool *ok, sockaddr_in *from) {
    pollfd probe{m_Fd, POLLIN, 0};
    *ok = poll(&probe, 1, timeoutMs) == 1;
    if (!*ok) return {};
    std::vector<unsigned char> data(65536);
    sockaddr_in source{};
    socklen_t len = sizeof source;
    ssize_t got = recvfrom(m_Fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&source), &len);
    if (from) *from = source;
    data.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return data;
}

int DatagramsFrom(TestSocket &socket, const char *addr, int timeoutMs) {
    int count = 0;
    timespec now{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += timeoutMs / 1000;
    end.tv_nsec += (timeoutMs % 1000) * 1000000L;
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = (end.tv_sec - now.tv_sec) * 1000 + (end.tv_nsec - now.tv_nsec) / 1000000;
        if (left <= 0) return count;
        bool ok = false;
        sockaddr_in from{};
        socket.Receive(static_cast<int>(left), &ok, &from);
        if (ok && from.sin_addr.s_addr == inet_addr(addr)) ++count;
    }
}

bool UdpPortHeld(const char *addr, uint16_t port) {
    sockaddr_in local{};
    sockaddr_in6 local6{};
    local.sin_family = AF_INET;
    local6.sin6_family = AF_INET6;
    local.sin_port = local6.sin6_port = htons(port);
    bool v6 = inet_pton(AF_INET6, addr, &local6.sin6_addr) == 1;
    inet_pton(AF_INET, addr, &local.sin_addr);
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    bool held = (v6 ? bind(fd, reinterpret_cast<sockaddr *>(&local6), sizeof local6)
                    : bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local)) != 0 &&
                errno == EADDRINUSE;
    close(fd);
    return held;
}

FileTail::FileTail(std::string path) : m_Path(std::move(path)) {
    FILE *file = fopen(m_Path.c_str(), "rb");
    m_Offset = 0;
    if (file) {
        fseek(file, 0, SEEK_END);
        m_Offset = ftell(file);
        fclose(file);
    }
}

std::string FileTail::Read() const {
    FILE *file = fopen(m_Path.c_str(), "rb");
    if (!file) return std::string();
    fseek(file, m_Offset, SEEK_SET);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, n);
    fclose(file);
    return text;
}

static std::string ExeBase() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n < 0 ? 0 : n] = '\0';
    std::string base(exe);
    base = base.substr(0, base.rfind('/'));
    return base.substr(0, base.rfind('/'));
}

std::string TodaysLogName() {
    time_t now = time(nullptr);
    struct tm parts {};
    localtime_r(&now, &parts);
    char name[64];
    snprintf(name, sizeof name, "murboot_%04d_%02d_%02d.log", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday);
    return name;
}

std::string TodaysLogPath() { return ExeBase() + "/log//" + TodaysLogName(); }
