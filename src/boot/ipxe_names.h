// iPXE's own binaries by name: the library names the chain loop they make
// when handed to iPXE again, and tavrel-host's `check` warns of rules that would.
#pragma once

// Whether a boot file's name (after its last '/' or '\') is one of iPXE's
// own binaries, which an iPXE client would load again and again.
bool IsIpxeBinaryName(const char *lpFile);
