// IPv6 boot behind the exports: StartPXEV6's records checked and turned into
// what the DHCPv6 responder and frame are built from, and their stop.
#pragma once

#include <memory>

#include "Tavrel.h"
#include "dhcp/dhcp_host_hooks.h"
#include "dhcp6/dhcp6_answerer.h"

// How the library makes its DHCPv6 responder: one pointer, so the frame and
// the exports build and link without the responder's sources. Null: this
// build has no responder and StartPXEV6 refuses.
using Dhcp6AnswererFactory = std::unique_ptr<Dhcp6Answerer> (*)(const Dhcp6Start &start, const DhcpHostHooks &hooks);
extern Dhcp6AnswererFactory g_pfnMakeDhcp6Answerer;

// StartPXEV6: 0 when serving (a second call reconfigures); -1 for records
// that cannot be served (a line says why), -2 when the DHCPv6 service does
// not start, -3 when the IPv6 TFTP service does not.
int StartPxeV6Services(const TeskPxeServerV6Struct *lpServer, const TeskSubNetV6Struct *lpSubNet, int nSubNetLen,
                       const TeskStaticDhcpV6Struct *lpStatic, int nStaticLen);
// StopPXE: the IPv6 services stop before the boot-event delivery does.
void StopPxeV6Services();
// StartPXE's records while IPv4 serves (null when it stops): its ServerIP
// for the host's veto, its rootpath for TFTP on IPv6.
void SetIpv4Records(const TeskPxeServerStruct *lpServer);
