#include "platform/platform.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <condition_variable>
#include <chrono>
#include <mutex>

namespace platform {

namespace {
// Shared by the thread and its handle; whichever lets go last frees it, so
// a handle may be closed while its thread still runs.
struct PosixThread {
    ThreadProc proc;
    void *arg;
    pthread_t id;
    std::mutex lock;
    std::condition_variable ended;
    bool bEnded = false;
    bool bJoined = false;
    std::atomic<int> nRefs{2};
};

void Release(PosixThread *thread) {
    if (thread->nRefs.fetch_sub(1) == 1) delete thread;
}

// Each worker gets its own alternate signal stack, so the crash report can
// be written even when the worker overflows its stack.
constexpr size_t kAltStackSize = 64 * 1024;

void *ThreadMain(void *raw) {
    PosixThread *thread = static_cast<PosixThread *>(raw);
    stack_t stack{};
    stack.ss_sp = malloc(kAltStackSize);
    stack.ss_size = kAltStackSize;
    if (stack.ss_sp) sigaltstack(&stack, nullptr);
    thread->proc(thread->arg);
    if (stack.ss_sp) {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        free(stack.ss_sp);
    }
    {
        std::lock_guard<std::mutex> guard(thread->lock);
        thread->bEnded = true;
    }
    thread->ended.notify_all();
    Release(thread);
    return nullptr;
}
}  // namespace

int ProcessorCount() {
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count < 1 ? 1 : count > 1024 ? 1024 : static_cast<int>(count);
}

int ThreadStart(ThreadProc proc, void *arg, ThreadHandle *handle) {
    *handle = nullptr;
    PosixThread *thread = new PosixThread;
    thread->proc = proc;
    thread->arg = arg;
    if (int error = pthread_create(&thread->id, nullptr, ThreadMain, thread)) {
        delete thread;
        errno = error;  // as CreateThread leaves its last error, for the caller's failure line
        return -error;
    }
    *handle = thread;
    return 0;
}

int ThreadJoin(ThreadHandle handle, int timeoutMs) {
    PosixThread *thread = static_cast<PosixThread *>(handle);
    std::unique_lock<std::mutex> guard(thread->lock);
    auto done = [thread] { return thread->bEnded; };
    if (timeoutMs < 0)
        thread->ended.wait(guard, done);
    else if (!thread->ended.wait_for(guard, std::chrono::milliseconds(timeoutMs), done))
        return kWaitTimedOut;
    if (!thread->bJoined) {
        pthread_join(thread->id, nullptr);
        thread->bJoined = true;
    }
    return 0;
}

// POSIX threads cannot be ended from outside without tearing the process.
int ThreadTerminate(ThreadHandle) { return -ENOSYS; }

void ThreadClose(ThreadHandle handle) {
    if (!handle) return;
    PosixThread *thread = static_cast<PosixThread *>(handle);
    {
        std::lock_guard<std::mutex> guard(thread->lock);
        if (!thread->bJoined) pthread_detach(thread->id);
        thread->bJoined = true;
    }
    Release(thread);
}

}  // namespace platform
