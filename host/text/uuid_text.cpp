#include "host/text/uuid_text.h"

#include <cctype>
#include <cstdio>
#include <utility>

namespace {

// RFC 4122's groups: time_low (4 bytes), time_mid (2), time_hi (2), then 8.
constexpr size_t kDashesAfter[] = {4, 6, 8, 10};

bool DashAfter(size_t byte) {
    for (size_t at : kDashesAfter)
        if (at == byte) return true;
    return false;
}

bool Unhex(const std::string &text, unsigned char *bytes) {
    std::string digits;
    for (char c : text)
        if (c != '-') digits += c;
    if (digits.size() != 2 * kUuidBytes) return false;
    for (size_t i = 0; i < kUuidBytes; ++i) {
        unsigned value = 0;
        for (size_t j = 0; j < 2; ++j) {
            char c = digits[2 * i + j];
            if (!isxdigit(static_cast<unsigned char>(c))) return false;
            value = value * 16 + static_cast<unsigned>(isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                                                              : tolower(c) - 'a' + 10);
        }
        bytes[i] = static_cast<unsigned char>(value);
    }
    return true;
}

void SwapFirstFields(unsigned char *b) {
    std::swap(b[0], b[3]);
    std::swap(b[1], b[2]);
    std::swap(b[4], b[5]);
    std::swap(b[6], b[7]);
}

}  // namespace

std::string UuidText(const unsigned char *bytes) {
    std::string text;
    char pair[3];
    for (size_t i = 0; i < kUuidBytes; ++i) {
        if (DashAfter(i)) text += '-';
        snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

std::string UuidTextOfSmbiosOrder(const unsigned char *bytes) {
    unsigned char b[kUuidBytes];
    for (size_t i = 0; i < kUuidBytes; ++i) b[i] = bytes[i];
    SwapFirstFields(b);
    return UuidText(b);
}

std::string OtherByteOrder(const std::string &canonical) {
    unsigned char b[kUuidBytes];
    if (!Unhex(canonical, b)) return canonical;
    return UuidTextOfSmbiosOrder(b);
}

bool CanonicalUuid(const std::string &text, std::string *canonical) {
    unsigned char b[kUuidBytes];
    size_t dashes = 0;
    for (char c : text) dashes += c == '-';
    if ((dashes != 0 && dashes != 4) || !Unhex(text, b)) return false;
    if (dashes == 4 && UuidText(b).size() == text.size()) {  // the dashes where RFC 4122 puts them
        std::string lower = UuidText(b);
        for (size_t i = 0; i < text.size(); ++i)
            if ((text[i] == '-') != (lower[i] == '-')) return false;
    }
    *canonical = UuidText(b);
    return true;
}

bool IsPlaceholderUuid(const std::string &canonical) {
    bool zeros = true, ones = true;
    for (char c : canonical) {
        if (c == '-') continue;
        zeros = zeros && c == '0';
        ones = ones && (c == 'f' || c == 'F');
    }
    return zeros || ones;
}
