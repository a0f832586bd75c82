// What `check` says of a Raspberry Pi rule: files the Pi fetches that
// lock-step TFTP cannot deliver before the bootloader gives up on a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The bootloader gives up on a file after TFTP_FILE_TIMEOUT, 30 s unless
// its EEPROM configuration says otherwise.
constexpr double kPiFileTimeoutSeconds = 30;
// What each of 32 clients fetching at once in lock-step with 1024-byte
// blocks got from this server (bench/tftp-rate with TB_BLKSIZES=1024
// TB_TOOLS=atftp TB_CLIENTS=32: 140.5 MB/s in all, 4.4 MB/s each), rounded
// down: a classroom of Pis powering on together.
constexpr double kPiTftpBytesPerSecond = 4e6;
constexpr uint64_t kPiLargestFile = static_cast<uint64_t>(kPiFileTimeoutSeconds * kPiTftpBytesPerSecond);

struct PiFile {
    std::string name;  // under the boot folder: "kernel8.img", "0a1b2c3d/initramfs8"
    uint64_t qwSize;
};

// The files under ROOT a Pi fetches (kernels, initramfs and images in the
// root, every file of a serial folder) larger than LIMIT; at most MAX of them.
std::vector<PiFile> PiFilesTooLarge(const std::string &root, uint64_t qwLimit, size_t nMax = 16);
