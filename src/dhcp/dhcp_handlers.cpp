// Request handlers of the three sockets.
#include "dhcp/dhcp_server.h"

// The protocol handlers are not written yet: nothing is answered.
int TeskDhcpServer::HandleDhcpRequest(TeskDhcpServer *, _socklist *) { return -1; }
int TeskDhcpServer::HandleBootServerRequest(TeskDhcpServer *, _socklist *) { return -1; }
int TeskDhcpServer::GetMurDhcp(TeskDhcpServer *, _socklist *) { return -1; }
