// What the HTTP server tells the rest of tavrel-host about its requests:
// the metrics count them and a machine's boot record shows its downloads.
// The server calls the two functions; whoever wants the news registers an
// observer once, before the server starts.
#pragma once

#include <cstdint>
#include <string>

struct HttpRequestEnd {
    std::string client;  // dotted address
    std::string name;    // the path without its leading "/"
    int nStatus = 0;
    uint64_t qwSent = 0, qwSize = 0;
    double seconds = 0;
    bool bComplete = false;  // every byte asked for went out
};

// A file answer on its way (GET, 200 or 206), and later how far it got.
struct HttpSending {
    std::string client, name;
    uint64_t qwSize = 0;   // the file's
    uint64_t qwSent = 0;   // acknowledged by the client so far
    double seconds = 0;    // since the request came
};

class HttpObserver {
public:
    virtual void HttpStarted() = 0;
    virtual void HttpSendingStarted(const HttpSending &sending) = 0;
    virtual void HttpEnded(const HttpRequestEnd &end) = 0;

protected:
    ~HttpObserver() = default;
};

void SetHttpObserver(HttpObserver *lpObserver);
void NoteHttpStarted();
void NoteHttpSending(const HttpSending &sending);
void NoteHttpEnded(const HttpRequestEnd &end);
