// Text from the network on its way into a log line: control characters
// (and the backslash that introduces an escape) are written as escapes, so
// a datagram cannot start a line of its own or forge one.
#pragma once

#include <cstddef>

// Escapes up to nLen bytes of lpText (stopping at a zero byte) into lpOut,
// always terminated; returns lpOut.
const char *EscapeForLog(const char *lpText, size_t nLen, char *lpOut, size_t nOutSize);
