#include "dhcp/lease_journal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log/log_text.h"
#include "log/logger.h"

namespace {

constexpr uint64_t kUnknownLength = UINT64_MAX;

}  // namespace

int LeaseJournal::Open(const char *lpFolder, const char *lpFileName) {
    Close();
    platform::CreateDirectoryPath(lpFolder);
    m_Path = std::string(lpFolder) + lpFileName;
    ReadExisting();
    // The journal restarts as exactly what was loaded: damage and old lines go.
    int nResult = Compact(m_Loaded, true, &m_LoadedDeclines);
    if (nResult < 0)
        LogWrite(LOG_ERROR, "lease file %s cannot be written: %d", PrintableText(m_Path.c_str()).Text(), nResult);
    return nResult;
}

void LeaseJournal::Close() {
    if (m_hFile != platform::kInvalidFile) platform::FileClose(m_hFile);
    m_hFile = platform::kInvalidFile;
}

void LeaseJournal::ReadExisting() {
    m_bHistoryWhole = false;
    m_nFileFormat = kLeaseFileFormat;
    LeaseFileReading reading;
    int nResult = ReadLeaseFile(m_Path.c_str(), &m_Loaded, &reading, &m_LoadedDeclines);
    if (nResult < 0) {
        LogWrite(LOG_ERROR, "lease file %s cannot be read: %d", PrintableText(m_Path.c_str()).Text(), nResult);
        return SetAside();
    }
    if (reading.bForeign) {
        LogWrite(LOG_ERROR, "lease file %s is not a lease journal (no header line)", PrintableText(m_Path.c_str()).Text());
        return SetAside();
    }
    if (reading.nDamaged)
        LogWrite(LOG_ERROR, "lease file %s: %u damaged lines skipped, the first at line %u; the other %u lines read",
                 PrintableText(m_Path.c_str()).Text(), static_cast<unsigned>(reading.nDamaged),
                 static_cast<unsigned>(reading.nFirstDamaged), static_cast<unsigned>(reading.nLines - reading.nDamaged));
    // Should compaction fail, lines go on after a cut one: a newline ends it.
    m_bStartLine = reading.bEndsCut;
    if (reading.nFormat != 0) m_nFileFormat = reading.nFormat;
    m_bHistoryWhole = reading.bHeader && reading.nDamaged == (reading.bEndsCut ? 1u : 0u);
}

// A file that is not a lease journal is kept beside it for a look, and a
// fresh journal takes its place.
void LeaseJournal::SetAside() {
    m_Loaded.clear();
    m_LoadedDeclines.clear();
    std::string aside = m_Path + ".damaged";
    LogWrite(LOG_ERROR, "lease file %s set aside as %s", PrintableText(m_Path.c_str()).Text(),
             PrintableText(aside.c_str()).Text());
    platform::FileReplace(m_Path.c_str(), aside.c_str());
}

// A failed or short write leaves the file as it was: the torn bytes are cut
// off, and the next compaction brings back what the file now lacks.
bool LeaseJournal::Append(const std::string &line) {
    if (m_hFile == platform::kInvalidFile) Reopen();  // a failed compaction lost it
    std::string text = m_bStartLine ? "\n" + line : line;
    int nResult = m_hFile == platform::kInvalidFile ? -EBADF : platform::FileWrite(m_hFile, text.data(), text.size());
    if (nResult >= 0 && static_cast<size_t>(nResult) == text.size()) {
        if (m_bWriteFailing)
            LogWrite(LOG_ERROR, "lease file %s is written again", PrintableText(m_Path.c_str()).Text());
        m_bWriteFailing = m_bStartLine = false;
        if (m_qwGoodLength != kUnknownLength) m_qwGoodLength += text.size();
        ++m_nLines;
        return true;
    }
    if (!m_bWriteFailing)
        LogWrite(LOG_ERROR, "lease file %s: write failed: %d; no lease is acknowledged until it is written again",
                 PrintableText(m_Path.c_str()).Text(), nResult);
    m_bWriteFailing = m_bMissingLines = true;
    // The disk was full: once it takes a line again, compaction is tried
    // at once, whatever a back-off said.
    m_nRetryAtLine = 0;
    CutBack();
    return false;
}

