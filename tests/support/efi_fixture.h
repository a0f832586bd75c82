// Small EFI programs for the Secure Boot checks: a PE32+ of one .sbat
// section, signed or not (the signature is a placeholder: only its presence
// is ever looked at).
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

inline void Put(std::vector<unsigned char> &pe, size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) pe[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A minimal PE32+ EFI application: one .sbat section holding SBAT, and a
// WIN_CERTIFICATE (PKCS_SIGNED_DATA, no real signature) when SIGNED.
inline std::vector<unsigned char> MinimalEfi(const std::string &sbat, bool bSigned) {
    const size_t pe = 0x40, optional = pe + 24, sections = optional + 240, data = 0x200;
    const size_t certificate = data + ((sbat.size() + 7) & ~size_t{7});
    std::vector<unsigned char> image(certificate + (bSigned ? 24 : 0));
    image[0] = 'M', image[1] = 'Z';
    Put(image, 0x3c, pe, 4);
    memcpy(&image[pe], "PE\0\0", 4);
    Put(image, pe + 4, 0x8664, 2), Put(image, pe + 6, 1, 2), Put(image, pe + 20, 240, 2);
    Put(image, optional, 0x20b, 2), Put(image, optional + 68, 10, 2), Put(image, optional + 108, 16, 4);
    if (bSigned) Put(image, optional + 144, certificate, 4), Put(image, optional + 148, 24, 4);
    memcpy(&image[sections], ".sbat", 5);
    Put(image, sections + 8, sbat.size(), 4), Put(image, sections + 16, sbat.size(), 4), Put(image, sections + 20, data, 4);
    if (!sbat.empty()) memcpy(&image[data], sbat.data(), sbat.size());
    if (bSigned) Put(image, certificate, 24, 4), Put(image, certificate + 4, 0x200, 2), Put(image, certificate + 6, 2, 2);
    return image;
}

inline std::string ShimSbat(int generation) {
    return "sbat,1,SBAT Version,sbat,1,https://github.com/rhboot/shim/blob/main/SBAT.md\nshim," +
           std::to_string(generation) + ",UEFI shim,shim,1,https://github.com/rhboot/shim\n";
}

inline void WriteEfi(const std::string &path, const std::vector<unsigned char> &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
