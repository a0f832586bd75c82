#include "log/log_text.h"

#include <cstdio>
#include <cstring>

PrintableText::PrintableText(const char *lpText) {
    size_t used = 0;
    for (; lpText && *lpText; ++lpText) {
        unsigned char c = static_cast<unsigned char>(*lpText);
        size_t width = (c >= 0x20 && c < 0x7f) ? 1 : 4;
        if (used + width + 4 > sizeof m_szText) {
            memcpy(m_szText + used, "...", 3);
            used += 3;
            break;
        }
        if (width == 1)
            m_szText[used] = static_cast<char>(c);
        else
            snprintf(m_szText + used, 5, "\\x%02x", c);
        used += width;
    }
    m_szText[used] = '\0';
}
