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

ThreadHandle ThreadStart(ThreadProc proc, void *arg) {
    StartArgs *args = new StartArgs{proc, arg};
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, args, 0, nullptr);
    if (!thread) delete args;
    return thread;
}

bool ThreadJoin(ThreadHandle thread, int timeoutMs) {
    return WaitForSingleObject(thread, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

bool ThreadTerminate(ThreadHandle thread) { return TerminateThread(thread, static_cast<DWORD>(-1)) != 0; }

void ThreadClose(ThreadHandle thread) {
    if (thread) CloseHandle(thread);
}

}  // namespace platform
