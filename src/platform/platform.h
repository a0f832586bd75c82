// The operating-system layer. Service code calls only what is declared here;
// src/platform/win32 and src/platform/posix implement it, one file per concern.
//
// One result convention, as libuv's: a call that can fail returns 0 (or a
// count it yields, such as bytes or a length, never negative) on success and
// a negative code on failure: the negated errno on POSIX, the negated
// GetLastError or WSAGetLastError value on Windows. Handles come back through
// out-parameters. Calls that cannot fail (clock reads, closes, the lock)
// return their value or nothing.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "net/ip_address.h"
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
// Seconds since 1970-01-01 UTC.
int64_t GetUnixTime();
// Tests replace the wall clock; nullptr puts the system clock back.
using LocalTimeSource = LocalTime (*)();
void SetLocalTimeSource(LocalTimeSource source);
// Milliseconds from an arbitrary start; never goes back.
uint64_t MonotonicMs();

// ---- Files ---------------------------------------------------------------

// Full path of the host executable into buf; returns its length (above 0).
int GetHostExePath(char *buf, size_t size);
// Tests stand a temporary folder tree in for the executable's; nullptr undoes it.
void SetHostExePathOverride(const char *path);
// Creates the folder and any missing parents; an existing folder is fine.
int CreateDirectoryPath(const char *path);
// GetPrivateProfileInt semantics: a value, never a failure; def when the
// file, section or key is missing.
int ReadIniInt(const char *path, const char *section, const char *key, int def);
// Appends text with one write, so lines of concurrent writers never mix. On
// Windows "\n" becomes "\r\n", as a file opened in text mode writes it.
int AppendTextToFile(const char *path, const char *data, size_t len);

using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;
// Opens an existing file read-only (shared for reading only on Windows); the
// handle stays kInvalidFile on failure.
int FileOpenRead(const char *path, FileHandle *file);
int FileGetSize(FileHandle file, uint64_t *size);
// Reads up to len bytes from offset, in one call; stopping at the end is no
// failure (got tells how much).
int FileReadAt(FileHandle file, uint64_t offset, void *buf, uint32_t len, uint32_t *got);
void FileClose(FileHandle file);
// 0 when something exists at the path.
int PathCheck(const char *path);
// Case-insensitive lookup of one entry in a folder; writes its real name.
int FindEntryNoCase(const char *dir, const char *name, char *out, size_t outSize);
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
// the file system ignores it). Compares texts only: no system call, no code.
bool PathInsideFolder(const char *path, const char *folder);
// The (negative) code for a file too large to serve (4 GiB or more).
extern const int kErrorFileTooLarge;
// The (negative) code for access refused.
extern const int kErrorAccessDenied;
// The calling thread's last system error (GetLastError or errno), positive.
// Only for the fixed log lines that show it after a failure outside this
// layer (an allocation, a thread start); results come from the calls.
int LastError();
// The C library's text for its current error number, for the fixed line of a
// failed send.
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
// Cuts the file back to size bytes, so the bytes of a failed or short write
// go; the next append lands at the new end. Works on an append handle.
int FileTruncate(FileHandle file, uint64_t size);
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
// How many descriptors the process may hold open, sockets and files alike
// (the soft limit). Windows sets no such limit; there the figure keeps the
// socket set, which scans its sockets at each wake, at a size it serves well.
int DescriptorLimit();
// Whether several workers may wait on one UDP socket and read it, each
// datagram going to the one that reads it first. A Windows socket signals
// one event only, so there one worker serves it.
#ifdef _WIN32
constexpr bool kCanShareUdpSocket = false;
#else
constexpr bool kCanShareUdpSocket = true;
#endif
// Another handle on the same bound socket, for another worker: closing one
// leaves the other open. A code where the system cannot share it.
int UdpShareSocket(Socket sock, Socket *shared);

// A service port's receive buffer: 5,000 machines powering on at once send
// their DISCOVERs (or read requests) within milliseconds, each taking about
// 2 KB of the buffer's room in the kernel.
constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;
// The socket stays kInvalidSocket on failure.
int UdpOpen(Socket *sock);
int UdpEnableBroadcast(Socket sock);
// Binds to dwAddrNet:port. On POSIX a socket bound to a local address also
// receives the broadcasts arriving on that address's interface and sends
// with that address as source, as it does on Windows.
int UdpBind(Socket sock, uint32_t dwAddrNet, uint16_t wPortHost);
// Bytes sent.
int UdpSendTo(Socket sock, const void *data, int len, const SockAddrV4 &to);
// Bytes received, 0 for an empty datagram; a datagram longer than len is a
// failure.
int UdpRecvFrom(Socket sock, void *buf, int len, SockAddrV4 *from);
// The same, and the address the datagram was sent to (network order) into
// *lpTo: a local address for a unicast, a broadcast address otherwise. 0
// where the system does not tell.
int UdpRecvFromTo(Socket sock, void *buf, int len, SockAddrV4 *from, uint32_t *lpTo);
void SocketClose(Socket sock);

