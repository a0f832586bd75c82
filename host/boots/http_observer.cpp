#include "host/boots/http_observer.h"

#include <atomic>

namespace {
std::atomic<HttpObserver *> g_lpObserver{nullptr};
}

void SetHttpObserver(HttpObserver *lpObserver) { g_lpObserver = lpObserver; }

void NoteHttpStarted() {
    if (HttpObserver *observer = g_lpObserver.load()) observer->HttpStarted();
}

void NoteHttpSending(const HttpSending &sending) {
    if (HttpObserver *observer = g_lpObserver.load()) observer->HttpSendingStarted(sending);
}

void NoteHttpEnded(const HttpRequestEnd &end) {
    if (HttpObserver *observer = g_lpObserver.load()) observer->HttpEnded(end);
}
