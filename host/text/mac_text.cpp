#include "host/text/mac_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

constexpr size_t kLongestText = kMacBytes * 3 - 1;

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

bool ParseMac(const std::string &text, unsigned char *mac) {
    std::vector<unsigned char> bytes;
    if (!ParseMacPrefix(text, &bytes) || bytes.size() != kMacBytes) return false;
    memcpy(mac, bytes.data(), kMacBytes);
    return true;
}

std::string MacText(const unsigned char *mac) {
    char text[kLongestText + 1];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

bool CanonicalMac(const std::string &text, std::string *canonical) {
    unsigned char mac[kMacBytes];
    if (!ParseMac(text, mac)) return false;
    *canonical = MacText(mac);
    return true;
}

bool CanonicalDuidKey(const std::string &text, std::string *canonical) {
    constexpr size_t kPrefix = 5, kMostDigits = 260;  // "duid-", and a DUID's 130 bytes
    if (text.size() <= kPrefix || strncasecmp(text.c_str(), "duid-", kPrefix) != 0) return false;
    std::string out = "duid-";
    for (size_t i = kPrefix; i < text.size(); ++i) {
        if (text[i] == ':') continue;
        if (!isxdigit(static_cast<unsigned char>(text[i]))) return false;
        out += static_cast<char>(tolower(static_cast<unsigned char>(text[i])));
    }
    if (out.size() == kPrefix || out.size() - kPrefix > kMostDigits || (out.size() - kPrefix) % 2) return false;
    *canonical = out;
    return true;
}
