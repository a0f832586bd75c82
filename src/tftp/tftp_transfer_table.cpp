#include "tftp/tftp_transfer_table.h"

int TftpSourceCounts::CountOf(const IpAddress &address) {
    unsigned char lpKey[TftpSourceKey::kSize];
    TftpAddressBytes::Put(address, lpKey);
    int32_t *lpCount = nullptr;
    return FindEntry(lpKey, &lpCount) == 0 && lpCount ? *lpCount : 0;
}

bool TftpSourceCounts::Change(const IpAddress &address, int nChange) {
    unsigned char lpKey[TftpSourceKey::kSize];
    TftpAddressBytes::Put(address, lpKey);
    int32_t *lpCount = nullptr;
    if (FindEntry(lpKey, &lpCount) != 0 || !lpCount) {
        if (nChange <= 0 || GetLastClient(lpKey, &lpCount) != 0 || !lpCount) return false;
        *lpCount = 0;  // a pool slot keeps its last user's bytes
        ++m_nAddresses;
    }
    *lpCount += nChange;
    if (*lpCount > 0) return true;
    DelClient(lpKey);
    --m_nAddresses;
    return true;
}

int TftpTransferTable::Find(const IpEndpoint &peer, TftpClientInfo **lppClient) {
    TftpTransferRecord *lpRecord = m_lpLastFound;
    if (!lpRecord || !(lpRecord->stPeer == peer)) {
        unsigned char key[TftpTransferKey::kSize];
        TftpTransferKey::Make(peer, key);
        if (FindEntry(key, &lpRecord) != 0 || !lpRecord) return -1;
        m_lpLastFound = lpRecord;
    }
    if (lppClient) *lppClient = &lpRecord->info;
    return 0;
}

int TftpTransferTable::Add(const IpEndpoint &peer, TftpClientInfo **lppClient) {
    unsigned char key[TftpTransferKey::kSize];
    TftpTransferKey::Make(peer, key);
    TftpTransferRecord *lpRecord = nullptr;
    if (FindEntry(key, &lpRecord) == 0) return -1;
    if (!m_Sources.Change(peer.Address(), 1)) return -1;
    if (GetLastClient(key, &lpRecord) != 0 || !lpRecord) {
        m_Sources.Change(peer.Address(), -1);
        return -1;
    }
    ++m_nTransfers;
    lpRecord->stPeer = peer;
    lpRecord->lpOlder = m_lpNewest;
    lpRecord->lpNewer = nullptr;
    lpRecord->bWaiting = true;
    (m_lpNewest ? m_lpNewest->lpNewer : m_lpOldest) = lpRecord;
    m_lpNewest = lpRecord;
    if (lppClient) *lppClient = &lpRecord->info;
    return 0;
}

int TftpTransferTable::Remove(const IpEndpoint &peer) {
    unsigned char key[TftpTransferKey::kSize];
    TftpTransferKey::Make(peer, key);
    TftpTransferRecord *lpRecord = nullptr;
    if (FindEntry(key, &lpRecord) != 0 || !lpRecord) return -1;
    if (lpRecord == m_lpLastFound) m_lpLastFound = nullptr;
    Unlist(lpRecord);
    m_Sources.Change(peer.Address(), -1);
    --m_nTransfers;
    return DelClient(key);
}

void TftpTransferTable::Acknowledged(TftpClientInfo *lpClient) { Unlist(RecordOf(lpClient)); }

TftpClientInfo *TftpTransferTable::OldestUnacknowledged(const TftpClientInfo *lpExcept,
                                                        IpEndpoint *lpPeer) const {
    TftpTransferRecord *lpRecord = m_lpOldest;
    if (lpRecord && &lpRecord->info == lpExcept) lpRecord = lpRecord->lpNewer;
    if (!lpRecord) return nullptr;
    *lpPeer = lpRecord->stPeer;
    return &lpRecord->info;
}

TftpClientInfo *TftpTransferTable::NextUnacknowledged(const TftpClientInfo *lpClient, const TftpClientInfo *lpExcept,
                                                      IpEndpoint *lpPeer) {
    TftpTransferRecord *lpRecord = RecordOf(const_cast<TftpClientInfo *>(lpClient));
    lpRecord = lpRecord->bWaiting ? lpRecord->lpNewer : nullptr;
    if (lpRecord && &lpRecord->info == lpExcept) lpRecord = lpRecord->lpNewer;
    if (!lpRecord) return nullptr;
    *lpPeer = lpRecord->stPeer;
    return &lpRecord->info;
}

void TftpTransferTable::Unlist(TftpTransferRecord *lpRecord) {
    if (!lpRecord->bWaiting) return;
    (lpRecord->lpOlder ? lpRecord->lpOlder->lpNewer : m_lpOldest) = lpRecord->lpNewer;
    (lpRecord->lpNewer ? lpRecord->lpNewer->lpOlder : m_lpNewest) = lpRecord->lpOlder;
    lpRecord->bWaiting = false;
}
