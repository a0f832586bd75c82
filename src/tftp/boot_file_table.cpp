#include "tftp/boot_file_table.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "log/logger.h"
#include "tftp/tftp_failure.h"

namespace {

bool SameNameIgnoringCase(const char *a, const char *b) {
    for (;; ++a, ++b) {
        char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) return false;
        if (!x) return true;
    }
}

}  // namespace

tag_BootFileTable *create_bootfile_table(const char *lpRootPath) {
    tag_BootFileTable *table = new (std::nothrow) tag_BootFileTable();
    if (table) snprintf(table->szRootPath, sizeof table->szRootPath, "%s", lpRootPath);
    return table;
}

int find_bootfile(tag_BootFileTable *lpTable, const char *lpName, tag_BootFile **lppBootFile) {
    tag_BootFile **link = &lpTable->lpHead;
    for (; *link; link = &(*link)->lpNext) {
        if (SameNameIgnoringCase((*link)->szFileName, lpName)) {
            *lppBootFile = *link;
            return 0;
        }
    }
    tag_BootFile *record = new (std::nothrow) tag_BootFile();
    if (!record) return -1;
    snprintf(record->szFileName, sizeof record->szFileName, "%s", lpName);
    record->hFile = platform::kInvalidFile;
    *link = record;
    *lppBootFile = record;
    return 0;
}

int open_bootfile(tag_BootFile *lpBootFile, tag_BootFileTable *lpTable, const char *lpName) {
    if (!lpBootFile || !lpName) return -1;
    char path[platform::kMaxPath];
    if (!MakeBootFilePath(lpTable->szRootPath, lpName, path, sizeof path)) {
        LogWriteText("boot file path too long: %s", lpName);
        return platform::kErrorFileTooLarge;
    }
    platform::FileHandle file = platform::kInvalidFile;
    int nError = platform::FileOpenRead(path, &file);
    if (nError != 0) return nError;
    uint64_t qwSize = 0;
    nError = platform::FileGetSize(file, &qwSize);
    if (nError != 0) {
        LogWriteText("GetFileSize error %s ,bootfile:%d", lpName, 132);
        platform::FileClose(file);
        return nError;
    }
    // dwSize and the transfer offsets are 32-bit.
    if (qwSize > 0xFFFFFFFFull) {
        LogWriteText("boot file %s is 4 GiB or more", lpName);
        platform::FileClose(file);
        return platform::kErrorFileTooLarge;
    }
    lpBootFile->dwSize = static_cast<uint32_t>(qwSize);
    lpBootFile->hFile = file;
    return 0;
}

int get_bootfile(tag_BootFileTable *lpTable, const char *lpName, tag_BootFile **lppBootFile) {
    if (const char *lpWhy = RefuseBootFileName(lpName)) {
        LogWriteText("refused boot file %s: %s", lpName, lpWhy);
        return -2;
    }
    tag_BootFile *record = nullptr;
    if (find_bootfile(lpTable, lpName, &record) != 0 || !record) return -1;
    if (record->hFile == platform::kInvalidFile) {
        int nError = open_bootfile(record, lpTable, lpName);
        if (nError != 0) {
            LogWriteText("open_bootfile error %s :%d", lpName, nError);
            return -2;
        }
    }
    *lppBootFile = record;
    return 0;
}

int read_bootfile(tag_BootFile *lpBootFile, uint32_t dwOffer, uint32_t dwReadSize, void *lpBuffer) {
    if (!lpBootFile || !lpBuffer) return -1;
    // Compared in 64 bits: a 32-bit sum could wrap past the end unnoticed.
    if (dwReadSize > 0 && static_cast<uint64_t>(dwOffer) + dwReadSize > lpBootFile->dwSize)
        return LogTftpdFailure("dwReadSize > 0 && dwOffer >=0 && dwOffer+dwReadSize >= BootFile->dwSize ", 69);
    if (platform::FileSeek(lpBootFile->hFile, dwOffer) != 0) return LogTftpdFailure("SetFilePointerEx Fail", 82);
    uint32_t got = 0;
    if (platform::FileRead(lpBootFile->hFile, lpBuffer, dwReadSize, &got) != 0)
        return LogTftpdFailure("ReadFileEx Fail", 86);
    return 0;
}

void free_bootfile_table(tag_BootFileTable *lpTable) {
    tag_BootFile *record = lpTable->lpHead;
    while (record) {
        tag_BootFile *next = record->lpNext;
        platform::FileClose(record->hFile);
        delete record;
        record = next;
    }
    lpTable->lpHead = nullptr;
}
