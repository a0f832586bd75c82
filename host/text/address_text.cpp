#include "host/text/address_text.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

constexpr int kParts = 4, kMostDigits = 3, kLargestPart = 255;

}  // namespace

bool ParseAddress(const std::string &text, uint32_t *value) {
    uint32_t result = 0;
    size_t at = 0;
    for (int part = 0; part < kParts; ++part) {
        if (part > 0 && (at >= text.size() || text[at++] != '.')) return false;
        int digits = 0, number = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && digits <= kMostDigits; ++at, ++digits)
            number = number * 10 + (text[at] - '0');
        if (digits == 0 || digits > kMostDigits || number > kLargestPart) return false;
        result = result << 8 | static_cast<uint32_t>(number);
    }
    if (at != text.size()) return false;
    *value = result;
    return true;
}

uint32_t AddressValue(const std::string &text) {
    uint32_t value = 0;
    return ParseAddress(text, &value) ? value : 0;
}

std::string AddressText(uint32_t value) {
    return std::to_string(value >> 24) + "." + std::to_string(value >> 16 & 255) + "." +
           std::to_string(value >> 8 & 255) + "." + std::to_string(value & 255);
}

bool CanonicalAddress(const std::string &text, std::string *canonical) {
    uint32_t value = 0;
    if (!ParseAddress(text, &value)) return false;
    *canonical = AddressText(value);
    return true;
}

bool ParseAddress6(const std::string &text, unsigned char bytes[16]) {
    return text.find('%') == std::string::npos && inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

bool CanonicalAddress6(const std::string &text, std::string *canonical) {
    unsigned char bytes[16];
    char out[INET6_ADDRSTRLEN];
    if (!ParseAddress6(text, bytes) || !inet_ntop(AF_INET6, bytes, out, sizeof out)) return false;
    *canonical = out;
    return true;
}

bool IsLinkLocal6(const unsigned char bytes[16]) { return bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80; }

bool SamePrefix6(const unsigned char a[16], const unsigned char b[16], int nLength) {
    int whole = nLength / 8, rest = nLength % 8;
    if (memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
    unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
    return rest == 0 || ((a[whole] ^ b[whole]) & mask) == 0;
}

std::string UrlHost(const std::string &address) {
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
}
