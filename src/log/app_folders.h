// The library's folders, found from the host executable's path: the folder
// that holds the executable's folder is the base, with data/ and log/ in it.
#pragma once

#include <cstddef>

// "<base><sep><name><sep>" into lpOut; false when the executable's path has
// fewer than two separators or the result does not fit.
bool AppFolderPath(const char *lpName, char *lpOut, size_t nSize);
