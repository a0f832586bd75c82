#include "host/text/mac_text.h"

#include <cctype>
#include <cstdio>

namespace {

constexpr size_t kMacBytes = 6, kLongestText = kMacBytes * 3 - 1;

int HexValue(char c) {
    return isdigit(static_cast<unsigned char>(c)) ? c - '0' : tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

}  // namespace

bool ParseMacPrefix(const std::string &text, std::vector<unsigned char> *bytes) {
    bytes->clear();
    if (text.empty() || text.size() > kLongestText || text.size() % 3 != 2) return false;
    const char separator = text.size() > 2 ? text[2] : ':';
    if (separator != ':' && separator != '-') return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (i % 3 == 2 ? text[i] != separator : !isxdigit(static_cast<unsigned char>(text[i]))) return false;
    for (size_t i = 0; i < text.size(); i += 3)
        bytes->push_back(static_cast<unsigned char>(HexValue(text[i]) * 16 + HexValue(text[i + 1])));
    return true;
}

bool CanonicalMac(const std::string &text, std::string *canonical) {
    std::vector<unsigned char> b;
    if (!ParseMacPrefix(text, &b) || b.size() != kMacBytes) return false;
    char out[kLongestText + 1];
    snprintf(out, sizeof out, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    *canonical = out;
    return true;
}
