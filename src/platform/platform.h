// The operating-system layer. Service code calls only what is declared here;
// src/platform/win32 and src/platform/posix implement it, one file per concern.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/byte_order.h"

namespace platform {

#ifdef _WIN32
constexpr char kPathSep = '\\';
#else
constexpr char kPathSep = '/';
#endif
constexpr int kMaxPath = 260;

// ---- Locks ---------------------------------------------------------------

// A critical section held inside the owning object, so containers need no
// heap call to create their locks.
class TeskLock {
public:
    TeskLock();
    ~TeskLock();
    TeskLock(const TeskLock &) = delete;
    TeskLock &operator=(const TeskLock &) = delete;
    void Enter();
    void Leave();

private:
    alignas(8) unsigned char m_abStorage[64];
};

class TeskLockGuard {
public:
    explicit TeskLockGuard(TeskLock &lock) : m_Lock(lock) { m_Lock.Enter(); }
    ~TeskLockGuard() { m_Lock.Leave(); }
    TeskLockGuard(const TeskLockGuard &) = delete;
    TeskLockGuard &operator=(const TeskLockGuard &) = delete;

private:
    TeskLock &m_Lock;
};

// ---- Time ----------------------------------------------------------------

struct LocalTime {
    int nYear, nMonth, nDay, nHour, nMinute, nSecond;
};

LocalTime GetLocalTime();
// Seconds since 1970-01-01 UTC; -1 when the clock fails.
int64_t GetUnixTime();
// Tests replace the wall clock; nullptr puts the system clock back.
using LocalTimeSource = LocalTime (*)();
void SetLocalTimeSource(LocalTimeSource source);
// Milliseconds from an arbitrary start; never goes back.
uint64_t MonotonicMs();

// ---- Files ---------------------------------------------------------------

// Full path of the host executable into buf; returns its length, 0 on failure.
size_t GetHostExePath(char *buf, size_t size);
// Tests stand a temporary folder tree in for the executable's; nullptr undoes it.
void SetHostExePathOverride(const char *path);
// Creates the folder and any missing parents; an existing folder is fine.
void CreateDirectoryPath(const char *path);
// GetPrivateProfileInt semantics: def when the file, section or key is missing.
int ReadIniInt(const char *path, const char *section, const char *key, int def);
// Appends text with one write, so lines of concurrent writers never mix. On
// Windows "\n" becomes "\r\n", as a file opened in text mode writes it.
bool AppendTextToFile(const char *path, const char *data, size_t len);

using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;
// Opens an existing file read-only (shared for reading only on Windows); 0 or
// the system error.
int FileOpenRead(const char *path, FileHandle *file);
int FileGetSize(FileHandle file, uint64_t *size);
// Reads up to len bytes from offset, in one call; stopping at the end is no
// failure (got tells how much). 0 or the system error.
int FileReadAt(FileHandle file, uint64_t offset, void *buf, uint32_t len, uint32_t *got);
void FileClose(FileHandle file);
bool PathExists(const char *path);
// Case-insensitive lookup of one entry in a folder; writes its real name.
bool FindEntryNoCase(const char *dir, const char *name, char *out, size_t outSize);
// What tells two open files apart: a file reached by several names has one
// identity; a file replaced by rename gets a new one.
struct FileIdentity {
    uint64_t qwVolume;
    uint64_t qwIndex;
};
int FileIdentityOf(FileHandle file, FileIdentity *identity);
// The real location of an open file, links and junctions resolved.
int FileRealPath(FileHandle file, char *out, size_t size);
// The real location of an existing path, links and junctions resolved.
int RealPathOf(const char *path, char *out, size_t size);
// Whether a real path lies inside a real folder (letter case ignored where
// the file system ignores it).
bool PathInsideFolder(const char *path, const char *folder);
// The system's code for a file too large to serve (4 GiB or more).
extern const int kErrorFileTooLarge;
// The system's code for access refused.
extern const int kErrorAccessDenied;
// The calling thread's last system error (GetLastError or errno).
int LastError();
// The C library's text for its current error number.
const char *LastErrorText();

// ---- Folders and durable files ------------------------------------------
// These return 0 (or a count) on success, or a negative system code.

// Calls visit with the name of every entry of the folder ("." and ".." left out).
using FolderVisit = void (*)(const char *name, void *arg);
int ListFolder(const char *dir, FolderVisit visit, void *arg);
int FileRemove(const char *path);
// Opens for appending, creating the file when missing; a link planted in
// its place is not followed.
int FileOpenAppend(const char *path, FileHandle *file);
// Creates or empties a file for writing, links not followed.
int FileCreateEmpty(const char *path, FileHandle *file);
// Writes all len bytes at the file's end (append) or position; bytes written.
int FileWrite(FileHandle file, const void *data, size_t len);
// Puts what was written on the disk.
int FileSync(FileHandle file);
// Renames from over to in one step: readers see the old file or the new one.
int FileReplace(const char *from, const char *to);

// ---- Debugger output -----------------------------------------------------

void DebugOutput(const char *text);
// Tests capture debugger output; nullptr restores the platform's own channel.
using DebugSink = void (*)(const char *text);
void SetDebugSink(DebugSink sink);

// ---- UDP sockets ---------------------------------------------------------

using Socket = intptr_t;
constexpr Socket kInvalidSocket = -1;

// Same bytes as an IPv4 sockaddr_in on both platforms.
struct SockAddrV4 {
    uint16_t wFamily;
    uint16_t wPort;    // network order
    uint32_t dwAddr;   // network order
    uint8_t abZero[8];
};
static_assert(sizeof(SockAddrV4) == 16, "sockaddr_in is 16 bytes");

SockAddrV4 MakeSockAddr(uint32_t dwAddrNet, uint16_t wPortHost);

// Windows Sockets start-up and clean-up; no-ops on POSIX.
int SocketsStartup();
void SocketsCleanup();

constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
Socket UdpOpen();
int UdpEnableBroadcast(Socket sock);
// Binds to dwAddrNet:port. On POSIX a socket bound to a local address also
// receives the broadcasts arriving on that address's interface and sends
// with that address as source, as it does on Windows.
int UdpBind(Socket sock, uint32_t dwAddrNet, uint16_t wPortHost);
// Bytes sent, or -1.
int UdpSendTo(Socket sock, const void *data, int len, const SockAddrV4 &to);
// Bytes received, 0 for an empty datagram, -1 on failure, including a
// datagram longer than len.
int UdpRecvFrom(Socket sock, void *buf, int len, SockAddrV4 *from);
void SocketClose(Socket sock);
// MTU of the interface that reaches the address; 0 when it cannot be told.
int InterfaceMtuTo(uint32_t dwAddrNet);
// WSAGetLastError or errno.
int SocketLastError();

// ---- Events and waits ----------------------------------------------------

// A wait handle: either a manual-reset event or a socket's network event.
using WaitHandle = void *;

WaitHandle EventCreate();             // manual reset, not signalled
void EventSet(WaitHandle event);
void EventClose(WaitHandle event);
WaitHandle SocketEventCreate();
// Lets the socket's readable and closed notices signal the event (and makes
// the socket non-blocking).
int SocketEventSelect(Socket sock, WaitHandle event);
// Resets the event and tells whether the socket reported readable without error.
bool SocketEventTakeReadable(Socket sock, WaitHandle event);
void SocketEventClose(WaitHandle event);

constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;
constexpr int kWaitInfinite = -1;
// Index of the first signalled handle (lowest index wins), kWaitTimeout or
// kWaitFailed.
int WaitAny(const WaitHandle *handles, int count, int timeoutMs);

// ---- Threads -------------------------------------------------------------

using ThreadHandle = void *;
using ThreadProc = unsigned (*)(void *arg);

ThreadHandle ThreadStart(ThreadProc proc, void *arg);
// True when the thread has ended within the time limit.
bool ThreadJoin(ThreadHandle thread, int timeoutMs);
// Forced end where the platform has one; false where it has none.
bool ThreadTerminate(ThreadHandle thread);
// Releases the handle; a thread still running goes on detached.
void ThreadClose(ThreadHandle thread);

}  // namespace platform

// Library load and unload, called by the platform's entry point.
void TavrelOnLoad();
void TavrelOnUnload();
