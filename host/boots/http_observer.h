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

class HttpObserver {
public:
    virtual void HttpStarted() = 0;
    virtual void HttpEnded(const HttpRequestEnd &end) = 0;

protected:
    ~HttpObserver() = default;
};

void SetHttpObserver(HttpObserver *lpObserver);
void NoteHttpStarted();
void NoteHttpEnded(const HttpRequestEnd &end);
