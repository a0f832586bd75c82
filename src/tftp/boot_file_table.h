// The boot-file table: every name clients asked for, each file opened once
// on its first request and kept open, with its size, until the service stops.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "tftp/boot_path.h"

struct tag_BootFile {
    char szFileName[kBootFileNameSize];  // as first requested
    uint32_t dwSize;
    platform::FileHandle hFile;  // kInvalidFile while not open
    tag_BootFile *lpNext;
};

struct tag_BootFileTable {
    char szRootPath[platform::kMaxPath];
    tag_BootFile *lpHead;
};

tag_BootFileTable *create_bootfile_table(const char *lpRootPath);
// The record for the name (letter case ignored), added when new.
int find_bootfile(tag_BootFileTable *lpTable, const char *lpName, tag_BootFile **lppBootFile);
// 0 when open, -1 without record or name, else the system's error code.
int open_bootfile(tag_BootFile *lpBootFile, tag_BootFileTable *lpTable, const char *lpName);
// 0 and an open record; -1 when no record can be had; -2 when the name is
// refused or the file cannot be opened.
int get_bootfile(tag_BootFileTable *lpTable, const char *lpName, tag_BootFile **lppBootFile);
int read_bootfile(tag_BootFile *lpBootFile, uint32_t dwOffer, uint32_t dwReadSize, void *lpBuffer);
void free_bootfile_table(tag_BootFileTable *lpTable);
