// The SBAT revocation table (packaging/sbat-levels.txt, the shim project's
// SbatLevel payloads with their dates) and the [secure_boot] options, and
// how an EFI loader fares against one level of it.
#pragma once

#include <string>
#include <vector>

#include "host/config/efi_image.h"

struct SbatRevocation {
    std::string component;
    long generation = 0;  // loaders below it are revoked
};

struct SbatLevel {
    std::string date;  // YYYYMMDDNN, as shim writes it
    std::vector<SbatRevocation> revocations;
};

// A loader `check` warned about, as the status page lists it.
struct LoaderFinding {
    std::string key, file, problem;  // "boot[0].file", "shimx64.efi", "revoked by ..."
};

// [secure_boot]
struct SecureBootOptions {
    std::string revocations;       // the table file; "" : the packaged one, or the copy built in
    std::string which = "latest";  // "latest", "previous" or a level's date
    bool bRefuseRevoked = false;   // serve the rule's fallback (or boot_file) instead of a revoked loader
    bool bWarnUnsigned = true;
    // As loaded:
    SbatLevel level;
    std::string source;  // where the table came from, for the summary
    int nBootFileLine = 0;  // where server.boot_file stands
    size_t nLoadersChecked = 0, nLoaderWarnings = 0;  // by `check`'s pass over the rules
    std::vector<LoaderFinding> findings;
};

// Levels by date, oldest first; a date given twice is one level with the
// higher generation of each component. False with a reason on bad lines.
bool ParseSbatLevels(const std::string &text, std::vector<SbatLevel> *levels, std::string *error);

// Fills options->level and source from the named table, else the packaged
// file when installed, else the copy built into the program.
bool LoadSbatLevel(SecureBootOptions *options, std::string *error);

// What Secure Boot makes of a loader: each problem is a warning.
struct LoaderVerdict {
    bool bPe = false;
    bool bRevoked = false;  // an SBAT generation below the level
    std::vector<std::string> problems;
    std::string Text() const;  // the problems joined by ", "
};

LoaderVerdict JudgeLoader(const EfiImage &image, const SecureBootOptions &options);
