// POSIX crash reports: handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and
// SIGTRAP on an alternate stack (so a stack overflow is reported too), each
// installed only where the signal had its default disposition at load: a
// host whose runtime handles a signal itself (JVM, .NET, Go) keeps it, as a
// Windows filter is reached only when nothing else handled the exception.
// While a report is written only async-signal-safe calls are made: lines
// are formatted by hand into a stack buffer and written with write(), and
// modules are found by reading /proc/self/maps with open() and read().
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "crash/crash_report.h"
#include "platform/platform.h"

namespace {

const int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];
constexpr size_t kAltStackSize = 64 * 1024;
constexpr int kMaxFrames = 64;

struct CrashState {
    struct sigaction previous[kSignalCount];
    bool ours[kSignalCount];  // installed here, so put back at unload
    stack_t previousStack;
    void *altStack;
    char reportPath[4096];
    char exePath[4096];
    char exeFolder[4096];
    long utcOffset;   // seconds east of UTC, taken at load
    int probe[2];     // pipe used to test whether memory can be read
    bool installed;
};
CrashState g_Crash;

// ---- formatting without the C library -------------------------------------

class Line {
public:
    explicit Line(int fd) : m_fd(fd) {}
    Line &Text(const char *text) {
        while (*text && m_len < sizeof m_buf) m_buf[m_len++] = *text++;
        return *this;
    }
    Line &Hex(uint64_t value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) Char("0123456789ABCDEF"[(value >> shift) & 0xf]);
        return *this;
    }
    Line &Dec(uint64_t value, int width) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value);
        for (int i = n; i < width; ++i) Char('0');
        while (n) Char(digits[--n]);
        return *this;
    }
    void Write() {
        ssize_t ignored = write(m_fd, m_buf, m_len);
        (void)ignored;
        m_len = 0;
    }

private:
    void Char(char c) {
        if (m_len < sizeof m_buf) m_buf[m_len++] = c;
    }
    int m_fd;
    char m_buf[2048];
    size_t m_len = 0;
};

// Civil date of a day count since 1970-01-01 (Howard Hinnant's algorithm).
void CivilDate(long days, long *year, unsigned *month, unsigned *day) {
    days += 719468;
    long era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned doe = static_cast<unsigned>(days - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<long>(yoe) + era * 400 + (*month <= 2);
}

// ---- what faulted, and where ------------------------------------------------

unsigned ExceptionCode(int sig, const siginfo_t *info, const ucontext_t *context) {
    switch (sig) {
        case SIGSEGV: {
#if defined(__x86_64__)
            uintptr_t sp = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RSP]);
            uintptr_t addr = reinterpret_cast<uintptr_t>(info->si_addr);
            if ((addr > sp ? addr - sp : sp - addr) <= 65536) return 0xC00000FD;
#else
            (void)context;
#endif
            return 0xC0000005;
        }
        case SIGFPE:
            switch (info->si_code) {
                case FPE_INTDIV: return 0xC0000094;
                case FPE_INTOVF: return 0xC0000095;
                case FPE_FLTDIV: return 0xC000008E;
                case FPE_FLTOVF: return 0xC0000091;
                case FPE_FLTUND: return 0xC0000093;
                case FPE_FLTRES: return 0xC000008F;
                default: return 0xC0000090;
            }
        case SIGILL: return info->si_code == ILL_PRVOPC ? 0xC0000096 : 0xC000001D;
        case SIGTRAP: return 0x80000003;
        case SIGBUS: return 0x80000002;
        default: return 0;
    }
}

// The mapping of a module that holds an address: its number among the
// module's mappings (1 for the first) stands for the section.
struct Location {
    uintptr_t address;
    unsigned section;
    uintptr_t offset;
    char module[1024];
};

const char *ReadHex(const char *text, uintptr_t *value) {
    *value = 0;
    for (;; ++text) {
        char c = *text;
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return text;
        *value = *value * 16 + static_cast<uintptr_t>(digit);
    }
}

