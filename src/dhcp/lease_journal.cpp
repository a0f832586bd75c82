#include "dhcp/lease_journal.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>

#include "log/log_text.h"
#include "log/logger.h"
#include "net/address_text.h"

namespace {

const char kHeader[] = "TAVREL-LEASES 1";
// A journal this large is not ours: nothing is read from it.
constexpr uint64_t kMaxJournalBytes = 64u << 20;

std::string MacHex(const unsigned char *lpMac) {
    char text[13];
    snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", lpMac[0], lpMac[1], lpMac[2], lpMac[3], lpMac[4],
             lpMac[5]);
    return text;
}

std::string SignedLine(const char *lpBody) {
    char line[128];
    snprintf(line, sizeof line, "%s %08x\n", lpBody, JournalCrc32(lpBody, strlen(lpBody)));
    return line;
}

std::string LeaseLine(char chOp, const unsigned char *lpMac, uint32_t dwIp, int64_t nExpiry) {
    char ip[16], body[96];
    HostIpToText(sizeof ip, ip, dwIp);
    snprintf(body, sizeof body, "%c %s %s %" PRId64, chOp, MacHex(lpMac).c_str(), ip, nExpiry);
    return SignedLine(body);
}

bool ParseMac(const char *lpHex, unsigned char *lpMac) {
    if (strlen(lpHex) != 12) return false;
    for (int i = 0; i < 6; ++i) {
        unsigned value = 0;
        if (sscanf(lpHex + 2 * i, "%2x", &value) != 1) return false;
        lpMac[i] = static_cast<unsigned char>(value);
    }
    return true;
}

// One line without its newline: its op and lease, false when it does not
// read or its CRC does not match.
bool ParseLine(const std::string &line, char *lpOp, JournalLease *lpLease) {
    size_t cut = line.rfind(' ');
    if (cut == std::string::npos) return false;
    unsigned crc = 0;
    char tail = 0;
    if (sscanf(line.c_str() + cut + 1, "%8x%c", &crc, &tail) != 1 || line.size() - cut - 1 != 8) return false;
    if (JournalCrc32(line.data(), cut) != crc) return false;
    char op = 0, mac[16] = {}, ip[20] = {};
    int64_t expiry = 0;
    if (sscanf(line.c_str(), "%c %15s %19s %" SCNd64, &op, mac, ip, &expiry) != 4) return false;
    if ((op != 'L' && op != 'R') || !ParseMac(mac, lpLease->abMac)) return false;
    lpLease->dwIp = TextToHostIp(ip);
    lpLease->nExpiry = expiry;
    *lpOp = op;
    return true;
}

}  // namespace

