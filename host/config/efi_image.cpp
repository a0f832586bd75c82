#include "host/config/efi_image.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// PE/COFF layout (Microsoft's PE format and Authenticode documents).
constexpr size_t kDosHeaderSize = 0x40;
constexpr size_t kPeOffsetField = 0x3c;
constexpr size_t kCoffHeaderSize = 20;  // after the "PE\0\0" signature
constexpr size_t kSectionHeaderSize = 40;
constexpr unsigned kPe32Magic = 0x10b, kPe32PlusMagic = 0x20b;
constexpr size_t kSubsystemOffset = 68;  // in the optional header, both forms
constexpr size_t kPe32DirectoryCount = 92, kPe32PlusDirectoryCount = 108;
constexpr unsigned kSecurityDirectory = 4;
constexpr unsigned kFirstEfiSubsystem = 10, kLastEfiSubsystem = 13;  // application .. ROM
constexpr unsigned kCertificateHeaderSize = 8;
constexpr unsigned kPkcsSignedData = 0x0002;
constexpr char kSbatSection[8] = {'.', 's', 'b', 'a', 't', 0, 0, 0};
constexpr size_t kSbatFields = 6;
// Strings only these programs hold (checked on Debian's signed shim and GRUB).
const char kShimMark[] = "UEFI SHIM";
const char kGrubMark[] = "GNU GRUB";

bool Fits(size_t offset, size_t length, size_t size) { return offset <= size && length <= size - offset; }

unsigned Word(const unsigned char *p) { return p[0] | p[1] << 8; }
size_t Dword(const unsigned char *p) {
    return static_cast<size_t>(p[0]) | static_cast<size_t>(p[1]) << 8 | static_cast<size_t>(p[2]) << 16 |
           static_cast<size_t>(p[3]) << 24;
}

bool Contains(const unsigned char *data, size_t size, const char *mark) {
    size_t length = strlen(mark);
    return std::search(data, data + size, mark, mark + length) != data + size;
}

bool NameStarts(const std::string &name, const char *prefix) {
    size_t slash = name.find_last_of("/\\");
    std::string base = name.substr(slash == std::string::npos ? 0 : slash + 1);
    for (char &c : base) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return base.rfind(prefix, 0) == 0;
}

// The WIN_CERTIFICATE list the security directory points at (a file offset,
// not an address): entries of dwLength bytes, each 8-byte aligned.
bool HasSignature(const unsigned char *data, size_t size, size_t offset, size_t length) {
    if (length == 0 || !Fits(offset, length, size)) return false;
    for (size_t at = 0; Fits(at, kCertificateHeaderSize, length);) {
        size_t entry = Dword(data + offset + at);
        if (entry < kCertificateHeaderSize || entry > length - at) return false;
        if (Word(data + offset + at + 6) == kPkcsSignedData) return true;
        at += (entry + 7) & ~static_cast<size_t>(7);
    }
    return false;
}

bool ParseGeneration(const std::string &text, long *generation) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (!isdigit(static_cast<unsigned char>(c))) return false;
    *generation = atol(text.c_str());
    return *generation > 0;
}

