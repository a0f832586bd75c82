// The host's one reader and writer of MAC addresses. People type them and
// files hold them as hex pairs in either case, separated by ':' or by '-'
// ("52:54:00:AB:CD:EF", "52-54-00-ab-cd-ef"); the host writes lowercase
// pairs separated by ':', the form of the store, the library and the
// listings.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr size_t kMacBytes = 6;

// Reads one to six pairs ("aa", "aa:bb", ...); false for anything else,
// including separators of both kinds in one text.
bool ParseMacPrefix(const std::string &text, std::vector<unsigned char> *bytes);
// A whole MAC (six pairs) into MAC; false, MAC untouched, for anything else.
bool ParseMac(const std::string &text, unsigned char *mac);
// "52:54:00:ab:cd:ef".
std::string MacText(const unsigned char *mac);
// A whole MAC in the host's form. False when TEXT is not six pairs.
bool CanonicalMac(const std::string &text, std::string *canonical);

// "duid-" and hex digits (as the library writes an IPv6 client's key), in
// lowercase; colons between the digits are taken out.
bool CanonicalDuidKey(const std::string &text, std::string *canonical);
