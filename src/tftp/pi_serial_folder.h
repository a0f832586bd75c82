// The Raspberry Pi bootloader's serial folders: it asks for
// "<serial>/start4.elf" first and, when that is found, for every later file
// under the same prefix. A boot folder without that serial's folder serves
// the root's files under it, so one set of files boots every Pi, and a Pi
// with a folder of its own gets only that folder's.
#pragma once

#include "tftp/boot_file_table.h"

// The name to open for the one asked: past "<serial>/" when the boot folder
// has no such folder, else the name as asked.
const char *PiServedName(const tag_BootFileTable *lpFiles, const char *lpName);