// One line of /proc/self/maps: "start-end perms offset dev inode   path".
// True when it holds the address (the location is then filled).
bool LocateIn(const char *line, Location *where, char *lastPath, unsigned *index) {
    uintptr_t start = 0, end = 0;
    const char *at = ReadHex(line, &start);
    if (*at != '-') return false;
    at = ReadHex(at + 1, &end);
    for (int field = 0; field < 4; ++field) {
        while (*at == ' ') ++at;
        while (*at && *at != ' ') ++at;
    }
    while (*at == ' ') ++at;
    *index = strcmp(at, lastPath) == 0 ? *index + 1 : 1;
    size_t len = strlen(at);
    if (len >= sizeof where->module) len = sizeof where->module - 1;
    memcpy(lastPath, at, len);
    lastPath[len] = '\0';
    if (where->address < start || where->address >= end || *at != '/') return false;
    where->section = *index;
    where->offset = where->address - start;
    memcpy(where->module, lastPath, len + 1);
    return true;
}

void Locate(uintptr_t address, Location *where) {
    where->address = address;
    where->section = 0;
    where->offset = 0;
    where->module[0] = '\0';
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char chunk[512], line[1200], lastPath[sizeof where->module] = "";
    size_t len = 0;
    unsigned index = 0;
    bool found = false;
    ssize_t got;
    while (!found && (got = read(fd, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < got && !found; ++i) {
            if (chunk[i] != '\n') {
                if (len < sizeof line - 1) line[len++] = chunk[i];
                continue;
            }
            line[len] = '\0';
            len = 0;
            found = LocateIn(line, where, lastPath, &index);
        }
    }
    close(fd);
}

bool Readable(uintptr_t address, size_t size) {
    if (write(g_Crash.probe[1], reinterpret_cast<const void *>(address), size) != static_cast<ssize_t>(size))
        return false;
    char drain[32];
    ssize_t ignored = read(g_Crash.probe[0], drain, size);
    (void)ignored;
    return true;
}

// ---- the report ----------------------------------------------------------------

void WriteHeader(int fd, unsigned code, uintptr_t faultAddress) {
    Line line(fd);
    long now = static_cast<long>(time(nullptr)) + g_Crash.utcOffset;
    long days = now / 86400, secs = now % 86400, year;
    unsigned month, day;
    CivilDate(days, &year, &month, &day);
    line.Text("// ").Dec(static_cast<uint64_t>(year), 4).Text("-").Dec(month, 2).Text("-").Dec(day, 2).Text(" ");
    line.Dec(static_cast<uint64_t>(secs / 3600), 2).Text(":").Dec(static_cast<uint64_t>(secs / 60 % 60), 2).Text(":");
    line.Dec(static_cast<uint64_t>(secs % 60), 2).Text(" =====================================================//\r\r\n");
    line.Write();
    const char *name = ExceptionName(code);
    line.Text("Exception code: ").Hex(code, 8).Text(" ").Text(name ? name : "").Text("\r\n\r\n").Write();
    Location where;
    Locate(faultAddress, &where);
    line.Text("Fault address:  ").Hex(faultAddress, 16).Text(" ").Hex(where.section, 2).Text(":");
    line.Hex(where.offset, 16).Text(" ").Text(where.module).Text("\r\n").Write();
}

void WriteRegisters(int fd, const ucontext_t *context) {
    Line line(fd);
    line.Text("\r\nRegisters:\r\n").Write();
#if defined(__x86_64__)
    const greg_t *r = context->uc_mcontext.gregs;
    const struct {
        const char *name;
        int reg;
    } general[] = {{"RAX:", REG_RAX}, {"RBX:", REG_RBX}, {"RCX:", REG_RCX},
                   {"RDX:", REG_RDX}, {"RSI:", REG_RSI}, {"RDI:", REG_RDI}};
    for (const auto &g : general) line.Text(g.name).Hex(static_cast<uint64_t>(r[g.reg]), 16).Text("\r\n").Write();
    uint64_t segments = static_cast<uint64_t>(r[REG_CSGSFS]);
    line.Text("CS:RIP:").Hex(segments & 0xffff, 4).Text(":").Hex(static_cast<uint64_t>(r[REG_RIP]), 16).Text("\r\n").Write();
    line.Text("SS:RSP:").Hex(0, 4).Text(":").Hex(static_cast<uint64_t>(r[REG_RSP]), 16);
    line.Text("  RBP:").Hex(static_cast<uint64_t>(r[REG_RBP]), 16).Text("\r\n").Write();
    line.Text("DS:").Hex(0, 4).Text("  ES:").Hex(0, 4).Text("  FS:").Hex((segments >> 32) & 0xffff, 4);
    line.Text("  GS:").Hex((segments >> 16) & 0xffff, 4).Text("\r\n").Write();
    line.Text("Flags:").Hex(static_cast<uint64_t>(r[REG_EFL]) & 0xffffffff, 8).Text("\r\n").Write();
#else
    (void)context;
#endif
}

void WriteFrame(Line &line, uintptr_t pc, uintptr_t fp) {
    Location where;
    Locate(pc, &where);
    line.Hex(pc, 16).Text("  ").Hex(fp, 16).Text("  ").Hex(where.section, 4).Text(":").Hex(where.offset, 16);
    line.Text(" ").Text(where.module).Text("\r\n").Write();
}

void WriteCallStack(int fd, const ucontext_t *context) {
    Line line(fd);
    line.Text("PDB Search Path:").Text(g_Crash.exeFolder).Text("\r\n").Write();
    line.Text("\r\nCall stack:\r\n").Text("Address   Frame     Logical addr  Module\r\n").Write();
#if defined(__x86_64__)
    uintptr_t pc = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
    uintptr_t fp = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RBP]);
    for (int frame = 0; frame < kMaxFrames; ++frame) {
        WriteFrame(line, pc, fp);
        if (!Readable(fp, 16)) break;
        const uintptr_t *words = reinterpret_cast<const uintptr_t *>(fp);
        uintptr_t next = words[0];
        pc = words[1];
        // The chain must climb the stack, aligned, through readable memory.
        if (next % 8 != 0 || next <= fp || !Readable(next, 16)) break;
        fp = next;
    }
