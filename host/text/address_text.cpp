#include "host/text/address_text.h"

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
