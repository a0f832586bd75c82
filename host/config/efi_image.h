// What Secure Boot firmware and shim look at in an EFI program, read from
// the file alone: its PE/COFF headers, its .sbat section (the SBAT CSV) and
// whether it carries an Authenticode signature. Every offset is checked
// against the file, so a damaged or hostile file is reported, never read
// past. The signature is only found, not verified: no certificate or hash
// is checked here (the firmware does that).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One line of a .sbat section:
// component_name,component_generation,vendor_name,vendor_package_name,vendor_version,vendor_url
struct SbatEntry {
    std::string component;
    long generation = 0;
    std::string vendor, package, version, url;
};

struct EfiImage {
    std::string problem;  // why this is no EFI program ("" when it is one)
    bool bSigned = false;  // a WIN_CERTIFICATE of type PKCS_SIGNED_DATA in the security directory
    bool bHasSbat = false;
    std::string sbatProblem;  // a .sbat that shim would refuse to read ("" when well formed)
    std::vector<SbatEntry> sbat;
    bool bShim = false, bGrub = false;  // by its name or its content
};

namespace efi_limits {
constexpr size_t kMaxImageBytes = 64u << 20;  // larger files are no loader: not read
constexpr size_t kMaxSbatEntries = 64;
constexpr size_t kMaxSbatBytes = 16384;
}  // namespace efi_limits

// DATA is the whole file; NAME its file name, for telling shim and GRUB.
EfiImage ParseEfiImage(const unsigned char *data, size_t size, const std::string &name);

// Reads PATH (up to kMaxImageBytes) and parses it; problem says when it
// cannot be read.
EfiImage ReadEfiImage(const std::string &path);
