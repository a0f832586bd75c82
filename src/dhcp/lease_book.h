// The lease book: static entries, dynamic leases, declined addresses, the
// index of taken addresses, and the configuration they were last brought in
// line with. One lock guards it all, so a refresh and a request never see
// each other half done. Given a journal, it keeps every granted lease on
// disk, so that a restarted service honours them.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "dhcp/address_index.h"
#include "dhcp/address_pool.h"
#include "dhcp/client_table.h"
#include "dhcp/config_snapshot.h"
#include "dhcp/dhcp_records.h"
#include "dhcp/lease_journal.h"

class LeaseBook : public TeskDhcpTypes {
public:
    // The lease time the answers advertise (option 51): a lease renewed
    // within it belongs to its client and is never taken over.
    static constexpr int64_t kLeaseSeconds = 86400;
    // An address only offered is held this long for the client to request
    // it: forged DISCOVERs cannot keep a range taken for a whole lease time.
    static constexpr int64_t kOfferHoldSeconds = 120;
    // A declined address (another machine answers on it) is offered to
    // nobody for this long.
    static constexpr int64_t kDeclineHoldSeconds = 600;

    // Address probes, while the history is unknown: at most this many
    // addresses wait for a probe's outcome at once, and each range keeps up
    // to kProbeAhead probed free addresses ready before DISCOVERs need them.
    static constexpr size_t kProbesInFlight = 128;
    static constexpr size_t kProbeAhead = 32;

    // Install's result for a configuration refused because it names no
    // range while leases are live.
    static constexpr int kStrandsLeases = -2;

    // Seconds. Holds and lease ages are measured on a monotonic clock, so a
    // wall clock set forward or back ends no lease and no hold early or late;
    // the journal keeps expiries in wall-clock seconds since 1970, which a
    // restart (a new monotonic origin) can read. -1 when a clock fails.
    using Clock = int64_t (*)();
    // The book's monotonic clock: the platform's, started a lease time in,
    // so a lease brought back from the journal never stamps below 0.
    static int64_t MonotonicSeconds() {
        return static_cast<int64_t>(platform::MonotonicMs() / 1000) + kLeaseSeconds;
    }

    explicit LeaseBook(Clock clock = MonotonicSeconds, Clock wallClock = platform::GetUnixTime)
        : m_Clock(clock), m_WallClock(wallClock) {}
    LeaseBook(const LeaseBook &) = delete;
    LeaseBook &operator=(const LeaseBook &) = delete;
    ~LeaseBook() { Release(); }

    // Creates both caches when missing; false when one is missing.
    bool CreateCaches();
    void Release();

    // The configuration in force.
    std::shared_ptr<const ConfigSnapshot> Config() const;
    // Puts a configuration in force: its static records fill the static
    // cache, and statics it no longer names go. Leases outside its ranges
    // stay, dormant (not renewed, not offered) until they expire, so a
    // configuration read half-written costs no lease once it is mended.
    // -1 without caches (the configuration is in force all the same);
    // kStrandsLeases, nothing changed, for a configuration in dynamic mode
    // with no range at all while ranges are in force and leases live (set
    // dhcpmode to serve static entries only).
    int Install(std::shared_ptr<const ConfigSnapshot> config);
    // Whether a RENEWING or REBINDING client may claim a free address of
    // ours that it says it holds (recovery after a lost journal). Off, such
    // a claim takes nothing: forged ones would take a range without any
    // handshake.
    void SetRecoverUnknownLeases(bool bRecover);
    // Keeps the leases in the journal of this folder from now on, after
    // taking in the unexpired ones (dormant when outside every range).
    int OpenJournal(const char *lpFolder);

    // The address (network order, 0 for none) of a client: its static entry,
    // its renewed lease, the lowest free address of its ranges, or a lease
    // unrenewed for a whole lease time, taken over. A relayed request (giaddr
    // not 0) gets an address only inside the relay's network. The
    // configuration used is handed back through lpConfig when given. An
    // address given for an offer only (bOfferOnly) is held for
    // kOfferHoldSeconds until the client requests it.
    // While probes run (see EnableProbes), a free address goes to nobody
    // before a probe found it silent: 0 then, with *lpAwaitsProbe set when
    // given, while free addresses of the client's ranges wait for a probe.
    uint32_t AssignAddress(const unsigned char *lpMac, int nKind, uint32_t dwGiaddr, AddressGrant *lpGrant,
                           std::shared_ptr<const ConfigSnapshot> *lpConfig = nullptr, bool bOfferOnly = false,
                           bool *lpAwaitsProbe = nullptr);

