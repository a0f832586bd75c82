#include "dhcp/lease_file.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "platform/platform.h"

namespace {

// The longest line the writer makes is about 360 bytes (a DUID of 130
// bytes and an IPv6 address): a longer one is damage, skipped without being
// held whole.
constexpr size_t kMaxLineBytes = 512;
constexpr uint32_t kReadChunkBytes = 64 * 1024;

struct CrcTable {
    uint32_t adwEntry[256];
    CrcTable() {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t crc = n;
            for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
            adwEntry[n] = crc;
        }
    }
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // the writer makes lowercase digits only
}

bool ParseHex(const char *lpText, size_t nLen, uint64_t *lpValue) {
    uint64_t value = 0;
    for (size_t i = 0; i < nLen; ++i) {
        int digit = HexDigit(lpText[i]);
        if (digit < 0) return false;
        value = value << 4 | static_cast<unsigned>(digit);
    }
    *lpValue = value;
    return true;
}

bool ParseMac(const std::string &text, unsigned char *lpMac) {
    uint64_t value = 0;
    if (text.size() != 12 || !ParseHex(text.data(), 12, &value)) return false;
    for (int i = 0; i < 6; ++i) lpMac[i] = static_cast<unsigned char>(value >> (40 - 8 * i));
    return true;
}

// Format 1: four decimal parts of 0 to 255, as its writer made them.
bool ParseAddressV1(const std::string &text, uint32_t *lpIp) {
    uint32_t value = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        size_t digits = 0;
        unsigned number = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3)
            number = number * 10 + static_cast<unsigned>(text[at++] - '0'), ++digits;
        if (digits == 0 || number > 255) return false;
        value = value << 8 | number;
        if (part < 3 && (at >= text.size() || text[at++] != '.')) return false;
    }
    *lpIp = value;
    return at == text.size();
}

bool ParseExpiry(const std::string &text, int64_t *lpExpiry) {
    size_t at = text.size() > 1 && text[0] == '-' ? 1 : 0;
    if (text.size() == at || text.size() - at > 18) return false;
    int64_t value = 0;
    for (size_t i = at; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    *lpExpiry = at ? -value : value;
    return true;
}

// Format 1 named the client by its Ethernet address and held IPv4 alone.
bool ParseFieldsV1(const std::string &key, const std::string &address, JournalLease *lpLease) {
    unsigned char mac[6];
    uint32_t dwIp = 0;
    if (!ParseMac(key, mac) || !ParseAddressV1(address, &dwIp)) return false;
    lpLease->key = ClientKey::Ethernet(mac);
    lpLease->address = IpAddress::FromV4Host(dwIp);
    return true;
}

bool ParseFieldsV2(const std::string &key, const std::string &address, JournalLease *lpLease) {
    size_t nKey = key.find('#');
    if (nKey != std::string::npos) {
        uint64_t iaid = 0;
        if (key.size() - nKey - 1 != 8 || !ParseHex(key.data() + nKey + 1, 8, &iaid)) return false;
        lpLease->bHasIaid = true;
        lpLease->dwIaid = static_cast<uint32_t>(iaid);
    } else {
        nKey = key.size();
    }
    return ClientKey::Parse(key.data(), nKey, &lpLease->key) &&
           ParseIpAddress(address.c_str(), &lpLease->address) && !lpLease->address.IsUnspecified();
}

// One line without its newline: its op and lease, false when it does not
// read in the file's format or its CRC does not match.
bool ParseLine(const std::string &line, int nFormat, char *lpOp, JournalLease *lpLease) {
    size_t cut = line.rfind(' ');
    uint64_t crc = 0;
    if (cut == std::string::npos || line.size() - cut - 1 != 8 || !ParseHex(line.data() + cut + 1, 8, &crc))
        return false;
    if (JournalCrc32(line.data(), cut) != crc) return false;
    std::string fields[4];
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        size_t end = i < 3 ? line.find(' ', at) : cut;
        if (end == std::string::npos || end > cut) return false;
        fields[i] = line.substr(at, end - at);
        at = end + 1;
    }
    if (fields[0] != "L" && fields[0] != "R" && (fields[0] != "D" || nFormat == 1)) return false;
    bool bRead = nFormat == 1 ? ParseFieldsV1(fields[1], fields[2], lpLease)
                              : ParseFieldsV2(fields[1], fields[2], lpLease);
    if (!bRead || !ParseExpiry(fields[3], &lpLease->nExpiry)) return false;
    *lpOp = fields[0][0];
    return true;
}

