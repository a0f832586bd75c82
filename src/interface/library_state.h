// Library-wide objects: the two services and the host's two callbacks.
#pragma once

#include "Tavrel.h"

class TeskDhcpServer;
class TeskTftpServer;

extern TeskDhcpServer *MyDhcpServer;
extern TeskTftpServer *MyTftpServer;
// Read by the DHCP worker without a lock: replacing them is a plain store.
extern SelectPxeServerProc volatile g_pfnSelectPxeServer;
extern SelectMirrorServerToDBProc volatile g_pfnSelectMirrorServerToDB;
