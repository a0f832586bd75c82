#include <windows.h>

#include "platform/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) TavrelOnLoad();
    if (reason == DLL_PROCESS_DETACH) TavrelOnUnload();
    return TRUE;
}
