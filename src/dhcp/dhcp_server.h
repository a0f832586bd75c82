// TeskDhcpServer: the frame of the DHCP service. It owns the sockets for
// DHCP (UDP 67), proxy-DHCP (UDP 4011) and the private address and
// mirror-selection request (UDP 4455), the worker that receives on them, the
// lease book with the configuration in force and its journal, and the
// responder that turns each datagram into an answer and its destination.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "Tavrel.h"
#include "containers/mem_queue.h"
#include "dhcp/address_probe.h"
#include "dhcp/config_snapshot.h"
#include "dhcp/dhcp_records.h"
#include "dhcp/dhcp_host_hooks.h"
#include "dhcp/dhcp_responder.h"
#include "dhcp/lease_book.h"
#include "platform/platform.h"
#include "service/service_frame.h"

class TeskDhcpServer : public TeskServiceFrame, public TeskDhcpTypes {
public:
    // A server in its initial state: nothing open, nothing created. Its
    // responder reads the host's callbacks from HOOKS; tests may give an
    // answerer of their own to prove the frame alone.
    static TeskDhcpServer *Create(const DhcpHostHooks &hooks, DhcpAnswerer *lpAnswerer = nullptr);

    int StartServer(TeskPxeServerStruct *IN_lpTeskPxeServerStruct, TeskSubNetStruct *lpSubNet, int nSubNetLen,
                    TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen);
    int StopServer() override;
    // Builds the new configuration outside any lock and puts it in force
    // whole; 0, or -1 when refused (nothing changes) or without caches.
    int ApplyConfig(TeskPxeServerStruct *IN_lpTeskPxeServerStruct, TeskSubNetStruct *lpSubNet, int nSubNetLen,
                    TeskStaticDhcpStruct *lpStaticDhcp, int nStaticDhcpLen);
    // Creates the record pool and the caches when missing; false when one is missing.
    bool CreateContainers();

    int ReceiveOne(int nSocketType);

    LeaseBook &Leases() { return m_Leases; }
    std::shared_ptr<const ConfigSnapshot> Config() const { return m_Leases.Config(); }

private:
    TeskDhcpServer(const DhcpHostHooks &hooks, DhcpAnswerer *lpAnswerer)
        : TeskServiceFrame(SOCK_COUNT),
          m_Responder(m_Leases, hooks, m_dwSendBroadcast),
          m_Answerer(lpAnswerer ? *lpAnswerer : m_Responder) {}
    void ServeSocket(int nIndex) override { ReceiveOne(nIndex); }
    // Probes are sent and their waits kept between datagrams, never during one.
    int WaitPeriodMs() const override { return m_Prober.TickMs(); }
    void OnWaitPeriod() override { m_Prober.Pump(platform::MonotonicMs()); }
    void ReleaseService() override;
    // Reads the lease settings and opens the journal; whether addresses may be probed.
    bool OpenLeaseJournal();
    void DropUnreadDatagram(int nSocketType);
    void SendReply(_socklist *record, const AnswerDestination &to);
    bool SendOnce(_socklist *record, uint32_t dwAddr, uint16_t wPort, const char *lpAddrText, int nSite);
    void SendBroadcast(_socklist *record, uint16_t wPort, int nFirstSite, int nRetrySite);

    LeaseBook m_Leases;
    AddressProber m_Prober{m_Leases};
    // Send_BrodAddrIP: the broadcast address answers go to, 0 until the
    // first broadcast; switched to the other one after a failed send.
    std::atomic<uint32_t> m_dwSendBroadcast{0};
    TeskDhcpResponder m_Responder;
    DhcpAnswerer &m_Answerer;
    TeskMemQueue<_socklist> *m_SocklistQueue = nullptr;
};
