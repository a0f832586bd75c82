// The security-critical part of serving boot files: which requested names
// are refused, and how an accepted name becomes a path under the boot folder.
#pragma once

#include <cstddef>

#include "log/log_text.h"  // PrintableText, for the names this folder logs
#include "platform/platform.h"

constexpr size_t kBootFileNameSize = 128;
// Real paths are longer than the 260 characters of a requested path on
// Windows ("\\?\" and the volume come first).
constexpr size_t kRealPathSize = 1024;

// Null when the name may be served, otherwise why it is refused: names that
// climb out of the boot folder (".." parts, drive letters, UNC and device
// names) and names of 128 characters or more. A leading "/" or "\" names
// the boot folder itself, so "/grub/grub.cfg" is "grub/grub.cfg" there.
const char *RefuseBootFileName(const char *lpName);

// Joins the boot folder and the name into path (both separators accepted).
// On POSIX a part that does not exist as written is looked up ignoring
// letter case. False when the path would be 260 characters or more.
bool MakeBootFilePath(const char *lpRoot, const char *lpName, char *path, size_t size);

// Where an opened boot file really lies (links and junctions resolved) and
// whether that is inside the folder ROOT: a link inside the folder may point
// anywhere. 0, or the platform's negative code when a real path cannot be had.
int LocateBootFile(const char *lpRoot, platform::FileHandle file, char *lpReal, size_t nRealSize, bool *lpbInside);
