#include "host/app/log_tee.h"

#include <chrono>
#include <iostream>
#include <mutex>
#include <string>

namespace {

double Now() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

}  // namespace

// Collects bytes into lines; a line longer than RecentLines keeps is cut.
class LineCopy : public std::streambuf {
public:
    LineCopy(RecentLines &lines, const char *lpSource, std::streambuf *lpTarget, FILE *lpFile)
        : m_Lines(lines), m_lpSource(lpSource), m_lpTarget(lpTarget), m_lpFile(lpFile) {}

    void Copy(const char *lpBytes, size_t nSize) {
        std::lock_guard<std::mutex> lock(m_Lock);
        for (size_t i = 0; i < nSize; ++i) {
            if (lpBytes[i] != '\n') {
                if (m_Pending.size() < RecentLines::kLongest) m_Pending += lpBytes[i];
                continue;
            }
            m_Lines.Add(Now(), m_lpSource, std::move(m_Pending));
            m_Pending.clear();
        }
    }
    // The cookie stream's writer: copies, then writes to the stdout it replaced.
    static ssize_t CookieWrite(void *lpCookie, const char *lpBytes, size_t nSize) {
        auto *self = static_cast<LineCopy *>(lpCookie);
        self->Copy(lpBytes, nSize);
        size_t nWritten = fwrite(lpBytes, 1, nSize, self->m_lpFile);
        fflush(self->m_lpFile);
        return nWritten == 0 && nSize > 0 ? -1 : static_cast<ssize_t>(nWritten);
    }

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        char ch = static_cast<char>(c);
        Copy(&ch, 1);
        return m_lpTarget->sputc(ch);
    }
    std::streamsize xsputn(const char *lpBytes, std::streamsize nSize) override {
        Copy(lpBytes, static_cast<size_t>(nSize));
        return m_lpTarget->sputn(lpBytes, nSize);
    }
    int sync() override { return m_lpTarget->pubsync(); }

private:
    RecentLines &m_Lines;
    const char *m_lpSource;
    std::streambuf *m_lpTarget;  // a host stream's own buffer, or null
    FILE *m_lpFile;              // the stdout replaced, or null
    std::mutex m_Lock;           // m_Pending
    std::string m_Pending;
};

LogTee::LogTee(RecentLines &lines)
    : m_lpOutBuffer(std::cout.rdbuf()), m_lpErrBuffer(std::cerr.rdbuf()), m_lpStdout(stdout) {
    m_Out = std::make_unique<LineCopy>(lines, "host", m_lpOutBuffer, nullptr);
    m_Err = std::make_unique<LineCopy>(lines, "host", m_lpErrBuffer, nullptr);
    std::cout.rdbuf(m_Out.get());
    std::cerr.rdbuf(m_Err.get());
    m_Library = std::make_unique<LineCopy>(lines, "library", nullptr, m_lpStdout);
    cookie_io_functions_t io{};
    io.write = LineCopy::CookieWrite;
    m_lpCookie = fopencookie(m_Library.get(), "w", io);
    if (!m_lpCookie) return;  // the library's lines are then not copied
    setvbuf(m_lpCookie, nullptr, _IOLBF, BUFSIZ);
    fflush(stdout);
    stdout = m_lpCookie;  // glibc's stdout is a plain variable, there to be set
}

LogTee::~LogTee() {
    if (m_lpCookie) {
        fflush(m_lpCookie);
        stdout = m_lpStdout;
        fclose(m_lpCookie);
    }
    std::cout.rdbuf(m_lpOutBuffer);
    std::cerr.rdbuf(m_lpErrBuffer);
}
