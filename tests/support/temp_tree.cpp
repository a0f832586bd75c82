#include "support/temp_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/platform.h"

TempTree::TempTree() {
    char pattern[] = "/tmp/tavrel-test-XXXXXX";
    m_Root = mkdtemp(pattern);
    mkdir((Base()).c_str(), 0755);
    mkdir((Base() + "/bin").c_str(), 0755);
    mkdir((Base() + "/data").c_str(), 0755);
    m_ExePath = Base() + "/bin/host";
}

TempTree::~TempTree() {
    platform::SetHostExePathOverride(nullptr);
    std::string command = "rm -rf '" + m_Root + "'";
    if (system(command.c_str()) != 0) perror("rm");
}

void TempTree::WriteSettings(const std::string &ini) const {
    std::ofstream(Base() + "/data/LogSettings.ini") << ini;
}

void TempTree::UseAsHost() { platform::SetHostExePathOverride(m_ExePath.c_str()); }

std::string TempTree::LogPath(int year, int month, int day) const {
    char name[64];
    snprintf(name, sizeof name, "/murboot_%04d_%02d_%02d.log", year, month, day);
    return LogDir() + "/" + name;
}

std::string TempTree::ReadLog(int year, int month, int day) const { return ReadWholeFile(LogPath(year, month, day)); }

bool TempTree::LogExists(int year, int month, int day) const {
    return access(LogPath(year, month, day).c_str(), F_OK) == 0;
}

std::string ReadWholeFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}
