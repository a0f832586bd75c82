// The DHCP responder: given a received datagram, it builds the answer in
// place and says where it goes, reading the configuration in force and the
// lease book. No socket is touched here, so tests and fuzzers drive it
// directly.
#pragma once

#include <atomic>
#include <cstdint>

#include "dhcp/boot_file_choice.h"
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
    // answer's length, 0 for none. BOOT is the host's choice of boot file.
    int BuildOffer(const ConfigSnapshot &config, unsigned char *lpMessage, uint32_t dwIp, const AddressGrant &grant,
                   const BootFileChoice &boot = BootFileChoice());
    int BuildAck(const ConfigSnapshot &config, unsigned char *lpMessage, uint32_t dwIp, const AddressGrant &grant,
                 const BootFileChoice &boot = BootFileChoice());
    int BuildBootServerAnswer(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType,
                              const BootFileChoice &boot = BootFileChoice());

    // Message codec; addresses in network order.
    static unsigned char GetMessageType(const unsigned char *lpMessage);
    static int GetVendorClass(const unsigned char *lpMessage, int nRecvLen, char *lpText, int nTextSize);
    // The data of the first option CODE lying wholly inside the received
    // bytes, with its length; null when there is none.
    static const unsigned char *FindOption(const unsigned char *lpMessage, int nRecvLen, unsigned char byCode,
                                           int *lpLen);
    // An option's bytes up to the first zero, as a terminated text: 0, or -2 when absent.
    static int GetOptionText(const unsigned char *lpMessage, int nRecvLen, unsigned char byCode, char *lpText,
                             int nTextSize);
    // The first architecture of option 93; -1 when absent or shorter than one value.
    static int GetClientArch(const unsigned char *lpMessage, int nRecvLen);
    // KIND other than kConfigured answers a client whose boot file the host chose.
    int BuildDhcpReply(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType,
                       uint32_t dwNetmask, uint32_t dwGateway, uint32_t dwDns1, uint32_t dwDns2,
                       BootAnswer kind = BootAnswer::kConfigured);
    int BuildBootServerReply(const ConfigSnapshot &config, unsigned char *lpMessage, unsigned char byType,
                             BootAnswer kind = BootAnswer::kConfigured);

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
