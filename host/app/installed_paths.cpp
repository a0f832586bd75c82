#include "host/app/installed_paths.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace {

std::string RealPath(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : "";
}

}  // namespace

const char *InstalledExecutable() { return TAVREL_INSTALLED_EXECUTABLE; }

std::string DefaultConfigFile(const std::string &executable, const std::string &installed) {
    std::string here = RealPath(executable);
    if (!here.empty() && here == RealPath(installed)) return TAVREL_INSTALLED_CONFIG_DIR "/tavrel.toml";
    return "tavrel.toml";
}

std::string RunningExecutable() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return "";
    path[length] = '\0';
    return path;
}
