// A throw-away folder tree that stands in for the host executable's: the
// executable at <root>/app/bin/host, settings in <root>/app/data, logs in
// <root>/app/log.
#pragma once

#include <string>

class TempTree {
public:
    TempTree();
    ~TempTree();
    const std::string &Root() const { return m_Root; }
    std::string Base() const { return m_Root + "/app"; }
    std::string LogDir() const { return Base() + "/log"; }
    // Writes data/LogSettings.ini under the base folder.
    void WriteSettings(const std::string &ini) const;
    // Points the platform's executable path into this tree.
    void UseAsHost();
    std::string ReadLog(int year, int month, int day) const;
    bool LogExists(int year, int month, int day) const;

private:
    std::string LogPath(int year, int month, int day) const;
    std::string m_Root;
    std::string m_ExePath;
};

std::string ReadWholeFile(const std::string &path);
