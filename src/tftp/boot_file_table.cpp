#include "tftp/boot_file_table.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "Tavrel.h"
#include "log/logger.h"
#include "tftp/tftp_failure.h"

namespace {

bool SameIdentity(const platform::FileIdentity &a, const platform::FileIdentity &b) {
    return a.qwVolume == b.qwVolume && a.qwIndex == b.qwIndex;
}

// A link or junction inside the folder may point anywhere: what counts is
// where the opened file really lies.
int CheckInsideRoot(tag_BootFileTable *lpTable, platform::FileHandle file) {
    char real[kRealPathSize];
    bool bInside = false;
    int nError = LocateBootFile(lpTable->szRootPath, file, real, sizeof real, &bInside);
    if (nError != 0 || bInside) return nError;
    LogWriteText("boot file outside the boot folder: %s", PrintableText(real).Text());
    return platform::kErrorAccessDenied;
}

void FreeRecord(tag_BootFile *lpRecord) {
    if (lpRecord->bRendered)
        ReleaseRenderedBytes(&lpRecord->stRendered);
    else
        platform::FileClose(lpRecord->hFile);
    delete lpRecord;
}

}  // namespace

tag_BootFileTable *create_bootfile_table(const char *lpRootPath) {
    tag_BootFileTable *table = new (std::nothrow) tag_BootFileTable();
    if (table) snprintf(table->szRootPath, sizeof table->szRootPath, "%s", lpRootPath);
    return table;
}

tag_BootFile *find_bootfile(tag_BootFileTable *lpTable, const platform::FileIdentity &identity) {
    for (tag_BootFile *record = lpTable->lpHead; record; record = record->lpNext)
        if (!record->bRendered && SameIdentity(record->stIdentity, identity)) return record;
    return nullptr;
}

int open_bootfile(tag_BootFileTable *lpTable, const char *lpName, platform::FileHandle *lphFile, uint32_t *lpdwSize,
                  bool *lpbOutside) {
    if (!lpTable || !lpName) return -1;
    char path[platform::kMaxPath];
    if (!MakeBootFilePath(lpTable->szRootPath, lpName, path, sizeof path)) {
        LogWriteText("boot file path too long: %s", PrintableText(lpName).Text());
        return platform::kErrorFileTooLarge;
    }
    platform::FileHandle file = platform::kInvalidFile;
    int nError = platform::FileOpenRead(path, &file);
    if (nError != 0) return nError;
    uint64_t qwSize = 0;
    nError = platform::FileGetSize(file, &qwSize);
    if (nError != 0) {
        LogWriteText("GetFileSize error %s ,bootfile:%d", PrintableText(lpName).Text(), 132);
    } else if (qwSize > 0xFFFFFFFFull) {  // dwSize and the transfer offsets are 32-bit
        LogWriteText("boot file %s is 4 GiB or more", PrintableText(lpName).Text());
        nError = platform::kErrorFileTooLarge;
    } else {
        nError = CheckInsideRoot(lpTable, file);
        if (nError == platform::kErrorAccessDenied && lpbOutside) *lpbOutside = true;
    }
    if (nError != 0) {
        platform::FileClose(file);
        return nError;
    }
    *lphFile = file;
    *lpdwSize = static_cast<uint32_t>(qwSize);
    return 0;
}

