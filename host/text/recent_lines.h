// The last lines the library and the host wrote, for the status page: a
// ring of kKept lines of at most kLongest bytes each, so a flood of log
// lines costs a fixed amount of memory.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct RecentLine {
    double time = 0;     // seconds since the epoch, when it was written
    std::string source;  // "library" or "host"
    std::string text;    // as written, without its newline
};

class RecentLines {
public:
    static constexpr size_t kKept = 200;
    static constexpr size_t kLongest = 600;

    void Add(double time, const char *lpSource, std::string text) {
        if (text.size() > kLongest) text.resize(kLongest);
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Lines.push_back({time, lpSource, std::move(text)});
        if (m_Lines.size() > kKept) m_Lines.pop_front();
    }
    std::vector<RecentLine> Lines() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return {m_Lines.begin(), m_Lines.end()};
    }

private:
    std::mutex m_Lock;
    std::deque<RecentLine> m_Lines;
};
