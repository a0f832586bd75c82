// Windows crash reports: an unhandled-exception filter that loads the
// debug-help library only when a crash happens and appends a report beside
// the host executable.
#include <windows.h>
#include <dbghelp.h>

#include <cstring>

#include "crash/crash_report.h"
#include "platform/win32/win32_file.h"

namespace {

#if defined(_WIN64)
// 64-bit debug-help exports only the 64-bit forms of these four.
#define TESK_DBGHELP_64(name) name "64"
#else
#define TESK_DBGHELP_64(name) name
#endif

const char *const kDbgHelpNames[13] = {
    "SymCleanup",     "SymInitialize",    "SymSetOptions",
    "SymEnumSymbols", "SymSetContext",    TESK_DBGHELP_64("SymGetLineFromAddr"),
    "SymFromAddr",    TESK_DBGHELP_64("StackWalk"), TESK_DBGHELP_64("SymFunctionTableAccess"),
    TESK_DBGHELP_64("SymGetModuleBase"), "SymGetTypeInfo", "SymGetSearchPath",
    "SymSetSearchPath"};
enum { kSymGetLineFromAddr = 5, kStackWalk = 7, kSymFunctionTableAccess = 8, kSymGetModuleBase = 9,
       kSymInitialize = 1, kSymGetSearchPath = 11, kSymSetSearchPath = 12 };

#if defined(_WIN64)
using SourceLine = IMAGEHLP_LINE64;
using WalkFrame = STACKFRAME64;
#else
using SourceLine = IMAGEHLP_LINE;
using WalkFrame = STACKFRAME;
#endif

using SymInitializeProc = BOOL(WINAPI *)(HANDLE, PCSTR, BOOL);
using SymGetSearchPathProc = BOOL(WINAPI *)(HANDLE, PSTR, DWORD);
using SymSetSearchPathProc = BOOL(WINAPI *)(HANDLE, PCSTR);
using SymGetLineProc = BOOL(WINAPI *)(HANDLE, DWORD_PTR, PDWORD, SourceLine *);

using StackWalkProc = BOOL(WINAPI *)(DWORD, HANDLE, HANDLE, WalkFrame *, PVOID, PVOID, PVOID, PVOID, PVOID);

LPTOP_LEVEL_EXCEPTION_FILTER g_lpPrevious = nullptr;
char g_szReportFile[MAX_PATH];
char g_szExePath[MAX_PATH];
HANDLE g_hProcess = nullptr;
HANDLE g_hReport = INVALID_HANDLE_VALUE;
FARPROC g_lpDbgHelp[13];

template <class Proc>
Proc Entry(int index) {
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(g_lpDbgHelp[index]));
}

void WriteLine(const char *lpFormat, ...) {
    char line[2048];
    va_list args;
    va_start(args, lpFormat);
    int len = wvsprintfA(line, lpFormat, args);
    va_end(args);
    DWORD written = 0;
    if (len > 0) WriteFile(g_hReport, line, static_cast<DWORD>(len), &written, nullptr);
}

const char *CodeName(DWORD dwCode, char *buf, DWORD size) {
    if (const char *name = ExceptionName(dwCode)) return name;
    buf[0] = '\0';
    FormatMessageA(FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_HMODULE, GetModuleHandleA("NTDLL.DLL"), dwCode,
                   0, buf, size, nullptr);
    return buf;
}

// Module, 1-based section number and offset of an address.
void FindSection(DWORD_PTR address, char *module, DWORD size, DWORD *section, DWORD_PTR *offset) {
    module[0] = '\0';
    *section = 0;
    *offset = 0;
    MEMORY_BASIC_INFORMATION region;
    if (!VirtualQuery(reinterpret_cast<LPCVOID>(address), &region, sizeof region)) return;
    DWORD_PTR base = reinterpret_cast<DWORD_PTR>(region.AllocationBase);
    if (!base || !GetModuleFileNameA(reinterpret_cast<HMODULE>(base), module, size)) return;
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const IMAGE_NT_HEADERS *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER *sections = IMAGE_FIRST_SECTION(nt);
    DWORD_PTR rva = address - base;
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        DWORD start = sections[i].VirtualAddress;
        DWORD length = sections[i].Misc.VirtualSize > sections[i].SizeOfRawData ? sections[i].Misc.VirtualSize
                                                                                 : sections[i].SizeOfRawData;
        if (rva >= start && rva <= start + length) {
            *section = i + 1;
            *offset = rva - start;
            return;
        }
    }
}

