#include "wine/wine_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {
void SetWineEnvironment() {
    setenv("WINEPREFIX", TAVREL_WINE_PREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
}
}  // namespace

WineProcess::WineProcess(const std::vector<std::string> &args, const std::string &workDir) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    m_nPid = fork();
    if (m_nPid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        if (chdir(workDir.c_str()) != 0) _exit(126);
        SetWineEnvironment();
        std::vector<char *> argv;
        std::string wine = "/usr/lib/wine/wine64";
        argv.push_back(const_cast<char *>(wine.c_str()));
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_fdIn = in[1];
    m_fdOut = out[0];
}

WineProcess::~WineProcess() {
    if (m_nPid > 0) {
        kill(m_nPid, SIGKILL);
        Wait();
    }
}

std::string WineProcess::ReadLine(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t end = m_Pending.find('\n');
        if (end != std::string::npos) {
            std::string line = m_Pending.substr(0, end);
            m_Pending.erase(0, end + 1);
            while (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        pollfd probe{m_fdOut, POLLIN, 0};
        if (left <= 0 || poll(&probe, 1, left) != 1) return std::string();
        char buf[512];
        ssize_t got = read(m_fdOut, buf, sizeof buf);
        if (got <= 0) return std::string();
        m_Pending.append(buf, static_cast<size_t>(got));
    }
}

std::string WineProcess::ReadLineStarting(const std::string &prefix, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) return std::string();
        std::string line = ReadLine(left);
        if (line.compare(0, prefix.size(), prefix) == 0) return line;
        if (line.empty() && std::chrono::steady_clock::now() >= deadline) return line;
    }
}

void WineProcess::Send(const std::string &line) {
    std::string text = line + "\n";
    ssize_t ignored = write(m_fdIn, text.data(), text.size());
    (void)ignored;
}

int WineProcess::Wait() {
    if (m_fdIn >= 0) close(m_fdIn);
    m_fdIn = -1;
    int status = 0;
    if (m_nPid > 0 && waitpid(m_nPid, &status, 0) == m_nPid) {
        m_nPid = -1;
        if (m_fdOut >= 0) close(m_fdOut);
        m_fdOut = -1;
        WaitForWineServer();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return -1;
}

std::string WinePath(const std::string &path) {
    std::string windows = "Z:" + path;
    for (char &c : windows)
        if (c == '/') c = '\\';
    return windows;
}

void WaitForWineServer() {
    pid_t pid = fork();
    if (pid == 0) {
        SetWineEnvironment();
        execl("/usr/lib/wine/wineserver", "wineserver", "-w", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
}
