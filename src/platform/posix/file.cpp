#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {

static std::atomic<const char *> g_ExePathOverride{nullptr};

int GetHostExePath(char *buf, size_t size) {
    if (!buf || size == 0) return -EINVAL;
    if (const char *forced = g_ExePathOverride.load()) {
        size_t n = strlen(forced);
        if (n == 0) return -ENOENT;
        if (n >= size) return -ENAMETOOLONG;
        memcpy(buf, forced, n + 1);
        return static_cast<int>(n);
    }
    ssize_t n = readlink("/proc/self/exe", buf, size - 1);
    if (n < 0) return -errno;
    if (n == 0) return -ENOENT;
    buf[n] = '\0';
    return static_cast<int>(n);
}

void SetHostExePathOverride(const char *path) { g_ExePathOverride.store(path); }

int CreateDirectoryPath(const char *path) {
    std::string partial;
    int error = 0;
    for (const char *p = path; *p; ++p) {
        partial += *p;
        if ((*p == '/' && partial.size() > 1) || p[1] == '\0')
            error = mkdir(partial.c_str(), 0755) == 0 || errno == EEXIST ? 0 : -errno;
    }
    return error;
}

static std::string Trim(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

int ReadIniInt(const char *path, const char *section, const char *key, int def) {
    FILE *file = fopen(path, "r");
    if (!file) return def;
    char line[1024];
    bool inSection = false;
    int result = def;
    while (fgets(line, sizeof line, file)) {
        std::string text = Trim(line);
        if (text.empty() || text[0] == ';') continue;
        if (text[0] == '[') {
            size_t close = text.find(']');
            std::string name = text.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            inSection = strcasecmp(Trim(name).c_str(), section) == 0;
            continue;
        }
        size_t eq = text.find('=');
        if (!inSection || eq == std::string::npos) continue;
        if (strcasecmp(Trim(text.substr(0, eq)).c_str(), key) != 0) continue;
        std::string value = Trim(text.substr(eq + 1));
        if (!value.empty()) result = static_cast<int>(strtol(value.c_str(), nullptr, 10));
        break;
    }
    fclose(file);
    return result;
}

int AppendTextToFile(const char *path, const char *data, size_t len) {
    // A link planted in the file's place is not followed.
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return -errno;
    ssize_t written = write(fd, data, len);
    int error = written < 0 ? -errno : written == static_cast<ssize_t>(len) ? 0 : -EIO;
    close(fd);
    return error;
}

// POSIX has no share modes: other processes may change a boot file while the
// service holds it (reads that come up short end the transfer). Opening never
// waits: a FIFO would block until a writer came, a device might never answer,
// and only regular files pass.
int FileOpenRead(const char *path, FileHandle *file) {
    *file = kInvalidFile;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -errno;
    struct stat info {};
    int error = fstat(fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : S_ISDIR(info.st_mode) ? EISDIR : EACCES;
    if (error != 0) {
        close(fd);
        return -error;
    }
    *file = fd;
    return 0;
}

int FileGetSize(FileHandle file, uint64_t *size) {
    struct stat info {};
    if (fstat(static_cast<int>(file), &info) != 0) return -errno;
    *size = static_cast<uint64_t>(info.st_size);
    return 0;
}

int FileReadAt(FileHandle file, uint64_t offset, void *buf, uint32_t len, uint32_t *got) {
    uint32_t total = 0;
    while (total < len) {
        ssize_t n = pread(static_cast<int>(file), static_cast<char *>(buf) + total, len - total,
                          static_cast<off_t>(offset + total));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (n == 0) break;
        total += static_cast<uint32_t>(n);
    }
    if (got) *got = total;
    return 0;
}

int FileIdentityOf(FileHandle file, FileIdentity *identity) {
    struct stat info {};
    if (fstat(static_cast<int>(file), &info) != 0) return -errno;
    identity->qwVolume = static_cast<uint64_t>(info.st_dev);
    identity->qwIndex = static_cast<uint64_t>(info.st_ino);
    return 0;
}

int FileRealPath(FileHandle file, char *out, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", static_cast<int>(file));
    ssize_t n = readlink(link, out, size - 1);
    if (n < 0) return -errno;
    if (static_cast<size_t>(n) >= size - 1) return -ENAMETOOLONG;
    out[n] = '\0';
    return 0;
}

int RealPathOf(const char *path, char *out, size_t size) {
    char *resolved = realpath(path, nullptr);
    if (!resolved) return -errno;
    int error = strlen(resolved) < size ? 0 : -ENAMETOOLONG;
    if (!error) strcpy(out, resolved);
    free(resolved);
    return error;
}

bool PathInsideFolder(const char *path, const char *folder) {
    size_t n = strlen(folder);
    while (n > 0 && folder[n - 1] == '/') --n;  // "/" itself holds everything
    return strncmp(path, folder, n) == 0 && path[n] == '/';
}

const int kErrorAccessDenied = -EACCES;
const int kErrorFileTooLarge = -EFBIG;

void FileClose(FileHandle file) {
    if (file != kInvalidFile) close(static_cast<int>(file));
}

int PathCheck(const char *path) {
    struct stat info {};
    return stat(path, &info) == 0 ? 0 : -errno;
}

int FindEntryNoCase(const char *dir, const char *name, char *out, size_t outSize) {
    DIR *folder = opendir(dir);
    if (!folder) return -errno;
    int error = -ENOENT;
    while (struct dirent *entry = readdir(folder)) {
        if (strcasecmp(entry->d_name, name) == 0 && strlen(entry->d_name) < outSize) {
            strcpy(out, entry->d_name);
            error = 0;
            break;
        }
    }
    closedir(folder);
    return error;
}

int LastError() { return errno; }
const char *LastErrorText() { return strerror(errno); }

}  // namespace platform
