// Loads the library the way a host does and then crashes on purpose, so the
// test can read the report the library leaves beside this executable.
//   crash_host LIBRARY null|divide|recursion|trap|handlers|recover
#include <dlfcn.h>
#include <setjmp.h>
#include <signal.h>

#include <cstdio>
#include <cstring>

namespace {

volatile int g_nZero = 0;

volatile bool g_bForever = true;
__attribute__((noinline)) int Recurse(int depth) {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    return g_bForever ? Recurse(depth + 1) + pad[0] : 0;
}

__attribute__((noinline)) void WriteNull() { *static_cast<volatile int *>(nullptr) = 1; }

void OwnHandler(int) {}

// The library takes a signal only where it had its default disposition,
// and gives it back at unload; the host's own handler stays untouched.
int CheckHandlers(const char *library) {
    struct sigaction own {}, seen {};
    own.sa_handler = OwnHandler;
    sigaction(SIGBUS, &own, nullptr);
    void *handle = dlopen(library, RTLD_NOW);
    if (!handle) return 3;
    sigaction(SIGSEGV, nullptr, &seen);
    bool taken = (seen.sa_flags & SA_SIGINFO) && seen.sa_sigaction != nullptr;
    sigaction(SIGBUS, nullptr, &seen);
    bool kept = !(seen.sa_flags & SA_SIGINFO) && seen.sa_handler == OwnHandler;
    dlclose(handle);
    sigaction(SIGSEGV, nullptr, &seen);
    bool restored = !(seen.sa_flags & SA_SIGINFO) && seen.sa_handler == SIG_DFL;
    printf("taken=%d kept=%d restored=%d\n", taken, kept, restored);
    return taken && kept && restored ? 0 : 1;
}

// A host whose runtime recovers from SIGSEGV itself, as a JVM does.
sigjmp_buf g_Recovery;
void Recover(int) { siglongjmp(g_Recovery, 1); }
bool FaultAndRecover() {
    if (sigsetjmp(g_Recovery, 1) != 0) return true;
    WriteNull();
    return false;
}
int RecoverAcrossLoad(const char *library) {
    struct sigaction own {};
    own.sa_handler = Recover;
    sigaction(SIGSEGV, &own, nullptr);
    if (!FaultAndRecover()) return 1;
    if (!dlopen(library, RTLD_NOW)) return 3;
    for (int i = 0; i < 3; ++i)
        if (!FaultAndRecover()) return 1;
    printf("recovered\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    if (strcmp(argv[2], "handlers") == 0) return CheckHandlers(argv[1]);
    if (strcmp(argv[2], "recover") == 0) return RecoverAcrossLoad(argv[1]);
    if (!dlopen(argv[1], RTLD_NOW)) {
        fprintf(stderr, "%s\n", dlerror());
        return 3;
    }
    if (strcmp(argv[2], "null") == 0) WriteNull();
    if (strcmp(argv[2], "divide") == 0) printf("%d\n", 10 / g_nZero);
    if (strcmp(argv[2], "recursion") == 0) printf("%d\n", Recurse(0));
    if (strcmp(argv[2], "trap") == 0) __builtin_trap();
    return 0;
}
