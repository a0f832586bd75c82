// Appends options or sub-options to an option area.
#pragma once

#include <cstring>

class OptionWriter {
public:
    explicit OptionWriter(unsigned char *area) : m_lpArea(area) {}
    void Byte(unsigned value) { m_lpArea[m_nLen++] = static_cast<unsigned char>(value); }
    void Word(unsigned value) {
        Byte(value >> 8);
        Byte(value & 0xff);
    }
    void Bytes(const void *data, int len) {
        memcpy(m_lpArea + m_nLen, data, static_cast<size_t>(len));
        m_nLen += len;
    }
    // A fixed-width text field, zero-padded.
    void Text(const char *text, int width) {
        int len = static_cast<int>(strlen(text));
        Bytes(text, len);
        for (int i = len; i < width; ++i) Byte(0);
    }
    int Length() const { return m_nLen; }

private:
    unsigned char *m_lpArea;
    int m_nLen = 0;
};
