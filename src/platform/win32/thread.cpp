#include <windows.h>

#include "platform/platform.h"

namespace platform {

namespace {
struct StartArgs {
    ThreadProc proc;
    void *arg;
};

DWORD WINAPI ThreadMain(LPVOID raw) {
    StartArgs args = *static_cast<StartArgs *>(raw);
    delete static_cast<StartArgs *>(raw);
    return args.proc(args.arg);
}
}  // namespace

static_assert(kWaitTimedOut == -static_cast<int>(WAIT_TIMEOUT), "the timed-out result is -WAIT_TIMEOUT");

static int Failure() { return -static_cast<int>(GetLastError()); }

int ProcessorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors < 1 ? 1 : static_cast<int>(info.dwNumberOfProcessors);
}

int ThreadStart(ThreadProc proc, void *arg, ThreadHandle *thread) {
    StartArgs *args = new StartArgs{proc, arg};
    *thread = CreateThread(nullptr, 0, ThreadMain, args, 0, nullptr);
    if (*thread) return 0;
    int error = Failure();
    delete args;
    SetLastError(static_cast<DWORD>(-error));  // kept for the caller's failure line
    return error;
}

int ThreadJoin(ThreadHandle thread, int timeoutMs) {
    switch (WaitForSingleObject(thread, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs))) {
    case WAIT_OBJECT_0: return 0;
    case WAIT_TIMEOUT: return kWaitTimedOut;
    default: return Failure();
    }
}

int ThreadTerminate(ThreadHandle thread) { return TerminateThread(thread, static_cast<DWORD>(-1)) ? 0 : Failure(); }

void ThreadClose(ThreadHandle thread) {
    if (thread) CloseHandle(thread);
}

}  // namespace platform