    // ---- Probes before a first offer ----
    // When the book cannot know every lease clients still hold (no lease
    // file, or one missing, empty, foreign or damaged at OpenJournal, or
    // none opened: KeepLeases=0), a free address is offered only once an
    // ICMP echo to it found nobody there. The book only queues the addresses
    // (the frame owns the socket and the wait), so it stays socket-free.
    // The frame turns this on when it can probe; a book whose journal holds
    // the whole history never probes.
    void EnableProbes(bool bOn);
    bool Probing() const;
    // Whether the journal opened held the whole history (then no probe).
    bool HistoryWhole() const;
    // The addresses (host order) to probe now, each reported back once
    // through ProbeResult; never more than kProbesInFlight outstanding.
    std::vector<uint32_t> TakeProbes();
    // Something answered on the address (bAnswered): it is offered to
    // nobody for kDeclineHoldSeconds and probed again after; silence makes
    // it free to offer. False for an address not awaiting a probe.
    bool ProbeResult(uint32_t dwIp, bool bAnswered);
    // Addresses found in use by a probe since the start.
    uint64_t ProbeConflicts() const;

    // A DHCPREQUEST, its fields in network order (0 when absent).
    struct ClientRequest {
        const unsigned char *lpMac;
        int nKind;
        uint32_t dwGiaddr, dwCiaddr, dwRequested, dwServerId;
        // Sent to this server's own address (a RENEWING client), not
        // broadcast or relayed.
        bool bUnicast = false;
    };
    enum class RequestOutcome { kAck, kNak, kSilent };
    // What RFC 2131 (4.3.2) makes of a REQUEST, by the client's state:
    // SELECTING (server identifier), INIT-REBOOT (requested address),
    // RENEWING or REBINDING (ciaddr). An ACK confirms the lease and hands
    // back its address (network order) and values. A lease outside every
    // range in force gets no answer and stays. *lpUnknownLease, when given,
    // tells a NAK or silence that refused a claim of a free address this
    // book has no lease of (see SetRecoverUnknownLeases).
    RequestOutcome ConfirmRequest(const ClientRequest &request, uint32_t *lpIp, AddressGrant *lpGrant,
                                  std::shared_ptr<const ConfigSnapshot> *lpConfig, bool *lpUnknownLease = nullptr);
    // A DHCPDECLINE of the address (network order): only the MAC holding its
    // lease can decline it; the address is then offered to nobody for
    // kDeclineHoldSeconds. False when nothing changed.
    bool Decline(const unsigned char *lpMac, uint32_t dwIp);
    // A DHCPRELEASE (addresses in network order): only the holder's, for the
    // address it holds, naming this server, ends its lease. False when
    // nothing changed.
    bool Release(const unsigned char *lpMac, uint32_t dwCiaddr, uint32_t dwServerId);

