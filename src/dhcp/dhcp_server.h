// TeskDhcpServer: the frame of the DHCP service. It owns the sockets for
// DHCP (UDP 67), proxy-DHCP (UDP 4011) and the private address and
// mirror-selection request (UDP 4455), the worker that receives on them, the
// lease book with the configuration in force, and the responder whose
// handlers turn each datagram into an answer and its destination.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "Tavrel.h"
#include "containers/mem_queue.h"
#include "dhcp/config_snapshot.h"
#include "dhcp/dhcp_records.h"
#include "dhcp/dhcp_responder.h"
#include "dhcp/lease_book.h"
#include "platform/platform.h"
#include "service/service_frame.h"

class TeskDhcpServer : public TeskServiceFrame, public TeskDhcpTypes {
public:
    using Handler = TeskDhcpResponder::Handler;
    // One handler per socket type.
    struct Handlers {
        Handler handlers[SOCK_COUNT];
    };
    static Handlers ProtocolHandlers() {
        return Handlers{{TeskDhcpResponder::HandleDhcpRequest, TeskDhcpResponder::HandleBootServerRequest,
                         TeskDhcpResponder::GetMurDhcp}};
    }

    // A server in its initial state: nothing open, nothing created. Tests
    // give handlers of their own to prove the frame alone.
    static TeskDhcpServer *Create(const Handlers &handlers = ProtocolHandlers());

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
    TeskDhcpResponder &Responder() { return m_Responder; }

private:
    explicit TeskDhcpServer(const Handlers &handlers)
        : TeskServiceFrame(SOCK_COUNT), m_Handlers(handlers), m_Responder(m_Leases, m_dwSendBroadcast) {}
    void ServeSocket(int nIndex) override { ReceiveOne(nIndex); }
    void ReleaseService() override;
    void DropUnreadDatagram(int nSocketType);
    void SendReply(_socklist *record, const AnswerDestination &to);
    bool SendOnce(_socklist *record, uint32_t dwAddr, uint16_t wPort, const char *lpAddrText, int nSite);
    void SendBroadcast(_socklist *record, uint16_t wPort, int nFirstSite, int nRetrySite);

    const Handlers m_Handlers;
    LeaseBook m_Leases;
    // Send_BrodAddrIP: the broadcast address answers go to, 0 until the
    // first broadcast; switched to the other one after a failed send.
    std::atomic<uint32_t> m_dwSendBroadcast{0};
    TeskDhcpResponder m_Responder;
    TeskMemQueue<_socklist> *m_SocklistQueue = nullptr;
};