#else
    (void)context;
#endif
    line.Text("\r\n").Write();
}

// The default disposition ends the process by the signal, so the exit
// status names it (and a core is dumped where that is enabled).
void EndBySignal(int sig) {
    signal(sig, SIG_DFL);
    raise(sig);
}

void ReportFilter(int sig, siginfo_t *info, void *raw) {
    const ucontext_t *context = static_cast<const ucontext_t *>(raw);
    int fd = open(g_Crash.reportPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        EndBySignal(sig);
        return;
    }
    // The faulting instruction, as a Windows exception address is.
    uintptr_t faultAddress = reinterpret_cast<uintptr_t>(info->si_addr);
#if defined(__x86_64__)
    faultAddress = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
#endif
    WriteHeader(fd, ExceptionCode(sig, info, context), faultAddress);
    WriteRegisters(fd, context);
    WriteCallStack(fd, context);
    close(fd);
    EndBySignal(sig);
}

}  // namespace

ExceptionReporter::ExceptionReporter() {
    char *exe = g_Crash.exePath;
    if (platform::GetHostExePath(exe, sizeof g_Crash.exePath) < 0) return;
    if (!MakeReportFileName(exe, g_Crash.reportPath, sizeof g_Crash.reportPath)) return;
    memcpy(g_Crash.exeFolder, exe, strlen(exe) + 1);
    if (char *slash = strrchr(g_Crash.exeFolder, '/')) *slash = '\0';
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    g_Crash.utcOffset = local.tm_gmtoff;
    if (pipe2(g_Crash.probe, O_CLOEXEC | O_NONBLOCK) != 0) return;

    g_Crash.altStack = malloc(kAltStackSize);
    stack_t stack{};
    stack.ss_sp = g_Crash.altStack;
    stack.ss_size = kAltStackSize;
    sigaltstack(&stack, &g_Crash.previousStack);
    struct sigaction action {};
    action.sa_sigaction = ReportFilter;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) {
        sigaction(kSignals[i], nullptr, &g_Crash.previous[i]);
        bool bDefault = !(g_Crash.previous[i].sa_flags & SA_SIGINFO) && g_Crash.previous[i].sa_handler == SIG_DFL;
        g_Crash.ours[i] = bDefault && sigaction(kSignals[i], &action, nullptr) == 0;
    }
    g_Crash.installed = true;
}

ExceptionReporter::~ExceptionReporter() {
    if (!g_Crash.installed) return;
    for (int i = 0; i < kSignalCount; ++i)
        if (g_Crash.ours[i]) sigaction(kSignals[i], &g_Crash.previous[i], nullptr);
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == g_Crash.altStack) {
        if ((g_Crash.previousStack.ss_flags & SS_DISABLE) || !g_Crash.previousStack.ss_sp) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        } else {
            sigaltstack(&g_Crash.previousStack, nullptr);
        }
        free(g_Crash.altStack);
    }
    close(g_Crash.probe[0]);
    close(g_Crash.probe[1]);
    g_Crash.installed = false;
}
