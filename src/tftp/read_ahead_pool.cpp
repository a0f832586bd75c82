#include "tftp/read_ahead_pool.h"

#include <cstring>
#include <new>

ReadAheadPool::~ReadAheadPool() {
    delete[] m_lpSpans;
    delete[] m_lpBytes;
}

bool ReadAheadPool::Allocate() {
    m_lpSpans = new (std::nothrow) Span[kAreas];
    m_lpBytes = new (std::nothrow) unsigned char[static_cast<size_t>(kAreas) * kAreaSize];
    if (!m_lpSpans || !m_lpBytes) {
        delete[] m_lpSpans;
        delete[] m_lpBytes;
        m_lpSpans = nullptr;
        m_lpBytes = nullptr;
        m_bFailed = true;
        return false;
    }
    Reset();
    return true;
}

void ReadAheadPool::Reset() {
    m_nLent = 0;
    if (!m_lpSpans) return;
    for (int i = 0; i < kAreas; ++i) m_lpSpans[i] = Span{0, 0, i + 1 < kAreas ? i + 2 : 0};
    m_nFree = 1;
}

int32_t ReadAheadPool::Take() {
    if (!m_lpSpans && (m_bFailed || !Allocate())) return 0;
    int32_t nArea = m_nFree;
    if (nArea == 0) return 0;
    Span &span = m_lpSpans[nArea - 1];
    m_nFree = span.nNextFree;
    span = Span{0, 0, 0};
    ++m_nLent;
    return nArea;
}

void ReadAheadPool::Give(int32_t nArea) {
    if (nArea < 1 || nArea > kAreas || !m_lpSpans) return;
    m_lpSpans[nArea - 1] = Span{0, 0, m_nFree};
    m_nFree = nArea;
    --m_nLent;
}

int ReadAheadPool::Read(int32_t nArea, tag_BootFile *lpFile, uint32_t dwOffset, uint32_t dwLength,
                        uint32_t dwBlockSize, uint32_t dwEnd, void *lpOut) {
    if (dwLength == 0) return 0;
    Span &span = m_lpSpans[nArea - 1];
    unsigned char *lpArea = m_lpBytes + static_cast<size_t>(nArea - 1) * kAreaSize;
    // In 64 bits: a 32-bit sum could wrap.
    bool bHeld = dwOffset >= span.dwStart &&
                 static_cast<uint64_t>(dwOffset) + dwLength <= static_cast<uint64_t>(span.dwStart) + span.dwLength;
    if (!bHeld) {
        if (dwBlockSize == 0 || static_cast<uint64_t>(dwOffset) + dwLength > dwEnd) return -1;
        uint32_t dwFill = dwBlockSize < kAreaSize ? kAreaSize / dwBlockSize * dwBlockSize : dwLength;
        if (dwFill > dwEnd - dwOffset) dwFill = dwEnd - dwOffset;
        span.dwLength = 0;
        if (dwFill < dwLength || read_bootfile(lpFile, dwOffset, dwFill, lpArea) != 0) return -1;
        span.dwStart = dwOffset;
        span.dwLength = dwFill;
    }
    memcpy(lpOut, lpArea + (dwOffset - span.dwStart), dwLength);
    return 0;
}
