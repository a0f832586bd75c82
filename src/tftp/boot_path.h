// The security-critical part of serving boot files: which requested names
// are refused, and how an accepted name becomes a path under the boot folder.
#pragma once

#include <cstddef>

#include "log/log_text.h"  // PrintableText, for the names this folder logs

constexpr size_t kBootFileNameSize = 128;

// Null when the name may be served, otherwise why it is refused: names that
// climb out of the boot folder (".." parts, absolute paths, drive letters,
// UNC and device names) and names of 128 characters or more.
const char *RefuseBootFileName(const char *lpName);

// Joins the boot folder and the name into path (both separators accepted).
// On POSIX a part that does not exist as written is looked up ignoring
// letter case. False when the path would be 260 characters or more.
bool MakeBootFilePath(const char *lpRoot, const char *lpName, char *path, size_t size);