#if defined(_WIN64)
#define TESK_ADDR "%016I64X"
#define TESK_PC(c) (c)->Rip
#define TESK_FP(c) (c)->Rbp
#define TESK_SP(c) (c)->Rsp
constexpr DWORD kMachine = 0x8664;
#else
#define TESK_ADDR "%08X"
#define TESK_PC(c) (c)->Eip
#define TESK_FP(c) (c)->Ebp
#define TESK_SP(c) (c)->Esp
constexpr DWORD kMachine = 0x14C;
#endif

void WriteRegisters(const CONTEXT *c) {
    WriteLine("\r\nRegisters:\r\n");
#if defined(_WIN64)
    WriteLine("RAX:%016I64X\r\nRBX:%016I64X\r\nRCX:%016I64X\r\nRDX:%016I64X\r\nRSI:%016I64X\r\nRDI:%016I64X\r\n", c->Rax,
              c->Rbx, c->Rcx, c->Rdx, c->Rsi, c->Rdi);
    WriteLine("CS:RIP:%04X:%016I64X\r\n", c->SegCs, c->Rip);
    WriteLine("SS:RSP:%04X:%016I64X  RBP:%016I64X\r\n", c->SegSs, c->Rsp, c->Rbp);
#else
    WriteLine("EAX:%08X\r\nEBX:%08X\r\nECX:%08X\r\nEDX:%08X\r\nESI:%08X\r\nEDI:%08X\r\n", c->Eax, c->Ebx, c->Ecx, c->Edx,
              c->Esi, c->Edi);
    WriteLine("CS:EIP:%04X:%08X\r\n", c->SegCs, c->Eip);
    WriteLine("SS:ESP:%04X:%08X  EBP:%08X\r\n", c->SegSs, c->Esp, c->Ebp);
#endif
    WriteLine("DS:%04X  ES:%04X  FS:%04X  GS:%04X\r\n", c->SegDs, c->SegEs, c->SegFs, c->SegGs);
    WriteLine("Flags:%08X\r\n", c->EFlags);
}

void WriteCallStack(CONTEXT *context) {
    WriteLine("\r\nCall stack:\r\n");
    WriteLine("Address   Frame     Logical addr  Module\r\n");
    WalkFrame walk;
    memset(&walk, 0, sizeof walk);
    walk.AddrPC.Offset = TESK_PC(context);
    walk.AddrFrame.Offset = TESK_FP(context);
    walk.AddrStack.Offset = TESK_SP(context);
    walk.AddrPC.Mode = walk.AddrFrame.Mode = walk.AddrStack.Mode = AddrModeFlat;
    DWORD_PTR pc = TESK_PC(context);
    DWORD_PTR *fp = reinterpret_cast<DWORD_PTR *>(TESK_FP(context));
    StackWalkProc stackWalk = Entry<StackWalkProc>(kStackWalk);
    SymGetLineProc getLine = Entry<SymGetLineProc>(kSymGetLineFromAddr);
    for (int frame = 0; frame < 64; ++frame) {
        char module[MAX_PATH];
        DWORD section;
        DWORD_PTR offset;
        FindSection(pc, module, sizeof module, &section, &offset);
        WriteLine(TESK_ADDR "  " TESK_ADDR "  %04X:" TESK_ADDR " %s\r\n", pc, reinterpret_cast<DWORD_PTR>(fp), section,
                  offset, module);
        if (stackWalk(kMachine, g_hProcess, GetCurrentThread(), &walk, context, nullptr,
                      reinterpret_cast<PVOID>(g_lpDbgHelp[kSymFunctionTableAccess]),
                      reinterpret_cast<PVOID>(g_lpDbgHelp[kSymGetModuleBase]), nullptr)) {
            SourceLine line;
            memset(&line, 0, sizeof line);
            line.SizeOfStruct = sizeof line;  // 20 bytes on 32-bit
            DWORD displacement = 0;
            if (getLine(g_hProcess, walk.AddrPC.Offset, &displacement, &line) && line.FileName)
                WriteLine("##################################SourceFile:%s:::Line:%u\r\n\r\n", line.FileName,
                          line.LineNumber);
        }
        if (IsBadReadPtr(fp, 2 * sizeof(DWORD_PTR))) break;
        pc = fp[1];
        DWORD_PTR *next = reinterpret_cast<DWORD_PTR *>(fp[0]);
        if (reinterpret_cast<DWORD_PTR>(next) % sizeof(DWORD_PTR) != 0 || next <= fp ||
            IsBadWritePtr(next, 2 * sizeof(DWORD_PTR)))
            break;
        fp = next;
    }
}

