// Text from the wire made safe for a log line: bytes outside printable
// ASCII become \xNN, so a datagram cannot start a line of its own or forge
// one, and long texts are cut short with "...". Backslashes stay as they
// are: Windows paths in boot-file names read better unchanged.
#pragma once

#include <cstddef>

class PrintableText {
public:
    static constexpr size_t kMaxShown = 128;

    explicit PrintableText(const char *lpText);
    const char *Text() const { return m_szText; }

private:
    char m_szText[4 * kMaxShown + 4];
};
