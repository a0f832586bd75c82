// Areas of file bytes read ahead for transfers: a block is then one copy
// instead of one read of the file, and a window a read or two. A fixed
// number of areas, each lent to one transfer at a time; a transfer that
// finds none free reads block by block.
#pragma once

#include <cstdint>

#include "tftp/boot_file_table.h"

class ReadAheadPool {
public:
    // Whole blocks of up to this many bytes are read at once.
    static constexpr uint32_t kAreaSize = 16384;
    static constexpr int kAreas = 256;

    ReadAheadPool() = default;
    ReadAheadPool(const ReadAheadPool &) = delete;
    ReadAheadPool &operator=(const ReadAheadPool &) = delete;
    ~ReadAheadPool();

    // An area's number, or 0 when none is free. The areas are allocated at
    // the first call, so a service that never sends costs nothing.
    int32_t Take();
    void Give(int32_t nArea);
    // Every area free, as when the transfers holding them are all gone.
    void Reset();
    // Areas lent and not yet given back.
    int Lent() const { return m_nLent; }
    // Copies dwLength bytes at dwOffset of the file, the start of a block of
    // dwBlockSize bytes, into lpOut. Bytes the area does not hold are read
    // first, as many whole blocks as fit, up to dwEnd (the transfer's size).
    // 0, or -1 when the file no longer holds them.
    int Read(int32_t nArea, tag_BootFile *lpFile, uint32_t dwOffset, uint32_t dwLength, uint32_t dwBlockSize,
             uint32_t dwEnd, void *lpOut);

private:
    struct Span {
        uint32_t dwStart, dwLength;  // the file's bytes the area holds
        int32_t nNextFree;           // number of the next free area, or 0
    };

    bool Allocate();

    Span *m_lpSpans = nullptr;
    unsigned char *m_lpBytes = nullptr;  // kAreas * kAreaSize, touched only as areas fill
    int32_t m_nFree = 0;
    int m_nLent = 0;
    bool m_bFailed = false;  // allocation failed once: block by block from then on
};
