// A copy of what the library and the host write, kept in RecentLines for
// the status page, while every byte still goes where it went (the journal,
// a file). The host's streams (std::cout, std::cerr) pass through a buffer
// that copies; the library's printf goes to a glibc cookie stream put in
// place of stdout, which copies and writes on. Both copy as the bytes are
// written, so no line waits in a pipe for a thread that a crash would end.
#pragma once

#include <cstdio>
#include <memory>
#include <streambuf>

#include "host/text/recent_lines.h"

class LineCopy;

class LogTee {
public:
    // From now until the destructor: call it before the library starts and
    // end it after the library stopped.
    explicit LogTee(RecentLines &lines);
    ~LogTee();
    LogTee(const LogTee &) = delete;
    LogTee &operator=(const LogTee &) = delete;

private:
    std::unique_ptr<LineCopy> m_Out, m_Err, m_Library;
    std::streambuf *m_lpOutBuffer, *m_lpErrBuffer;
    FILE *m_lpStdout, *m_lpCookie = nullptr;
};