uint32_t JournalCrc32(const char *lpText, size_t nLen) {
    uint32_t crc = 0xffffffffu;
    for (size_t i = 0; i < nLen; ++i) {
        crc ^= static_cast<unsigned char>(lpText[i]);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

int LeaseJournal::Open(const char *lpFolder) {
    Close();
    platform::CreateDirectoryPath(lpFolder);
    m_Path = std::string(lpFolder) + kFileName;
    ReadExisting();
    // The journal restarts as exactly what was loaded: damage and old lines go.
    int nResult = Compact(m_Loaded, true);
    if (nResult < 0)
        LogWrite(LOG_ERROR, "lease file %s cannot be written: %d", PrintableText(m_Path.c_str()).Text(), nResult);
    return nResult;
}

void LeaseJournal::Close() {
    if (m_hFile != platform::kInvalidFile) platform::FileClose(m_hFile);
    m_hFile = platform::kInvalidFile;
}

void LeaseJournal::ReadExisting() {
    m_Loaded.clear();
    platform::FileHandle file = platform::kInvalidFile;
    if (platform::FileOpenRead(m_Path.c_str(), &file) != 0) return;  // no journal yet
    uint64_t qwSize = 0;
    std::string text;
    if (platform::FileGetSize(file, &qwSize) == 0 && qwSize <= kMaxJournalBytes) {
        text.resize(static_cast<size_t>(qwSize));
        uint32_t got = 0;
        if (qwSize && (platform::FileReadAt(file, 0, &text[0], static_cast<uint32_t>(qwSize), &got) != 0 || got != qwSize))
            text.clear();
    }
    platform::FileClose(file);
    if (qwSize == 0) return;
    if (text.compare(0, sizeof kHeader - 1, kHeader) != 0 || text.size() < sizeof kHeader ||
        text[sizeof kHeader - 1] != '\n')
        return SetAside("is not a lease journal", 1);
    std::map<std::string, JournalLease> byMac;
    size_t at = sizeof kHeader;
    for (int nLine = 2; at < text.size(); ++nLine) {
        size_t end = text.find('\n', at);
        char op = 0;
        JournalLease lease{};
        if (end == std::string::npos || !ParseLine(text.substr(at, end - at), &op, &lease)) {
            SetAside(end == std::string::npos ? "ends in a cut line" : "is damaged", nLine);
            break;
        }
        std::string key(reinterpret_cast<const char *>(lease.abMac), 6);
        if (op == 'L') byMac[key] = lease;
        else byMac.erase(key);
        at = end + 1;
    }
    for (const auto &entry : byMac) m_Loaded.push_back(entry.second);
}

// The damaged file is kept beside the journal for a look; what read well
// before the damage is kept.
void LeaseJournal::SetAside(const char *lpWhy, int nLine) {
    std::string aside = m_Path + ".damaged";
    LogWrite(LOG_ERROR, "lease file %s %s at line %d: set aside as %s", PrintableText(m_Path.c_str()).Text(), lpWhy,
             nLine, PrintableText(aside.c_str()).Text());
    platform::FileReplace(m_Path.c_str(), aside.c_str());
}

void LeaseJournal::Append(const std::string &line) {
    if (m_hFile == platform::kInvalidFile) return;
    if (platform::FileWrite(m_hFile, line.data(), line.size()) < 0) {
        LogWrite(LOG_ERROR, "lease file %s: write failed", PrintableText(m_Path.c_str()).Text());
        return;
    }
    ++m_nLines;
}

void LeaseJournal::RecordLease(const JournalLease &lease) {
    Append(LeaseLine('L', lease.abMac, lease.dwIp, lease.nExpiry));
}

void LeaseJournal::RecordRemoval(const unsigned char *lpMac, uint32_t dwIp) { Append(LeaseLine('R', lpMac, dwIp, 0)); }

int LeaseJournal::Compact(const std::vector<JournalLease> &live, bool bSync) {
    std::string text = std::string(kHeader) + "\n";
    for (const JournalLease &lease : live) text += LeaseLine('L', lease.abMac, lease.dwIp, lease.nExpiry);
    std::string fresh = m_Path + ".new";
    platform::FileHandle file = platform::kInvalidFile;
    int nResult = platform::FileCreateEmpty(fresh.c_str(), &file);
    if (nResult == 0) {
        nResult = platform::FileWrite(file, text.data(), text.size());
        if (nResult >= 0 && bSync) nResult = platform::FileSync(file);
        platform::FileClose(file);
    }
    // Windows replaces no file that is open without delete sharing.
    Close();
    if (nResult >= 0) nResult = platform::FileReplace(fresh.c_str(), m_Path.c_str());
    if (nResult < 0)
        LogWrite(LOG_ERROR, "lease file %s: compaction failed: %d", PrintableText(m_Path.c_str()).Text(), nResult);
    int nReopen = platform::FileOpenAppend(m_Path.c_str(), &m_hFile);
    if (nReopen < 0) m_hFile = platform::kInvalidFile;
    if (nResult < 0) return nResult;
    nResult = nReopen;
    if (nResult < 0) m_hFile = platform::kInvalidFile;
    m_nLines = m_nCompacted = live.size();
    return nResult < 0 ? nResult : 0;
}
