#include <windows.h>
#include <shlobj.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_file.h"

namespace platform {

static const char *volatile g_ExePathOverride = nullptr;

size_t GetHostExePath(char *buf, size_t size) {
    if (!buf || size == 0) return 0;
    if (const char *forced = g_ExePathOverride) {
        size_t n = strlen(forced);
        if (n >= size) return 0;
        memcpy(buf, forced, n + 1);
        return n;
    }
    DWORD n = GetModuleFileNameA(nullptr, buf, static_cast<DWORD>(size));
    if (n == 0 || n >= size) return 0;
    return n;
}

void SetHostExePathOverride(const char *path) { g_ExePathOverride = path; }

void CreateDirectoryPath(const char *path) { SHCreateDirectoryExA(nullptr, path, nullptr); }

int ReadIniInt(const char *path, const char *section, const char *key, int def) {
    return static_cast<int>(GetPrivateProfileIntA(section, key, def, path));
}

HANDLE OpenNoLink(const char *path, DWORD dwAccess, DWORD dwShare, DWORD dwFlags) {
    HANDLE file = CreateFileA(path, dwAccess, dwShare, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | dwFlags, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    if (file != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

bool AppendTextToFile(const char *path, const char *text, size_t len) {
    std::string data;
    data.reserve(len + 16);
    for (size_t i = 0; i < len; ++i) {
        if (text[i] == '\n') data += '\r';
        data += text[i];
    }
    HANDLE file = OpenNoLink(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == data.size();
}

// Others may read a boot file the service holds, but not change it. Every
// read request opens the file again, so the service's own handles share it.
int FileOpenRead(const char *path, FileHandle *file) {
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    // Only files on disk: never a device or a pipe reached by a name.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return ERROR_ACCESS_DENIED;
    }
    *file = reinterpret_cast<FileHandle>(handle);
    return 0;
}

int FileGetSize(FileHandle file, uint64_t *size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(file), &value)) return static_cast<int>(GetLastError());
    *size = static_cast<uint64_t>(value.QuadPart);
    return 0;
}

// The offset in the OVERLAPPED record positions a synchronous read.
int FileReadAt(FileHandle file, uint64_t offset, void *buf, uint32_t len, uint32_t *got) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(file), buf, len, &read, &at) && GetLastError() != ERROR_HANDLE_EOF)
        return static_cast<int>(GetLastError());
    if (got) *got = read;
    return 0;
}

int FileIdentityOf(FileHandle file, FileIdentity *identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &info)) return static_cast<int>(GetLastError());
    identity->qwVolume = info.dwVolumeSerialNumber;
    identity->qwIndex = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return 0;
}

int FileRealPath(FileHandle file, char *out, size_t size) {
    DWORD n = GetFinalPathNameByHandleA(reinterpret_cast<HANDLE>(file), out, static_cast<DWORD>(size),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return static_cast<int>(GetLastError());
    return n < size ? 0 : ERROR_FILENAME_EXCED_RANGE;
}

// Folders open only with backup semantics; junctions and links are followed.
int RealPathOf(const char *path, char *out, size_t size) {
    HANDLE folder = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    int error = FileRealPath(reinterpret_cast<FileHandle>(folder), out, size);
    CloseHandle(folder);
    return error;
}

bool PathInsideFolder(const char *path, const char *folder) {
    size_t n = strlen(folder);
    while (n > 0 && (folder[n - 1] == '\\' || folder[n - 1] == '/')) --n;
    return _strnicmp(path, folder, n) == 0 && (path[n] == '\\' || path[n] == '/');
}

const int kErrorAccessDenied = ERROR_ACCESS_DENIED;
const int kErrorFileTooLarge = ERROR_FILE_TOO_LARGE;

void FileClose(FileHandle file) {
    if (file != kInvalidFile) CloseHandle(reinterpret_cast<HANDLE>(file));
}

bool PathExists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// Windows names are case-insensitive already: the name found is the name given.
bool FindEntryNoCase(const char *dir, const char *name, char *out, size_t outSize) {
    (void)dir;
    if (strlen(name) >= outSize) return false;
    strcpy(out, name);
    return true;
}

int LastError() { return static_cast<int>(GetLastError()); }
const char *LastErrorText() { return strerror(errno); }

}  // namespace platform