int get_bootfile(tag_BootFileTable *lpTable, const char *lpName, tag_BootFile **lppBootFile, int *lpnRefusal) {
    auto refuse = [lpnRefusal](int nReason) {
        if (lpnRefusal) *lpnRefusal = nReason;
        return -2;
    };
    if (const char *lpWhy = RefuseBootFileName(lpName)) {
        LogWriteText("refused boot file %s: %s", PrintableText(lpName).Text(), lpWhy);
        return refuse(TAVREL_REASON_NAME_REFUSED);
    }
    platform::FileHandle file = platform::kInvalidFile;
    uint32_t dwSize = 0;
    platform::FileIdentity identity{};
    bool bOutside = false;
    int nError = open_bootfile(lpTable, lpName, &file, &dwSize, &bOutside);
    if (nError == 0 && (nError = platform::FileIdentityOf(file, &identity)) != 0) platform::FileClose(file);
    if (nError != 0) {
        LogWriteText("open_bootfile error %s :%d", PrintableText(lpName).Text(), -nError);  // the system's code
        return refuse(bOutside                                 ? TAVREL_REASON_OUTSIDE_FOLDER
                      : nError == platform::kErrorFileTooLarge ? TAVREL_REASON_READ_FAILED
                                                               : TAVREL_REASON_NOT_FOUND);
    }
    tag_BootFile *record = find_bootfile(lpTable, identity);
    if (record) {
        platform::FileClose(file);  // one handle per file is enough
    } else {
        record = new (std::nothrow) tag_BootFile();
        if (!record) {
            platform::FileClose(file);
            return -1;
        }
        snprintf(record->szFileName, sizeof record->szFileName, "%s", lpName);
        record->hFile = file;
        record->stIdentity = identity;
        record->lpNext = lpTable->lpHead;
        lpTable->lpHead = record;
    }
    record->dwSize = dwSize;
    ++record->nUsers;
    *lppBootFile = record;
    return 0;
}

int add_rendered_bootfile(tag_BootFileTable *lpTable, const char *lpName, RenderedBytes *lpBytes,
                          tag_BootFile **lppBootFile) {
    tag_BootFile *record = new (std::nothrow) tag_BootFile();
    if (!record) {
        ReleaseRenderedBytes(lpBytes);
        return -1;
    }
    snprintf(record->szFileName, sizeof record->szFileName, "%s", lpName);
    record->hFile = platform::kInvalidFile;
    record->bRendered = true;
    record->stRendered = *lpBytes;
    *lpBytes = RenderedBytes{};
    record->dwSize = record->stRendered.dwSize;
    record->nUsers = 1;
    record->lpNext = lpTable->lpHead;
    lpTable->lpHead = record;
    *lppBootFile = record;
    return 0;
}

void release_bootfile(tag_BootFileTable *lpTable, tag_BootFile *lpBootFile) {
    if (!lpBootFile || --lpBootFile->nUsers > 0) return;
    for (tag_BootFile **link = &lpTable->lpHead; *link; link = &(*link)->lpNext) {
        if (*link != lpBootFile) continue;
        *link = lpBootFile->lpNext;
        FreeRecord(lpBootFile);
        return;
    }
}

int read_bootfile(tag_BootFile *lpBootFile, uint32_t dwOffer, uint32_t dwReadSize, void *lpBuffer) {
    if (!lpBootFile || !lpBuffer) return -1;
    // Compared in 64 bits: a 32-bit sum could wrap past the end unnoticed.
    if (dwReadSize > 0 && static_cast<uint64_t>(dwOffer) + dwReadSize > lpBootFile->dwSize)
        return LogTftpdFailure("dwReadSize > 0 && dwOffer >=0 && dwOffer+dwReadSize >= BootFile->dwSize ", 69);
    if (lpBootFile->bRendered) {
        if (dwReadSize > 0) memcpy(lpBuffer, lpBootFile->stRendered.lpBytes + dwOffer, dwReadSize);
        return 0;
    }
    uint32_t got = 0;
    if (platform::FileReadAt(lpBootFile->hFile, dwOffer, lpBuffer, dwReadSize, &got) != 0)
        return LogTftpdFailure("ReadFileEx Fail", 86);
    if (got != dwReadSize) {
        LogWriteText("boot file %s is shorter than when opened", PrintableText(lpBootFile->szFileName).Text());
        return -1;
    }
    return 0;
}

void free_bootfile_table(tag_BootFileTable *lpTable) {
    tag_BootFile *record = lpTable->lpHead;
    while (record) {
        tag_BootFile *next = record->lpNext;
        FreeRecord(record);
        record = next;
    }
    lpTable->lpHead = nullptr;
}
