// Builds one datagram, or one option area of it, in a fixed area. An append
// that does not fit sets the position to -1, and every later append fails
// too, so a builder checks once, at the end.
#pragma once

#include <cstdint>
#include <cstring>

class PacketWriter {
public:
    PacketWriter(unsigned char *lpArea, int nCapacity) : m_lpArea(lpArea), m_nCapacity(nCapacity) {}

    bool PutByte(unsigned value) { return m_nPos >= 0 && Put(static_cast<unsigned char>(value)); }
    bool PutWord(unsigned value) { return PutByte((value >> 8) & 0xff) && PutByte(value & 0xff); }
    bool PutDword(uint32_t value) { return PutWord(value >> 16) && PutWord(value & 0xffff); }
    bool PutBytes(const void *lpData, int nLen) {
        if (m_nPos < 0 || nLen < 0 || nLen > m_nCapacity - m_nPos) return Overflow();
        if (nLen > 0) memcpy(m_lpArea + m_nPos, lpData, static_cast<size_t>(nLen));
        m_nPos += nLen;
        return true;
    }
    // The text without its terminating zero.
    bool PutString(const char *lpText) { return PutBytes(lpText, lpText ? static_cast<int>(strlen(lpText)) : 0); }
    // A fixed-width text field, cut to the width or zero-padded to it.
    bool PutText(const char *lpText, int nWidth) {
        int nLen = static_cast<int>(strnlen(lpText, static_cast<size_t>(nWidth)));
        if (!PutBytes(lpText, nLen)) return false;
        for (int i = nLen; i < nWidth; ++i)
            if (!PutByte(0)) return false;
        return true;
    }
    // Bytes written so far; -1 once an append did not fit.
    int Position() const { return m_nPos; }

private:
    bool Put(unsigned char byValue) {
        if (m_nPos >= m_nCapacity) return Overflow();
        m_lpArea[m_nPos++] = byValue;
        return true;
    }
    bool Overflow() {
        m_nPos = -1;
        return false;
    }

    unsigned char *m_lpArea;
    int m_nCapacity;
    int m_nPos = 0;
};