// ---- UDP of either family --------------------------------------------------
// The IPv4 calls above keep their callers; these take endpoints of either
// family. A link-scoped IPv6 address names its interface by its scope.

// An IPv6 socket takes IPv6 alone (IPV6_V6ONLY): IPv4 has sockets of its
// own. The socket stays kInvalidSocket on failure.
int UdpOpenFamily(IpFamily family, Socket *sock);
// Binds the endpoint; its receives learn their destination and interface.
// An IPv4 endpoint without an interface binds as UdpBind does. dwInterface
// (0 for none, else the address's scope) ties the socket to one interface:
// it receives only what arrives there. Windows has no such tie for a
// wildcard address; there the socket takes every interface's datagrams.
int UdpBindEndpoint(Socket sock, const IpEndpoint &local, uint32_t dwInterface);
// Joins the multicast group on one interface (0: the system's choice).
int UdpJoinMulticast(Socket sock, const IpAddress &group, uint32_t dwInterface);
// What came with a received datagram.
struct UdpArrival {
    IpEndpoint stFrom;
    IpAddress stTo;        // the header's destination: local, broadcast or group
    uint32_t dwInterface;  // where it arrived; 0 when not told
};
// Bytes received, as UdpRecvFrom; stFrom is set even for a datagram too long
// for the buffer, stTo and dwInterface only for one received whole.
int UdpReceive(Socket sock, void *buf, int len, UdpArrival *arrival);
// Bytes sent to the endpoint from the source address (its scope naming the
// interface of a link-scoped one); a source of no family leaves the choice
// to the socket's binding, as UdpSendTo does.
int UdpSendFrom(Socket sock, const void *data, int len, const IpEndpoint &to, const IpAddress &source);

// The index of the interface of that name, above 0.
int InterfaceIndexOf(const char *name, uint32_t *lpIndex);
// 0 and the interface's index when an interface of this machine holds the
// address (a link-scoped one on the interface of its scope, when it has
// one); kNotLocal when none does, or another code.
int FindLocalAddress(const IpAddress &address, uint32_t *lpInterface);
// The interface's hardware address, when it is a 6-byte (Ethernet) one.
int InterfaceMacOf(uint32_t dwInterface, unsigned char abMac[6]);
// The interface's link-local IPv6 address (fe80::/10, with the interface as
// its scope); kNotLocal when it has none.
int LinkLocalAddressOf(uint32_t dwInterface, IpAddress *lpAddress);
// MTU of the route to an address of either family (above 0), or a code.
int PathMtuTo(const IpAddress &address);
// A raw ICMPv6 socket on one interface, for router advertisements: what it
// sends leaves with hop limit 255 (receivers drop any other), and it takes
// only router solicitations, including those sent to ff02::2. UdpReceive
// reads them (the ICMPv6 header first) and UdpSendFrom sends on it (port 0;
// the system fills in the checksum). Needs the right to open raw sockets.
int Icmp6Open(uint32_t dwInterface, Socket *sock);
#ifdef _WIN32
constexpr int kNotLocal = -1168;  // -ERROR_NOT_FOUND
#else
constexpr int kNotLocal = -EADDRNOTAVAIL;
#endif

// A socket of its own toward one peer: bound to the local address (0 for
// any) on a port the system picks, connected to the peer, non-blocking. It
// receives only the peer's datagrams, and learns when the peer's port is
// closed (ICMP port unreachable). The socket stays kInvalidSocket on failure.
int UdpOpenConnected(uint32_t dwLocalAddrNet, const SockAddrV4 &peer, Socket *sock);
// The same for either family: LOCAL of the peer's family (its scope naming
// the interface of a link-scoped one), or of no family for any.
int UdpOpenConnectedTo(const IpAddress &local, const IpEndpoint &peer, Socket *sock);
// The next datagram on a connected socket, without waiting: its bytes (a
// datagram longer than len fails), kNothingToRead, kPeerRefused when the
// peer's port is closed, or another code.
int UdpRecv(Socket sock, void *buf, int len);
// Whether a datagram from the peer waits to be read on a connected socket;
// nothing is taken from it.
bool UdpHasDatagram(Socket sock);
struct OutDatagram {
    const void *lpData;
    int nLength;
};
// Sends the datagrams in order on a connected socket, in one call where the
// system has one: how many went, kPeerRefused or another code.
int UdpSendBatch(Socket sock, const OutDatagram *datagrams, int count);
// MTU of the route to the address (above 0), or a code when it cannot be told.
int InterfaceMtuTo(uint32_t dwAddrNet);
// ICMP echo, to tell whether an address is in use before it is offered.
// Linux opens an unprivileged echo socket (SOCK_DGRAM, IPPROTO_ICMP), which
// net.ipv4.ping_group_range must allow for the process's group; Windows
// has echo in a separate DLL (IcmpSendEcho2) and does not probe here.
#ifdef _WIN32
constexpr bool kCanProbe = false;
#else
constexpr bool kCanProbe = true;
#endif
// Non-blocking; the socket stays kInvalidSocket on failure.
int IcmpOpen(Socket *sock);
// One echo request to the address, numbered wSequence.
int IcmpSendEcho(Socket sock, uint32_t dwAddrNet, uint16_t wSequence);
// The next echo reply without waiting: 0 and its sender (network order),
// kNothingToRead, or another code. Datagrams of other ICMP types are read
// and skipped (kNothingToRead once none is left).
int IcmpRecvEchoReply(Socket sock, uint32_t *lpFromNet);

