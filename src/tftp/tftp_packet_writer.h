// Builds one TFTP datagram in a fixed area. An append that does not fit
// sets the position to -1, and every later append fails too.
#pragma once

#include <cstring>

class TftpPacketWriter {
public:
    TftpPacketWriter(unsigned char *lpArea, int nCapacity) : m_lpArea(lpArea), m_nCapacity(nCapacity) {}

    bool PutByte(unsigned value) {
        if (m_nPos < 0) return false;
        if (m_nPos >= m_nCapacity) {
            m_nPos = -1;
            return false;
        }
        m_lpArea[m_nPos++] = static_cast<unsigned char>(value);
        return true;
    }
    bool PutWord(unsigned value) { return PutByte((value >> 8) & 0xff) && PutByte(value & 0xff); }
    // The text without its terminating zero.
    bool PutString(const char *lpText) {
        for (; lpText && *lpText; ++lpText)
            if (!PutByte(static_cast<unsigned char>(*lpText))) return false;
        return true;
    }
    int Position() const { return m_nPos; }

private:
    unsigned char *m_lpArea;
    int m_nCapacity;
    int m_nPos = 0;
};
