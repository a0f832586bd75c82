// Test-side UDP sockets, optionally in the client namespace of a veth pair.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

// A UDP socket bound to addr:port ("0.0.0.0" for any). With inClientNs it is
// created in the namespace named by TAVREL_CLIENT_NETNS.
class TestSocket {
public:
    TestSocket(const char *addr, uint16_t port, bool inClientNs = false, bool broadcast = false);
    ~TestSocket();
    int Fd() const { return m_Fd; }
    bool SendTo(const char *addr, uint16_t port, const void *data, size_t len);
    // Waits up to timeoutMs; returns the datagram, empty with ok=false on timeout.
    std::vector<unsigned char> Receive(int timeoutMs, bool *ok, sockaddr_in *from = nullptr);

private:
    int m_Fd = -1;
};

// How many datagrams from addr arrive within the time.
int DatagramsFrom(TestSocket &socket, const char *addr, int timeoutMs);

// True when another socket could not take addr:port (it is held); addr of either family.
bool UdpPortHeld(const char *addr, uint16_t port);

// Bytes appended to a file since the mark was taken.
class FileTail {
public:
    explicit FileTail(std::string path);
    std::string Read() const;

private:
    std::string m_Path;
    long m_Offset;
};

// "murboot_YYYY_MM_DD.log" for today.
std::string TodaysLogName();
// Today's log file of a host executable living in <base>/<folder>/exe.
std::string TodaysLogPath();