// The socket layer's last error (WSAGetLastError, or the errno of this
// layer's last failed socket call on POSIX), positive. Only for the fixed
// "Dhcpd:...:lasterror:" and "Tftpd:...:lasterror:" lines, which show it
// even after failures that are not the socket layer's.
int SocketLastError();

// ---- Events and waits ----------------------------------------------------

// A wait handle: either a manual-reset event or a socket's network event.
using WaitHandle = void *;

// Manual reset, not signalled. The handle stays nullptr on failure.
int EventCreate(WaitHandle *event);
void EventSet(WaitHandle event);
void EventReset(WaitHandle event);
void EventClose(WaitHandle event);
// The handle stays nullptr on failure.
int SocketEventCreate(WaitHandle *event);
// Lets the socket's readable and closed notices signal the event (and makes
// the socket non-blocking).
int SocketEventSelect(Socket sock, WaitHandle event);
// Resets the event; 0 when the socket reported readable without error,
// kNothingToRead when it did not report readable, or the socket's error.
int SocketEventTakeReadable(Socket sock, WaitHandle event);
void SocketEventClose(WaitHandle event);

#ifdef _WIN32
constexpr int kNothingToRead = -10035;  // -WSAEWOULDBLOCK
constexpr int kWaitTimedOut = -258;     // -WAIT_TIMEOUT
constexpr int kPeerRefused = -10054;    // -WSAECONNRESET: an ICMP port unreachable came back
#else
constexpr int kNothingToRead = -EAGAIN;
constexpr int kWaitTimedOut = -ETIMEDOUT;
constexpr int kPeerRefused = -ECONNREFUSED;
#endif
// The time limit that waits and joins take to wait without one.
constexpr int kWaitForever = -1;
static_assert(kWaitTimedOut < 0 && kWaitTimedOut != kWaitForever, "a timed-out wait is no index and no time limit");
// Index of the first signalled handle (lowest index wins), kWaitTimedOut when
// the time limit passed, or another negative code when the wait failed.
int WaitAny(const WaitHandle *handles, int count, int timeoutMs);

// ---- Socket sets ---------------------------------------------------------

// Many sockets waited on at once behind one stop event, which wins over them.
// Each socket comes back as the tag it was added with.
using SocketSet = void *;
// The set stays nullptr on failure.
int SocketSetCreate(WaitHandle stopEvent, int maxSockets, SocketSet *set);
// Makes the socket non-blocking; a code when the set is full (-ENOSPC,
// -WSAENOBUFS) or the system fails.
int SocketSetAdd(SocketSet set, Socket sock, uint32_t tag);
// Before the socket is closed.
void SocketSetRemove(SocketSet set, Socket sock);
// Waits for the stop event or readable sockets: how many tags were written
// (sockets with a datagram or an error to take; 0 when the stop event is
// set), kWaitTimedOut, or another code when the wait failed.
int SocketSetWait(SocketSet set, int timeoutMs, uint32_t *tags, int maxTags);
void SocketSetClose(SocketSet set);

// ---- Threads -------------------------------------------------------------

using ThreadHandle = void *;
using ThreadProc = unsigned (*)(void *arg);

// Processors the system has online (at least 1).
int ProcessorCount();
// The handle stays nullptr on failure.
int ThreadStart(ThreadProc proc, void *arg, ThreadHandle *thread);
// 0 when the thread has ended within the time limit (kWaitForever: none),
// kWaitTimedOut when it still runs.
int ThreadJoin(ThreadHandle thread, int timeoutMs);
// Forced end where the platform has one; a code (-ENOSYS) where it has none.
int ThreadTerminate(ThreadHandle thread);
// Releases the handle; a thread still running goes on detached.
void ThreadClose(ThreadHandle thread);

}  // namespace platform

// Library load and unload, called by the platform's entry point.
void TavrelOnLoad();
void TavrelOnUnload();