    // Read-only views, copied under the lock.
    bool FindStatic(const unsigned char *lpMac, tag_s_dhcp *lpEntry) const;
    bool FindLease(const unsigned char *lpMac, tag_d_dhcp *lpLease) const;
    struct LeaseView {
        ClientKey key;
        tag_d_dhcp lease;
    };
    std::vector<LeaseView> Leases() const;
    std::vector<tag_s_dhcp> Statics() const;
    // The lowest address of the range free for a client of this kind.
    bool LowestFree(const SubNetSlot &subnet, int nKind, uint32_t *lpFree);
    // How many addresses of the range are free for a client of this kind.
    uint64_t FreeCount(const SubNetSlot &subnet, int nKind);
    // Puts a lease in place as the journal does at start (kind and time as
    // given, the time on the book's monotonic clock).
    bool RestoreLease(const unsigned char *lpMac, const tag_d_dhcp &lease);

private:
    uint32_t AllocateDynamic(const ConfigSnapshot &config, const ClientKey &key, int nKind, uint32_t dwGiaddr,
                             bool bOfferOnly, AddressGrant *lpGrant);
    bool RenewLease(const ConfigSnapshot &config, const ClientKey &key, tag_d_dhcp *lpLease, int nKind,
                    uint32_t dwGiaddr, bool bOfferOnly, AddressGrant *lpGrant);
    Ipv4RangePool PoolOf(const ConfigSnapshot &config, const SubNetSlot &subnet, int nKind);
    bool FindFreeAddress(const ConfigSnapshot &config, int nKind, uint32_t dwGiaddr, uint32_t *lpIp,
                         AddressGrant *lpGrant);
    // The lowest free address of the range that a probe found silent,
    // queueing probes for the unprobed ones met on the way.
    bool ProbedFree(const ConfigSnapshot &config, const SubNetSlot &subnet, int nKind, uint32_t *lpIp);
    bool ProbesOn() const { return m_bProbesEnabled && !m_bHistoryWhole; }
    void WantProbe(uint32_t dwIp);
    // Queues probes ahead for every range, as far as the bounds allow.
    void PlanProbes(const ConfigSnapshot &config);
    bool TakeOverLease(const ConfigSnapshot &config, int nKind, uint32_t dwGiaddr, uint32_t *lpIp,
                       AddressGrant *lpGrant);
    bool GrantAddress(const ConfigSnapshot &config, const SubNetSlot *home, const ClientKey &key, int nKind,
                      uint32_t dwIp, AddressGrant *lpGrant);
    void DropLease(const ClientKey &key, const tag_d_dhcp &lease);
    void FillStaticCache(const ConfigSnapshot &config);
    void DropStaleStatics(const ConfigSnapshot &config);
    bool StrandsLeases(const ConfigSnapshot &config) const;
    void SettleLeases(const ConfigSnapshot &config);
    bool Expired(const tag_d_dhcp &lease, int64_t now) const;
    bool GrantSelected(const ConfigSnapshot &config, const ClientRequest &request, AddressGrant *lpGrant);
    RequestOutcome ClaimFree(const ConfigSnapshot &config, const ClientRequest &request, uint32_t dwAsked,
                             AddressGrant *lpGrant);
    // The ACK of a lease already the client's, if it still fits.
    bool ConfirmHeld(const ConfigSnapshot &config, const ClientRequest &request, uint32_t dwIp,
                     AddressGrant *lpGrant);
    uint32_t HeldAddress(const ClientKey &key) const;
    bool InOurRanges(const ConfigSnapshot &config, uint32_t dwIp) const;
    void EndExpiredDeclines(int64_t now);
    RequestOutcome DecideRequest(const ClientRequest &request, uint32_t *lpIp, AddressGrant *lpGrant,
                                 std::shared_ptr<const ConfigSnapshot> *lpConfig);
    // Writes the lease's line; a failure sets m_bUnwritten.
    void Journal(const ClientKey &key, const tag_d_dhcp &lease);
    void CompactJournalIfDue();
    int64_t WallExpiry(const tag_d_dhcp &lease) const;
    void LoadJournal(const ConfigSnapshot &config);
    std::vector<LeaseView> CollectLeases() const;

    Clock m_Clock;
    Clock m_WallClock;
    bool m_bRecoverUnknown = false;
    // Keyed by ClientKey::Ethernet of the client's MAC.
    ClientTable<tag_s_dhcp> *m_DhcpHashCaches = nullptr;
    ClientTable<tag_d_dhcp> *m_DynamicCache = nullptr;
    TeskAddressIndex m_AddressIndex;
    // Declined addresses (host order) and when their hold ends.
    std::map<uint32_t, int64_t> m_Declined;
    // Probes (host order): wanted but not yet taken by the frame, taken and
    // awaiting their outcome, and found silent. An address granted once is
    // known from then on. All are bounded by the configured ranges.
    bool m_bProbesEnabled = false;
    bool m_bHistoryWhole = false;
    std::set<uint32_t> m_ProbesWanted, m_ProbesOut, m_Verified;
    uint64_t m_nProbeConflicts = 0;
    // A DISCOVER found only addresses awaiting their probe.
    bool m_bAwaitsProbe = false;
    std::unique_ptr<LeaseJournal> m_lpJournal;
    // Unexpired leases of the file that are not this book's to grant.
    std::vector<JournalLease> m_Carried;
    // A lease line of the call in progress could not be written: it is not
    // acknowledged.
    bool m_bUnwritten = false;
    // The request of the call in progress claimed an unknown lease, refused.
    bool m_bUnknownLease = false;
    mutable platform::TeskLock m_Lock;
    std::shared_ptr<const ConfigSnapshot> m_Config = std::make_shared<const ConfigSnapshot>();
};