void WriteReport(EXCEPTION_POINTERS *pointers) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    WriteLine("// %04d-%02d-%02d %02d:%02d:%02d =====================================================//\r\r\n", now.wYear,
              now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    char name[512];
    WriteLine("Exception code: %08X %s\r\n\r\n", record->ExceptionCode, CodeName(record->ExceptionCode, name, sizeof name));
    char module[MAX_PATH];
    DWORD section;
    DWORD_PTR offset;
    DWORD_PTR address = reinterpret_cast<DWORD_PTR>(record->ExceptionAddress);
    FindSection(address, module, sizeof module, &section, &offset);
    WriteLine("Fault address:  " TESK_ADDR " %02X:" TESK_ADDR " %s\r\n", address, section, offset, module);
    WriteRegisters(pointers->ContextRecord);
    if (!Entry<SymInitializeProc>(kSymInitialize)(g_hProcess, nullptr, TRUE)) return;
    char current[1024] = {};
    Entry<SymGetSearchPathProc>(kSymGetSearchPath)(g_hProcess, current, sizeof current);
    char folder[MAX_PATH];
    lstrcpynA(folder, g_szExePath, sizeof folder);
    if (char *slash = strrchr(folder, '\\')) *slash = '\0';
    char search[1024 + MAX_PATH + 2];
    wsprintfA(search, "%s;%s", current, folder);
    WriteLine("PDB Search Path:%s\r\n", search);
    Entry<SymSetSearchPathProc>(kSymSetSearchPath)(g_hProcess, search);
    WriteCallStack(pointers->ContextRecord);
    WriteLine("\r\n");
}

LONG WINAPI ReportFilter(EXCEPTION_POINTERS *pointers) {
    HMODULE dbghelp = LoadLibraryA("dbghelp.dll");
    bool ready = dbghelp != nullptr;
    for (int i = 0; ready && i < 13; ++i) ready = (g_lpDbgHelp[i] = GetProcAddress(dbghelp, kDbgHelpNames[i])) != nullptr;
    if (ready) {
        g_hReport = platform::OpenNoLink(g_szReportFile, GENERIC_WRITE, 0, FILE_FLAG_WRITE_THROUGH);
        ready = g_hReport != INVALID_HANDLE_VALUE;
    }
    if (!ready) {
        if (dbghelp) FreeLibrary(dbghelp);
        return g_lpPrevious ? g_lpPrevious(pointers) : EXCEPTION_CONTINUE_SEARCH;
    }
    SetFilePointer(g_hReport, 0, nullptr, FILE_END);
    WriteReport(pointers);
    CloseHandle(g_hReport);
    FreeLibrary(dbghelp);
    // The exception code as exit status: a crashed host must not look as if
    // it ended normally.
    ExitProcess(pointers->ExceptionRecord->ExceptionCode);
}

}  // namespace

ExceptionReporter::ExceptionReporter() {
    g_lpPrevious = SetUnhandledExceptionFilter(ReportFilter);
    DWORD len = GetModuleFileNameA(nullptr, g_szExePath, sizeof g_szExePath);
    if (len == 0 || len >= sizeof g_szExePath || !MakeReportFileName(g_szExePath, g_szReportFile, sizeof g_szReportFile))
        g_szReportFile[0] = '\0';
    g_hProcess = GetCurrentProcess();
}

ExceptionReporter::~ExceptionReporter() { SetUnhandledExceptionFilter(g_lpPrevious); }
