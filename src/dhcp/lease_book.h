// The lease book: static entries, dynamic leases, the index of taken
// addresses, and the configuration they were last brought in line with. One
// lock guards it all, so a refresh and a request never see each other half
// done.
#pragma once

#include <memory>

#include "containers/mac_hash.h"
#include "dhcp/address_index.h"
#include "dhcp/config_snapshot.h"
#include "dhcp/dhcp_records.h"

class LeaseBook : public TeskDhcpTypes {
public:
    // The lease time the answers advertise (option 51): a lease renewed
    // within it belongs to its client and is never taken over.
    static constexpr int64_t kLeaseSeconds = 86400;
    // An address only offered is held this long for the client to request
    // it: forged DISCOVERs cannot keep a range taken for a whole lease time.
    static constexpr int64_t kOfferHoldSeconds = 120;

    LeaseBook() = default;
    LeaseBook(const LeaseBook &) = delete;
    LeaseBook &operator=(const LeaseBook &) = delete;
    ~LeaseBook() { Release(); }

    // Creates both caches when missing; false when one is missing.
    bool CreateCaches();
    void Release();

    // The configuration in force.
    std::shared_ptr<const ConfigSnapshot> Config() const;
    // Puts a configuration in force: its static records fill the static
    // cache, and statics and leases it no longer names go. -1 without caches
    // (the configuration is in force all the same).
    int Install(std::shared_ptr<const ConfigSnapshot> config);

    // The address (network order, 0 for none) of a client: its static entry,
    // its renewed lease, the lowest free address of its ranges, or a lease
    // unrenewed for a whole lease time, taken over. A relayed request (giaddr
    // not 0) gets an address only inside the relay's network. The
    // configuration used is handed back through lpConfig when given. An
    // address given for an offer only (bOfferOnly) is held for
    // kOfferHoldSeconds until the client requests it.
    uint32_t AssignAddress(const unsigned char *lpMac, int nKind, uint32_t dwGiaddr, AddressGrant *lpGrant,
                           std::shared_ptr<const ConfigSnapshot> *lpConfig = nullptr, bool bOfferOnly = false);

    TeskMacHash<tag_s_dhcp> *m_DhcpHashCaches = nullptr;
    TeskMacHash<tag_d_dhcp> *m_DynamicCache = nullptr;
    TeskAddressIndex m_AddressIndex;
    mutable platform::TeskLock m_Lock;

private:
    uint32_t AllocateDynamic(const ConfigSnapshot &config, const unsigned char *lpMac, int nKind, uint32_t dwGiaddr,
                             bool bOfferOnly, AddressGrant *lpGrant);
    bool RenewLease(const ConfigSnapshot &config, const unsigned char *lpMac, tag_d_dhcp *lpLease, int nKind,
                    uint32_t dwGiaddr, bool bOfferOnly, AddressGrant *lpGrant);
    bool FindFreeAddress(const ConfigSnapshot &config, int nKind, uint32_t dwGiaddr, uint32_t *lpIp,
                         AddressGrant *lpGrant);
    bool TakeOverLease(const ConfigSnapshot &config, int nKind, uint32_t dwGiaddr, uint32_t *lpIp,
                       AddressGrant *lpGrant);
    void DropLease(const unsigned char *lpMac, const tag_d_dhcp &lease);
    void FillStaticCache(const ConfigSnapshot &config);
    void DropStaleStatics(const ConfigSnapshot &config);
    void DropStaleLeases(const ConfigSnapshot &config);

    std::shared_ptr<const ConfigSnapshot> m_Config = std::make_shared<const ConfigSnapshot>();
};
