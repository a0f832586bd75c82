#include "host/config/pi_check.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <memory>

#include "boot/raspberry_pi.h"

namespace {

// Entries looked at in one folder: a boot folder of an installer mirror
// must not make `check` slow.
constexpr size_t kMaxEntries = 4096;

bool StartsWith(const std::string &text, const char *lpPrefix) { return text.rfind(lpPrefix, 0) == 0; }
bool EndsWith(const std::string &text, const char *lpSuffix) {
    std::string suffix(lpSuffix);
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The root's files a Pi fetches: the root holds other machines' files too.
bool IsPiRootFile(const std::string &name) {
    return StartsWith(name, "kernel") || StartsWith(name, "initr") || StartsWith(name, "vmlinuz") ||
           EndsWith(name, ".img") || EndsWith(name, ".elf");
}

void Scan(const std::string &root, const std::string &folder, bool bSerial, uint64_t qwLimit, size_t nMax,
          std::vector<PiFile> *lpFound) {
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir((root + folder).c_str()), closedir);
    if (!dir) return;
    size_t nSeen = 0;
    for (dirent *entry; (entry = readdir(dir.get())) && nSeen < kMaxEntries && lpFound->size() < nMax; ++nSeen) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat info {};
        std::string relative = folder + name;
        if (stat((root + relative).c_str(), &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            if (!bSerial && PiSerialPrefixLength((name + "/").c_str()) == name.size() + 1)
                Scan(root, relative + "/", true, qwLimit, nMax, lpFound);
            continue;
        }
        if (S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) > qwLimit && (bSerial || IsPiRootFile(name)))
            lpFound->push_back({relative, static_cast<uint64_t>(info.st_size)});
    }
}

}  // namespace

std::vector<PiFile> PiFilesTooLarge(const std::string &root, uint64_t qwLimit, size_t nMax) {
    std::vector<PiFile> found;
    if (root.empty()) return found;
    Scan(root.back() == '/' ? root : root + "/", "", false, qwLimit, nMax, &found);
    return found;
}
