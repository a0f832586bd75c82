#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_file.h"

namespace platform {

static std::atomic<const char *> g_ExePathOverride{nullptr};

static int Failure(DWORD error) { return -static_cast<int>(error); }

int GetHostExePath(char *buf, size_t size) {
    if (!buf || size == 0) return Failure(ERROR_INVALID_PARAMETER);
    if (const char *forced = g_ExePathOverride.load()) {
        size_t n = strlen(forced);
        if (n == 0) return Failure(ERROR_FILE_NOT_FOUND);
        if (n >= size) return Failure(ERROR_INSUFFICIENT_BUFFER);
        memcpy(buf, forced, n + 1);
        return static_cast<int>(n);
    }
    DWORD n = GetModuleFileNameA(nullptr, buf, static_cast<DWORD>(size));
    if (n == 0) return Failure(GetLastError());
    if (n >= size) return Failure(ERROR_INSUFFICIENT_BUFFER);
    return static_cast<int>(n);
}

void SetHostExePathOverride(const char *path) { g_ExePathOverride.store(path); }

int CreateDirectoryPath(const char *path) {
    int error = SHCreateDirectoryExA(nullptr, path, nullptr);
    return error == ERROR_SUCCESS || error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? 0 : Failure(error);
}

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

int AppendTextToFile(const char *path, const char *text, size_t len) {
    std::string data;
    data.reserve(len + 16);
    for (size_t i = 0; i < len; ++i) {
        if (text[i] == '\n') data += '\r';
        data += text[i];
    }
    HANDLE file = OpenNoLink(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (file == INVALID_HANDLE_VALUE) return Failure(GetLastError());
    DWORD written = 0;
    BOOL ok = WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    int error = !ok ? Failure(GetLastError()) : written == data.size() ? 0 : Failure(ERROR_WRITE_FAULT);
    CloseHandle(file);
    return error;
}

// Others may read a boot file the service holds, but not change it. Every
// read request opens the file again, so the service's own handles share it.
int FileOpenRead(const char *path, FileHandle *file) {
    *file = kInvalidFile;
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failure(GetLastError());
    // Only files on disk: never a device or a pipe reached by a name.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return Failure(ERROR_ACCESS_DENIED);
    }
    *file = reinterpret_cast<FileHandle>(handle);
    return 0;
}

int FileGetSize(FileHandle file, uint64_t *size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(file), &value)) return Failure(GetLastError());
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
        return Failure(GetLastError());
    if (got) *got = read;
    return 0;
}

int FileIdentityOf(FileHandle file, FileIdentity *identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &info)) return Failure(GetLastError());
    identity->qwVolume = info.dwVolumeSerialNumber;
    identity->qwIndex = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return 0;
}

int FileRealPath(FileHandle file, char *out, size_t size) {
    DWORD n = GetFinalPathNameByHandleA(reinterpret_cast<HANDLE>(file), out, static_cast<DWORD>(size),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return Failure(GetLastError());
    return n < size ? 0 : Failure(ERROR_FILENAME_EXCED_RANGE);
}

// Folders open only with backup semantics; junctions and links are followed.
int RealPathOf(const char *path, char *out, size_t size) {
    HANDLE folder = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return Failure(GetLastError());
    int error = FileRealPath(reinterpret_cast<FileHandle>(folder), out, size);
    CloseHandle(folder);
    return error;
}

bool PathInsideFolder(const char *path, const char *folder) {
    size_t n = strlen(folder);
    while (n > 0 && (folder[n - 1] == '\\' || folder[n - 1] == '/')) --n;
    return _strnicmp(path, folder, n) == 0 && (path[n] == '\\' || path[n] == '/');
}

const int kErrorAccessDenied = -ERROR_ACCESS_DENIED;
const int kErrorFileTooLarge = -ERROR_FILE_TOO_LARGE;

void FileClose(FileHandle file) {
    if (file != kInvalidFile) CloseHandle(reinterpret_cast<HANDLE>(file));
}

int PathCheck(const char *path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 0 : Failure(GetLastError());
}

// Windows names are case-insensitive already: the name found is the name given.
int FindEntryNoCase(const char *dir, const char *name, char *out, size_t outSize) {
    (void)dir;
    if (strlen(name) >= outSize) return Failure(ERROR_INSUFFICIENT_BUFFER);
    strcpy(out, name);
    return 0;
}

int LastError() { return static_cast<int>(GetLastError()); }
const char *LastErrorText() { return strerror(errno); }

}  // namespace platform
