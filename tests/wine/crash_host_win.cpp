// Loads Tavrel.dll and crashes, so the test can read the report written
// beside this executable; "filters" checks that unloading the DLL puts the
// previous unhandled-exception filter back.
#include <windows.h>

#include <cstdio>
#include <cstring>

static LONG WINAPI OwnFilter(EXCEPTION_POINTERS *) { return EXCEPTION_CONTINUE_SEARCH; }

__attribute__((noinline)) static void WriteNull() { *static_cast<volatile int *>(nullptr) = 1; }

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    if (strcmp(argv[2], "filters") == 0) {
        SetUnhandledExceptionFilter(OwnFilter);
        HMODULE library = LoadLibraryA(argv[1]);
        if (!library) return 3;
        LPTOP_LEVEL_EXCEPTION_FILTER loaded = SetUnhandledExceptionFilter(nullptr);
        SetUnhandledExceptionFilter(loaded);
        FreeLibrary(library);
        LPTOP_LEVEL_EXCEPTION_FILTER after = SetUnhandledExceptionFilter(nullptr);
        printf("replaced=%d restored=%d\n", loaded != OwnFilter, after == OwnFilter);
        return loaded != OwnFilter && after == OwnFilter ? 0 : 1;
    }
    if (!LoadLibraryA(argv[1])) return 3;
    WriteNull();
    return 0;
}
