// Folder listing and the durable writes of the lease journal.
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace platform {

int ListFolder(const char *dir, FolderVisit visit, void *arg) {
    DIR *folder = opendir(dir);
    if (!folder) return -errno;
    while (struct dirent *entry = readdir(folder)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        visit(entry->d_name, arg);
    }
    closedir(folder);
    return 0;
}

int FileRemove(const char *path) { return unlink(path) == 0 ? 0 : -errno; }

static int OpenForWriting(const char *path, int flags, FileHandle *file) {
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | flags, 0640);
    if (fd < 0) return -errno;
    *file = fd;
    return 0;
}

int FileOpenAppend(const char *path, FileHandle *file) { return OpenForWriting(path, O_APPEND, file); }

int FileCreateEmpty(const char *path, FileHandle *file) { return OpenForWriting(path, O_TRUNC, file); }

int FileWrite(FileHandle file, const void *data, size_t len) {
    const char *bytes = static_cast<const char *>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(static_cast<int>(file), bytes + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? -errno : -EIO;
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(done);
}

int FileTruncate(FileHandle file, uint64_t size) {
    while (ftruncate(static_cast<int>(file), static_cast<off_t>(size)) != 0)
        if (errno != EINTR) return -errno;
    return 0;
}

int FileSync(FileHandle file) { return fsync(static_cast<int>(file)) == 0 ? 0 : -errno; }

int FileReplace(const char *from, const char *to) { return rename(from, to) == 0 ? 0 : -errno; }

}  // namespace platform
