// Loads the library the way a host does and then crashes on purpose, so the
// test can read the report the library leaves beside this executable.
//   crash_host LIBRARY null|divide|recursion|trap|handlers
#include <dlfcn.h>
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

// The library's handlers are in place while it is loaded and the host's
// own come back when it is unloaded.
int CheckHandlers(const char *library) {
    struct sigaction own {}, seen {};
    own.sa_handler = OwnHandler;
    sigaction(SIGSEGV, &own, nullptr);
    void *handle = dlopen(library, RTLD_NOW);
    if (!handle) return 3;
    sigaction(SIGSEGV, nullptr, &seen);
    bool replaced = (seen.sa_flags & SA_SIGINFO) && seen.sa_sigaction != nullptr;
    dlclose(handle);
    sigaction(SIGSEGV, nullptr, &seen);
    bool restored = !(seen.sa_flags & SA_SIGINFO) && seen.sa_handler == OwnHandler;
    printf("replaced=%d restored=%d\n", replaced, restored);
    return replaced && restored ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    if (strcmp(argv[2], "handlers") == 0) return CheckHandlers(argv[1]);
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
