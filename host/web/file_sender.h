// File bodies on their way to HTTP clients, sent from a few event threads.
//
// A payload connection has a thread of its own for its requests, but with
// a hundred kernels going out at once a thread woken for each of its
// socket's free spaces costs half as much CPU again per MB as a thread
// that sends on every socket ready at its wake (measured beside nginx, which
// sends so). So a connection's thread hands its file body here and sleeps
// until the body is out, cut short, or the sender stops.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

struct SendLoop;
struct Body;

class FileSender {
public:
    // nThreads event threads (at least one).
    explicit FileSender(unsigned nThreads);
    ~FileSender();
    FileSender(const FileSender &) = delete;
    FileSender &operator=(const FileSender &) = delete;

    // Sends qwCount bytes of FILE from qwOffset on the connected SOCKET and
    // returns the bytes the socket took: fewer when the client took none for
    // nIdleSeconds, the connection failed, or the sender stopped. Waits
    // meanwhile; the calling thread keeps both descriptors.
    uint64_t Send(int socket, int file, uint64_t qwOffset, uint64_t qwCount, unsigned nIdleSeconds);
    // Ends every body under way, as cut short, and every later one at once.
    void Stop();

private:
    static void SendAlone(Body &body);

    std::vector<std::unique_ptr<SendLoop>> m_Loops;
    std::vector<std::thread> m_Threads;
    std::atomic<unsigned> m_nNext{0};
    std::atomic<unsigned> m_nBodies{0};  // under way, on any thread
    std::atomic<bool> m_bStopped{false};
};
