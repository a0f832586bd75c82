#include "host/config/sbat_levels.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "sbat_levels_text.h"  // made by the build from packaging/sbat-levels.txt

namespace {

const char kLevelStart[] = "sbat,1,";
constexpr size_t kDateDigits = 10;

bool AllDigits(const std::string &text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)); });
}

void Merge(SbatLevel *level, const SbatRevocation &revocation) {
    for (SbatRevocation &known : level->revocations)
        if (known.component == revocation.component) {
            known.generation = std::max(known.generation, revocation.generation);
            return;
        }
    level->revocations.push_back(revocation);
}

SbatLevel *LevelOf(std::vector<SbatLevel> *levels, const std::string &date) {
    for (SbatLevel &level : *levels)
        if (level.date == date) return &level;
    levels->push_back({date, {}});
    return &levels->back();
}

std::string Trimmed(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t"), end = text.find_last_not_of(" \t\r");
    return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

bool Pick(const std::vector<SbatLevel> &levels, const std::string &which, SbatLevel *level) {
    if (levels.empty()) return false;
    if (which == "latest") return *level = levels.back(), true;
    if (which == "previous") return levels.size() >= 2 && (*level = levels[levels.size() - 2], true);
    for (const SbatLevel &known : levels)
        if (known.date == which) return *level = known, true;
    return false;
}

}  // namespace

bool ParseSbatLevels(const std::string &text, std::vector<SbatLevel> *levels, std::string *error) {
    levels->clear();
    std::istringstream in(text);
    std::string line, date;
    for (int number = 1; std::getline(in, line); ++number) {
        line = Trimmed(line);
        if (line.empty() || line[0] == '#') continue;
        std::string where = "line " + std::to_string(number) + ": ";
        if (line.rfind(kLevelStart, 0) == 0) {
            date = line.substr(sizeof kLevelStart - 1);
            if (date.size() != kDateDigits || !AllDigits(date))
                return *error = where + "a level's date is ten digits (sbat,1,YYYYMMDDNN)", false;
            LevelOf(levels, date);
            continue;
        }
        size_t comma = line.find(',');
        SbatRevocation revocation{line.substr(0, comma), 0};
        std::string generation = comma == std::string::npos ? "" : line.substr(comma + 1);
        if (date.empty()) return *error = where + "a revocation before the first sbat,1,DATE line", false;
        if (revocation.component.empty() || !AllDigits(generation) || generation.size() > 9)
            return *error = where + "not COMPONENT,GENERATION", false;
        revocation.generation = atol(generation.c_str());
        Merge(LevelOf(levels, date), revocation);
    }
    std::sort(levels->begin(), levels->end(), [](const SbatLevel &a, const SbatLevel &b) { return a.date < b.date; });
    if (levels->empty()) return *error = "no sbat,1,DATE level in it", false;
    return true;
}

bool LoadSbatLevel(SecureBootOptions *options, std::string *error) {
    std::string path = options->revocations, text;
    struct stat info {};
    if (path.empty() && stat(TAVREL_PACKAGED_SBAT_LEVELS, &info) == 0) path = TAVREL_PACKAGED_SBAT_LEVELS;
    if (path.empty()) {
        text = kBuiltInSbatLevels;
        options->source = "the table built into this program";
    } else {
        std::ifstream in(path);
        std::ostringstream all;
        if (!in || !(all << in.rdbuf())) return *error = path + " cannot be read", false;
        text = all.str();
        options->source = path;
    }
    std::vector<SbatLevel> levels;
    std::string why;
    if (!ParseSbatLevels(text, &levels, &why)) return *error = options->source + ": " + why, false;
    if (!Pick(levels, options->which, &options->level))
        return *error = options->source + " has no level \"" + options->which + "\" (latest, previous or a date of it)",
               false;
    return true;
}

std::string LoaderVerdict::Text() const {
    std::string text;
    for (const std::string &problem : problems) text += (text.empty() ? "" : ", ") + problem;
    return text;
}

LoaderVerdict JudgeLoader(const EfiImage &image, const SecureBootOptions &options) {
    LoaderVerdict verdict;
    verdict.bPe = image.problem.empty();
    if (!verdict.bPe) return verdict;
    std::string revoked;
    for (const SbatRevocation &revocation : options.level.revocations)
        for (const SbatEntry &entry : image.sbat)
            if (entry.component == revocation.component && entry.generation < revocation.generation)
                revoked += (revoked.empty() ? "" : ", ") + entry.component + "," + std::to_string(entry.generation) +
                           " < " + std::to_string(revocation.generation);
    if (!revoked.empty()) {
        verdict.bRevoked = true;
        verdict.problems.push_back("revoked by SBAT level " + options.level.date + ": " + revoked);
    }
    const char *lpKind = image.bShim ? "a shim" : image.bGrub ? "a GRUB" : nullptr;
    if (!image.bHasSbat && lpKind)
        verdict.problems.push_back(std::string(lpKind) + " without SBAT data (shim 15.3 and later refuse it)");
    if (!image.sbatProblem.empty()) verdict.problems.push_back("unreadable SBAT: " + image.sbatProblem);
    if (!image.bSigned && options.bWarnUnsigned)
        verdict.problems.push_back("not signed (no Authenticode signature)");
    return verdict;
}