void LeaseJournal::CutBack() {
    if (m_hFile != platform::kInvalidFile && m_qwGoodLength != kUnknownLength &&
        platform::FileTruncate(m_hFile, m_qwGoodLength) == 0)
        return;
    m_bStartLine = true;
}

bool LeaseJournal::RecordLease(const JournalLease &lease) { return Record('L', lease); }

bool LeaseJournal::RecordRemoval(const JournalLease &lease) { return Record('R', lease); }

bool LeaseJournal::RecordDecline(const JournalLease &lease) { return Record('D', lease); }

// Lines go on in the format of the file they join: one of format 1 stays so
// until a compaction rewrites it, which the lease a line cannot hold asks for.
bool LeaseJournal::Record(char chOp, const JournalLease &lease) {
    std::string line = LeaseFileLine(chOp, lease, m_nFileFormat);
    if (!line.empty()) return Append(line);
    m_bMissingLines = true;
    m_nRetryAtLine = 0;
    return false;
}

bool LeaseJournal::WantsCompaction() const {
    if (m_nLines < m_nRetryAtLine) return false;
    return m_bMissingLines || m_nLines > 3 * m_nCompacted + kCompactionSlack;
}

int LeaseJournal::WriteFresh(const std::string &fresh, const std::vector<JournalLease> &live,
                             const std::vector<JournalLease> *lpDeclines, bool bSync) {
    std::string text = std::string(kLeaseFileHeader) + "\n";
    for (const JournalLease &lease : live) text += LeaseFileLine('L', lease);
    for (size_t i = 0; lpDeclines && i < lpDeclines->size(); ++i) text += LeaseFileLine('D', (*lpDeclines)[i]);
    platform::FileHandle file = platform::kInvalidFile;
    int nResult = platform::FileCreateEmpty(fresh.c_str(), &file);
    if (nResult < 0) return nResult;
    nResult = platform::FileWrite(file, text.data(), text.size());
    if (nResult >= 0 && static_cast<size_t>(nResult) != text.size()) nResult = -EIO;
    if (nResult >= 0 && bSync) nResult = platform::FileSync(file);
    platform::FileClose(file);
    return nResult < 0 ? nResult : 0;
}

int LeaseJournal::Compact(const std::vector<JournalLease> &live, bool bSync,
                          const std::vector<JournalLease> *lpDeclines) {
    std::string fresh = m_Path + ".new";
    int nResult = WriteFresh(fresh, live, lpDeclines, bSync);
    // Windows replaces no file that is open without delete sharing.
    Close();
    if (nResult >= 0) nResult = platform::FileReplace(fresh.c_str(), m_Path.c_str());
    // A partial copy would keep a full disk full.
    if (nResult < 0) platform::FileRemove(fresh.c_str());
    else m_bStartLine = false;
    Reopen();
    if (nResult < 0) {
        BackOff(nResult);
        return nResult;
    }
    m_nLines = m_nCompacted = live.size() + (lpDeclines ? lpDeclines->size() : 0);
    m_nFileFormat = kLeaseFileFormat;
    m_bMissingLines = false;
    m_nRetryAtLine = 0;
    m_nRetryLines = kCompactionRetryFirst;
    return IsOpen() ? 0 : -1;
}

void LeaseJournal::Reopen() {
    Close();
    uint64_t qwSize = 0;
    if (platform::FileOpenAppend(m_Path.c_str(), &m_hFile) < 0) m_hFile = platform::kInvalidFile;
    else if (platform::FileGetSize(m_hFile, &qwSize) < 0) qwSize = kUnknownLength;
    m_qwGoodLength = qwSize;
    if (qwSize == kUnknownLength) m_bStartLine = true;
}

// One line per failure: the tries come ever further apart.
void LeaseJournal::BackOff(int nResult) {
    m_nRetryAtLine = m_nLines + m_nRetryLines;
    LogWrite(LOG_ERROR, "lease file %s: compaction failed: %d; tried again after %u more lines",
             PrintableText(m_Path.c_str()).Text(), nResult, static_cast<unsigned>(m_nRetryLines));
    m_nRetryLines = std::min(2 * m_nRetryLines, kCompactionRetryMost);
}
