// Library-wide objects: the two services and the host's callbacks.
#pragma once

#include "dhcp/dhcp_host_hooks.h"

class TeskDhcpServer;
class TeskTftpServer;

extern TeskDhcpServer *MyDhcpServer;
extern TeskTftpServer *MyTftpServer;
// The host's callbacks: stored by the host's thread, handed to the DHCP
// responder, which reads them on its worker.
extern DhcpHostHooks g_HostHooks;
