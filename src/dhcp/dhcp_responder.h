// The DHCP responder: one datagram of UDP 67, 4011 or 4455, its peer and
// the time in; the answer, built in place, and where it goes out. It is
// built with the lease book and the host's callbacks and touches no socket,
// so tests and fuzzers drive it directly.
#pragma once

#include <atomic>
#include <cstdint>

#include "dhcp/boot_file_choice.h"
#include "dhcp/config_snapshot.h"
#include "dhcp/dhcp_host_hooks.h"
#include "dhcp/dhcp_records.h"
#include "dhcp/lease_book.h"
#include "dhcp/request_quirks.h"
#include "log/log_rate_cap.h"

// What the frame asks of whatever answers its datagrams.
class DhcpAnswerer : public TeskDhcpTypes {
public:
    // RECORD holds the datagram (data, nRecvLen, peer, nSocketType). Returns
    // 0 when it holds an answer of nSendLen bytes for lpTo, anything else
    // for none.
    virtual int Answer(_socklist *record, uint64_t qwNowMs, AnswerDestination *lpTo) = 0;

protected:
    ~DhcpAnswerer() = default;
};

class TeskDhcpResponder : public DhcpAnswerer {
public:
    // dwSendBroadcast is the frame's current broadcast address, logged with
    // every answer.
    TeskDhcpResponder(LeaseBook &leases, const DhcpHostHooks &hooks, const std::atomic<uint32_t> &dwSendBroadcast)
        : m_Leases(leases), m_Hooks(hooks), m_dwSendBroadcast(dwSendBroadcast) {}

    int Answer(_socklist *record, uint64_t qwNowMs, AnswerDestination *lpTo) override;

    // Why a request got no answer (Answer's other results).
    static constexpr int kNotAnswered = -2;         // not a type that is answered, or no answer could be built
    static constexpr int kMalformed = -3;           // not a BOOTREQUEST, or a 4455 pack too short
    static constexpr int kNoAddress = -4;
    static constexpr int kOtherServersClient = -5;  // a REQUEST for another server, or its 4455 answer
    static constexpr int kAwaitingProbe = -6;       // the free addresses await their probe: asked again, answered
    static constexpr int kUnknownLease = -7;        // RENEWING or REBINDING on a free address with no lease here
    static constexpr int kRefusedByHost = -66;      // the host chose another server

private:
    // UDP 67: host veto, address, OFFER, ACK or NAK; DECLINE.
    int HandleDhcpRequest(_socklist *record, AnswerDestination *lpTo);
    // UDP 4011: the boot file and boot item, nothing assigned.
    int HandleBootServerRequest(_socklist *record, AnswerDestination *lpTo);
    // UDP 4455: address request (operation 1) or selection report (2).
    int GetMurDhcp(_socklist *record, AnswerDestination *lpTo);

    // The host's boot-event observer: what a request said, read before its
    // answer is built over it, and the boot event of its outcome.
    struct RequestFacts {
        unsigned char byType = 0;
        unsigned char abMac[6] = {};
        int nArch = -1;
        char szUserClass[64] = {};
        uint32_t dwGiaddr = 0;
        int nKind = 0;  // kBootStageClient or kOtherClient, by the vendor class
    };
    RequestFacts ReadFacts(const _socklist *record) const;
    void EmitDhcpEvent(const _socklist *record, const RequestFacts &facts, int nResult) const;
    // The reason an answer sent carries (a NAK's), for its event; reset per datagram.
    int m_nAnswerReason = TAVREL_REASON_NONE;
    // The firmware quirks the datagram being answered shows.
    RequestQuirks m_Quirks;
    static uint32_t MirrorOperation(const _socklist *record);  // of a 4455 pack; 0 when too short
    // dwOp: the operation the pack asked for (an answer rewrites it).
    void EmitMirrorEvent(const _socklist *record, uint32_t dwOp, int nResult) const;
    // The class a request is served as, its quirks considered.
    int QuirkKind(int nKind) const;
    bool RelayServed(uint32_t dwGiaddr) const;
    // The reason of a kNoAddress: no range of the client's class (for its
    // relay), or a full one.
    int NoAddressReason(int nKind, uint32_t dwGiaddr) const;

    int AnswerRequest(_socklist *record, int nKind, const BootFileChoice &boot, AnswerDestination *lpTo);
    int TakeDecline(const _socklist *record);
    int TakeRelease(const _socklist *record);
    // Asks the host which server serves the MAC: -1 another server, 1 this
    // one, 0 no choice.
    int AskHost(const ConfigSnapshot &config, const unsigned char *lpMac) const;
    void ReportSelection(const unsigned char *pack) const;

    LeaseBook &m_Leases;
    const DhcpHostHooks &m_Hooks;
    const std::atomic<uint32_t> &m_dwSendBroadcast;
    // Lines caused by datagrams, capped per port.
    LogRateCap m_LogCaps[SOCK_COUNT];
};
