// The DHCP responder: given a received datagram, it builds the answer in
// place and says where it goes, reading the configuration in force and the
// lease book. No socket is touched here, so tests and fuzzers drive it
// directly.
#pragma once

#include <atomic>
#include <cstdint>

#include "dhcp/config_snapshot.h"
#include "dhcp/dhcp_records.h"
#include "dhcp/lease_book.h"

class TeskDhcpResponder : public TeskDhcpTypes {
public:
    // 0 when the record holds an answer for lpTo, anything else for none.
    using Handler = int (*)(TeskDhcpResponder *responder, _socklist *record, AnswerDestination *lpTo);

    // dwSendBroadcast is the frame's current broadcast address, logged with
    // every answer.
    TeskDhcpResponder(LeaseBook &leases, const std::atomic<uint32_t> &dwSendBroadcast)
        : m_Leases(leases), m_dwSendBroadcast(dwSendBroadcast) {}

    // UDP 67: host veto, address, OFFER or ACK.
    static int HandleDhcpRequest(TeskDhcpResponder *responder, _socklist *record, AnswerDestination *lpTo);
    // UDP 4011: the boot file and boot item, nothing assigned.
    static int HandleBootServerRequest(TeskDhcpResponder *responder, _socklist *record, AnswerDestination *lpTo);
    // UDP 4455: address request (operation 1) or selection report (2).
    static int GetMurDhcp(TeskDhcpResponder *responder, _socklist *record, AnswerDestination *lpTo);

    // The answers, built over the request in lpMessage; each returns the
    // answer's length, 0 for none.
    int BuildOffer(const ConfigSnapshot &config, unsigned char *lpMessage, uint32_t dwIp, const AddressGrant &grant);
    int BuildAck(const ConfigSnapshot &config, unsigned char *lpMessage, uint32_t dwIp, const AddressGrant &grant);
    int BuildBootServerAnswer(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType);

    // Message codec; addresses in network order.
    static unsigned char GetMessageType(const unsigned char *lpMessage);
    static int GetVendorClass(const unsigned char *lpMessage, int nRecvLen, char *lpText, int nTextSize);
    int BuildDhcpReply(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType,
                       uint32_t dwNetmask, uint32_t dwGateway, uint32_t dwDns1, uint32_t dwDns2);
    int BuildBootServerReply(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType);

    LeaseBook &Leases() { return m_Leases; }

private:
    // Asks the host which server serves the MAC: -1 another server, 1 this
    // one, 0 no choice.
    static int AskHost(const ConfigSnapshot &config, const unsigned char *lpMac);
    void LogReplyAddresses(const ConfigSnapshot &config, uint32_t dwNetmask, uint32_t dwGateway, uint32_t dwDns1,
                           uint32_t dwDns2) const;

    LeaseBook &m_Leases;
    const std::atomic<uint32_t> &m_dwSendBroadcast;
};
