// Library-wide objects: the two services and the host's callbacks.
#pragma once

#include <atomic>

#include "Tavrel.h"

class TeskDhcpServer;
class TeskTftpServer;

extern TeskDhcpServer *MyDhcpServer;
extern TeskTftpServer *MyTftpServer;
// Stored by the host's thread, read by the DHCP worker.
extern std::atomic<SelectPxeServerProc> g_pfnSelectPxeServer;
extern std::atomic<SelectMirrorServerToDBProc> g_pfnSelectMirrorServerToDB;
// Optional: the host's per-client boot file; null keeps the configured one.
extern std::atomic<SelectBootFileProc> g_pfnSelectBootFile;
