// The boot-file table: the files transfers are reading, one record and one
// open handle per file (whatever name reached it), kept while a transfer
// uses it. Every read request opens its name afresh, so a file replaced or
// rewritten since is served as it now is.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "tftp/boot_path.h"
#include "tftp/tftp_render.h"

struct tag_BootFile {
    char szFileName[kBootFileNameSize];  // as requested when the file was opened
    uint32_t dwSize;                     // at the latest request
    platform::FileHandle hFile;
    platform::FileIdentity stIdentity;
    int32_t nUsers;  // transfers holding the record
    tag_BootFile *lpNext;
    // A file the host rendered for one transfer: its bytes, no handle, and
    // no identity, so no other request finds it.
    bool bRendered;
    RenderedBytes stRendered;
};

struct tag_BootFileTable {
    char szRootPath[platform::kMaxPath];
    tag_BootFile *lpHead;
};

tag_BootFileTable *create_bootfile_table(const char *lpRootPath);
// The record holding the file with this identity, or null.
tag_BootFile *find_bootfile(tag_BootFileTable *lpTable, const platform::FileIdentity &identity);
// Opens the name under the boot folder: 0 with the handle and its size, or
// the platform's negative error code. A file whose real location lies outside the
// folder (through a link or junction) is refused, and *lpbOutside set.
int open_bootfile(tag_BootFileTable *lpTable, const char *lpName, platform::FileHandle *lphFile, uint32_t *lpdwSize,
                  bool *lpbOutside = nullptr);
// 0 and the file's record, with one more user; -1 when no record can be
// had; -2 when the name is refused or the file cannot be opened (no record
// is kept for it). *lpnRefusal, when given, says why with a TAVREL_REASON_*.
int get_bootfile(tag_BootFileTable *lpTable, const char *lpName, tag_BootFile **lppBootFile,
                 int *lpnRefusal = nullptr);
// A record, with its one user, that takes over the rendered bytes (*lpBytes
// is emptied); -1, the bytes released, when no record can be had.
int add_rendered_bootfile(tag_BootFileTable *lpTable, const char *lpName, RenderedBytes *lpBytes,
                          tag_BootFile **lppBootFile);
// One user fewer; the last one closes the file and drops the record.
void release_bootfile(tag_BootFileTable *lpTable, tag_BootFile *lpBootFile);
// 0 when exactly dwReadSize bytes were read: a file that has shrunk since it
// was opened fails the read rather than yield bytes that were not read.
int read_bootfile(tag_BootFile *lpBootFile, uint32_t dwOffer, uint32_t dwReadSize, void *lpBuffer);
void free_bootfile_table(tag_BootFileTable *lpTable);
