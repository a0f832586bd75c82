// The host's one reader of MAC addresses, as people type them and files
// hold them: hex pairs in either case, separated by ':' or by '-'
// ("52:54:00:AB:CD:EF", "52-54-00-ab-cd-ef").
#pragma once

#include <string>
#include <vector>

// Reads one to six pairs ("aa", "aa:bb", ...); false for anything else,
// including separators of both kinds in one text.
bool ParseMacPrefix(const std::string &text, std::vector<unsigned char> *bytes);

// A whole MAC in the form the store, the library and the listings use:
// lowercase pairs separated by ':'. False when TEXT is not six pairs.
bool CanonicalMac(const std::string &text, std::string *canonical);
