// A text as a JSON string: quotes, backslashes and control bytes escaped.
#pragma once

#include <cstdio>
#include <string>

inline std::string JsonText(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            continue;
        }
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}
