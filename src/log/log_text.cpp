#include "log/log_text.h"

const char *EscapeForLog(const char *lpText, size_t nLen, char *lpOut, size_t nOutSize) {
    static const char kHex[] = "0123456789abcdef";
    size_t out = 0;
    for (size_t i = 0; i < nLen && lpText[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(lpText[i]);
        char escape[4];
        size_t width = 1;
        escape[0] = static_cast<char>(c);
        if (c < 0x20 || c == 0x7f || c == '\\') {
            escape[0] = '\\';
            escape[1] = 'x';
            escape[2] = kHex[c >> 4];
            escape[3] = kHex[c & 0xf];
            width = 4;
            if (c == '\\') {
                escape[1] = '\\';
                width = 2;
            }
        }
        if (out + width >= nOutSize) break;
        for (size_t k = 0; k < width; ++k) lpOut[out++] = escape[k];
    }
    if (nOutSize > 0) lpOut[out] = '\0';
    return lpOut;
}
