// Compiled for i686 by the test suite: the callbacks use the Windows API
// convention (callee pops), the exports the C one.
#include <type_traits>

#include "Tavrel.h"

static_assert(std::is_same<SelectPxeServerProc, int(__stdcall *)(const unsigned char *, char *)>::value,
              "SelectPxeServerProc is __stdcall");
static_assert(std::is_same<SelectMirrorServerToDBProc, int(__stdcall *)(SelectMirrorRecord *)>::value,
              "SelectMirrorServerToDBProc is __stdcall");
static_assert(std::is_same<SelectBootFileProc,
                           int(__stdcall *)(const SelectBootFileRecord *, char *)>::value,
              "SelectBootFileProc is __stdcall");
static_assert(std::is_same<decltype(&RegisterSelectBootFileCallback), void(__cdecl *)(SelectBootFileProc)>::value,
              "RegisterSelectBootFileCallback is __cdecl");
static_assert(std::is_same<BootEventProc, void(__stdcall *)(const BootEventRecord *)>::value,
              "BootEventProc is __stdcall");
static_assert(std::is_same<decltype(&RegisterBootEventCallback), void(__cdecl *)(BootEventProc)>::value,
              "RegisterBootEventCallback is __cdecl");
static_assert(std::is_same<decltype(&StartPXE), int(__cdecl *)(TeskPxeServerStruct *, TeskSubNetStruct *, int,
                                                                TeskStaticDhcpStruct *, int)>::value,
              "StartPXE is __cdecl");
static_assert(!std::is_same<int(__stdcall *)(int), int(__cdecl *)(int)>::value, "conventions differ on i686");
