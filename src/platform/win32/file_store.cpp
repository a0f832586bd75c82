// Folder listing and the durable writes of the lease journal.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/win32_file.h"

namespace platform {

static int Failure() { return -static_cast<int>(GetLastError()); }

int ListFolder(const char *dir, FolderVisit visit, void *arg) {
    char pattern[kMaxPath + 4];
    snprintf(pattern, sizeof pattern, "%s%s*", dir, dir[0] && dir[strlen(dir) - 1] == '\\' ? "" : "\\");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return Failure();
    do {
        if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0) continue;
        visit(found.cFileName, arg);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return 0;
}

int FileRemove(const char *path) { return DeleteFileA(path) ? 0 : Failure(); }

// Write access beside append access lets FileTruncate cut the file back;
// FileWrite still writes at the end.
int FileOpenAppend(const char *path, FileHandle *file) {
    HANDLE handle = OpenNoLink(path, FILE_APPEND_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, 0);
    if (handle == INVALID_HANDLE_VALUE) return Failure();
    *file = reinterpret_cast<FileHandle>(handle);
    return 0;
}

int FileCreateEmpty(const char *path, FileHandle *file) {
    HANDLE handle = OpenNoLink(path, GENERIC_WRITE, FILE_SHARE_READ, 0);
    if (handle == INVALID_HANDLE_VALUE) return Failure();
    if (!SetEndOfFile(handle)) {
        int code = Failure();
        CloseHandle(handle);
        return code;
    }
    *file = reinterpret_cast<FileHandle>(handle);
    return 0;
}

// Both offsets at 0xFFFFFFFF write at the file's end, as an append-only
// handle does: the handle of FileOpenAppend may also write elsewhere.
int FileWrite(FileHandle file, const void *data, size_t len) {
    DWORD written = 0;
    OVERLAPPED atEnd{};
    atEnd.Offset = atEnd.OffsetHigh = 0xFFFFFFFFu;
    if (!WriteFile(reinterpret_cast<HANDLE>(file), data, static_cast<DWORD>(len), &written, &atEnd)) return Failure();
    return static_cast<int>(written);
}

int FileTruncate(FileHandle file, uint64_t size) {
    HANDLE handle = reinterpret_cast<HANDLE>(file);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) return Failure();
    return 0;
}

int FileSync(FileHandle file) { return FlushFileBuffers(reinterpret_cast<HANDLE>(file)) ? 0 : Failure(); }

int FileReplace(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : Failure();
}

}  // namespace platform
