// Runs a Windows program under wine64 with pipes to its standard input and
// output. Every wine process of the tests shares one prefix, made inside a
// namespace, and the wineserver is waited for when the program ends, so no
// Wine process outlives the test's network namespace.
#pragma once

#include <string>
#include <vector>

class WineProcess {
public:
    WineProcess(const std::vector<std::string> &args, const std::string &workDir);
    ~WineProcess();
    // The next line of output without its line end; empty on timeout or end.
    std::string ReadLine(int timeoutMs);
    // The next line that starts with the prefix (the DLL's log lines share
    // the host's output); empty on timeout.
    std::string ReadLineStarting(const std::string &prefix, int timeoutMs);
    void Send(const std::string &line);
    // Closes standard input and waits; the exit status (-1 when killed).
    int Wait();

private:
    int m_nPid = -1;
    int m_fdIn = -1;
    int m_fdOut = -1;
    std::string m_Pending;
};

// Windows path of a Linux path, through Wine's Z: drive.
std::string WinePath(const std::string &path);
// Waits for this prefix's wineserver to exit.
void WaitForWineServer();