// The CSV up to its first NUL: six fields a line, as shim reads them.
void ParseSbat(const unsigned char *text, size_t size, EfiImage *image) {
    size = std::min<size_t>(std::find(text, text + size, 0) - text, efi_limits::kMaxSbatBytes);
    image->bHasSbat = size > 0;  // an empty section is no SBAT data, as shim reads it
    std::string csv(reinterpret_cast<const char *>(text), size);
    size_t number = 0;
    for (size_t start = 0; start < csv.size() && image->sbatProblem.empty();) {
        size_t end = std::min(csv.find('\n', start), csv.size());
        std::string line = csv.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::vector<std::string> fields;
        for (size_t from = 0;;) {
            size_t comma = line.find(',', from);
            fields.push_back(line.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
            if (comma == std::string::npos) break;
            from = comma + 1;
        }
        SbatEntry entry;
        if (fields.size() < kSbatFields || fields[0].empty() || !ParseGeneration(fields[1], &entry.generation)) {
            image->sbatProblem = "line " + std::to_string(number) + " of .sbat is not six fields with a generation";
        } else if (image->sbat.size() >= efi_limits::kMaxSbatEntries) {
            image->sbatProblem = "more than " + std::to_string(efi_limits::kMaxSbatEntries) + " .sbat lines";
        } else {
            entry.component = fields[0], entry.vendor = fields[2], entry.package = fields[3];
            entry.version = fields[4], entry.url = fields[5];
            image->sbat.push_back(entry);
        }
    }
    if (image->sbatProblem.empty() && image->sbat.empty() && size) image->sbatProblem = "no line in .sbat";
}

// Sections from TABLE (COUNT headers): the .sbat one, bounded by the file.
void FindSbat(const unsigned char *data, size_t size, size_t table, size_t count, EfiImage *image) {
    if (!Fits(table, count * kSectionHeaderSize, size)) {
        image->problem = "its section table lies past the end of the file";
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const unsigned char *header = data + table + i * kSectionHeaderSize;
        if (memcmp(header, kSbatSection, sizeof kSbatSection) != 0) continue;
        size_t virtualSize = Dword(header + 8), rawSize = Dword(header + 16), raw = Dword(header + 20);
        size_t length = virtualSize && virtualSize < rawSize ? virtualSize : rawSize;
        if (!Fits(raw, length, size)) {
            image->bHasSbat = true;
            image->sbatProblem = "its .sbat section lies past the end of the file";
            return;
        }
        ParseSbat(data + raw, length, image);
        return;
    }
}

}  // namespace

EfiImage ParseEfiImage(const unsigned char *data, size_t size, const std::string &name) {
    EfiImage image;
    image.bShim = NameStarts(name, "shim") || Contains(data, size, kShimMark);
    image.bGrub = NameStarts(name, "grub") || Contains(data, size, kGrubMark);
    if (size < kDosHeaderSize || data[0] != 'M' || data[1] != 'Z') {
        image.problem = "not a PE program (no MZ header)";
        return image;
    }
    size_t pe = Dword(data + kPeOffsetField);
    if (!Fits(pe, 4 + kCoffHeaderSize, size) || memcmp(data + pe, "PE\0\0", 4) != 0) {
        image.problem = "not a PE program (no PE header where the MZ header points)";
        return image;
    }
    const unsigned char *coff = data + pe + 4;
    size_t sections = Word(coff + 2), optionalSize = Word(coff + 16), optional = pe + 4 + kCoffHeaderSize;
    if (!Fits(optional, optionalSize, size) || optionalSize < kSubsystemOffset + 2) {
        image.problem = "a truncated PE program (its optional header lies past the end of the file)";
        return image;
    }
    unsigned magic = Word(data + optional), subsystem = Word(data + optional + kSubsystemOffset);
    size_t countAt = magic == kPe32PlusMagic ? kPe32PlusDirectoryCount : kPe32DirectoryCount;
    if (magic != kPe32Magic && magic != kPe32PlusMagic) {
        image.problem = "a PE file of an unknown optional header form";
        return image;
    }
    if (subsystem < kFirstEfiSubsystem || subsystem > kLastEfiSubsystem) {
        image.problem = "a PE program, but not an EFI one (subsystem " + std::to_string(subsystem) + ")";
        return image;
    }
    size_t security = countAt + 4 + kSecurityDirectory * 8;
    if (Fits(countAt, 4, optionalSize) && Dword(data + optional + countAt) > kSecurityDirectory &&
        Fits(security, 8, optionalSize))
        image.bSigned = HasSignature(data, size, Dword(data + optional + security),
                                     Dword(data + optional + security + 4));
    FindSbat(data, size, optional + optionalSize, sections, &image);
    return image;
}

EfiImage ReadEfiImage(const std::string &path) {
    EfiImage image;
    FILE *file = fopen(path.c_str(), "rb");
    struct stat info {};
    if (!file || fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
        image.problem = file ? "not a regular file" : std::string("cannot be read: ") + strerror(errno);
        if (file) fclose(file);
        return image;
    }
    if (static_cast<unsigned long long>(info.st_size) > efi_limits::kMaxImageBytes) {
        fclose(file);
        image.problem = "larger than 64 MiB: no boot loader, not read";
        return image;
    }
    std::vector<unsigned char> data(static_cast<size_t>(info.st_size));
    size_t got = data.empty() ? 0 : fread(data.data(), 1, data.size(), file);
    fclose(file);
    if (got != data.size()) {
        image.problem = "cannot be read to its end";
        return image;
    }
    return ParseEfiImage(data.data(), data.size(), path);
}