// Replays lines one at a time into the book, last line per client winning.
class LineReplay {
public:
    explicit LineReplay(LeaseFileReading *lpReading) : m_lpReading(lpReading) {}
    // False once the file shows it is not a lease file.
    bool Take(const std::string &line, bool bOverlong) {
        if (++m_nLine == 1) {
            if (!bOverlong) m_lpReading->nFormat = line == kLeaseFileHeader ? 2 : line == kLeaseFileHeaderV1 ? 1 : 0;
            m_lpReading->bForeign = m_lpReading->nFormat == 0;
            m_lpReading->bHeader = !m_lpReading->bForeign;
            return !m_lpReading->bForeign;
        }
        // A torn line that was ended later on leaves an empty one.
        if (line.empty() && !bOverlong) return true;
        ++m_lpReading->nLines;
        char op = 0;
        JournalLease lease{};
        if (bOverlong || !ParseLine(line, m_lpReading->nFormat, &op, &lease)) {
            if (m_lpReading->nDamaged++ == 0) m_lpReading->nFirstDamaged = m_nLine;
            return true;
        }
        if (op == 'D') {
            m_Declines[std::string(reinterpret_cast<const char *>(lease.address.Bytes()), lease.address.ByteCount())] = lease;
            return true;
        }
        BookKey at{lease.key, lease.bHasIaid ? uint64_t(1) << 32 | lease.dwIaid : 0};
        if (op == 'L') m_Book[at] = lease;
        else m_Book.erase(at);
        return true;
    }
    void Hand(std::vector<JournalLease> *lpLeases, std::vector<JournalLease> *lpDeclines) const {
        for (const auto &entry : m_Book) lpLeases->push_back(entry.second);
        for (const auto &entry : m_Declines)
            if (lpDeclines) lpDeclines->push_back(entry.second);
    }

private:
    LeaseFileReading *m_lpReading;
    size_t m_nLine = 0;
    // The key, then the IAID (with a bit above it for "has one").
    using BookKey = std::pair<ClientKey, uint64_t>;
    std::map<BookKey, JournalLease> m_Book;
    // By the address's bytes: one line per address, as the leases are.
    std::map<std::string, JournalLease> m_Declines;
};

// Appends up to the cap; what lies past it only marks the line as overlong.
void Gather(std::string *lpLine, bool *lpOverlong, const char *lpBytes, size_t nLen) {
    size_t room = kMaxLineBytes - lpLine->size();
    if (nLen > room) *lpOverlong = true;
    lpLine->append(lpBytes, nLen < room ? nLen : room);
}

int ReadLines(platform::FileHandle file, LineReplay *lpReplay, LeaseFileReading *lpReading) {
    std::vector<char> chunk(kReadChunkBytes);
    std::string line;
    bool bOverlong = false;
    for (uint64_t offset = 0;;) {
        uint32_t got = 0;
        int nResult = platform::FileReadAt(file, offset, chunk.data(), kReadChunkBytes, &got);
        if (nResult < 0) return nResult;
        if (got == 0) break;
        offset += got;
        for (const char *at = chunk.data(), *end = at + got; at < end;) {
            const char *newline = static_cast<const char *>(memchr(at, '\n', static_cast<size_t>(end - at)));
            Gather(&line, &bOverlong, at, static_cast<size_t>((newline ? newline : end) - at));
            if (!newline) break;
            if (!lpReplay->Take(line, bOverlong)) return 0;
            line.clear();
            bOverlong = false;
            at = newline + 1;
        }
    }
    if (!line.empty() || bOverlong) {
        // The last line was cut short: as damaged as any other.
        lpReading->bEndsCut = true;
        lpReplay->Take(line, true);
    }
    return 0;
}

}  // namespace

uint32_t JournalCrc32(const char *lpText, size_t nLen) {
    static const CrcTable table;
    uint32_t crc = 0xffffffffu;
    for (size_t i = 0; i < nLen; ++i) crc = (crc >> 8) ^ table.adwEntry[(crc ^ static_cast<unsigned char>(lpText[i])) & 0xff];
    return ~crc;
}

std::string LeaseFileLine(char chOp, const JournalLease &lease, int nFormat) {
    char key[ClientKey::kTextSize + 9], address[kIpAddressTextSize], body[kMaxLineBytes], line[kMaxLineBytes + 16];
    const unsigned char *mac = lease.key.EthernetMac();
    if (nFormat == 1) {
        if (chOp == 'D' || !mac || !lease.address.IsV4()) return "";
        snprintf(key, sizeof key, "%02x%02x%02x%02x%02x%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    } else {
        size_t nKey = lease.key.Format(key, sizeof key);
        if (lease.bHasIaid) snprintf(key + nKey, sizeof key - nKey, "#%08x", lease.dwIaid);
    }
    FormatIpAddress(lease.address, address, sizeof address);
    snprintf(body, sizeof body, "%c %s %s %" PRId64, chOp, key, address, lease.nExpiry);
    snprintf(line, sizeof line, "%s %08x\n", body, JournalCrc32(body, strlen(body)));
    return line;
}

int ReadLeaseFile(const char *lpPath, std::vector<JournalLease> *lpLeases, LeaseFileReading *lpReading,
                  std::vector<JournalLease> *lpDeclines) {
    lpLeases->clear();
    if (lpDeclines) lpDeclines->clear();
    *lpReading = LeaseFileReading{};
    platform::FileHandle file = platform::kInvalidFile;
    int nResult = platform::FileOpenRead(lpPath, &file);
    if (nResult < 0) return platform::PathCheck(lpPath) == 0 ? nResult : 0;
    lpReading->bFound = true;
    LineReplay replay(lpReading);
    nResult = ReadLines(file, &replay, lpReading);
    platform::FileClose(file);
    if (nResult < 0) return nResult;
    if (!lpReading->bForeign) replay.Hand(lpLeases, lpDeclines);
    return 0;
}
