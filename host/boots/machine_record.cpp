#include "host/boots/machine_record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "host/boots/quirk_words.h"
#include "host/text/time_text.h"
#include "log/log_text.h"

namespace {

// A DHCP offer this long after the last step begins a new attempt, and so
// does one this long after a 4455 report (the machine starts again; the
// booted system's own DHCP comes before its report).
constexpr double kNewAttemptSeconds = 120;
constexpr double kRebootAfterReportSeconds = 10;
// The result of an attempt that ended between stages (SettleRecord).
constexpr const char *kQuietReason = "quiet";
constexpr const char *kClientErrorReason = "client_error";

const struct {
    int nReason;
    const char *lpKey;
    const char *lpWords;
} kReasons[] = {
    {TAVREL_REASON_HOST_DECLINED, "host_declined", "the policy gives it to another server"},
    {TAVREL_REASON_NO_FREE_ADDRESS, "no_free_address", "no free address in its range"},
    {TAVREL_REASON_RELAY_NOT_ALLOWED, "relay_not_allowed", "its relay agent is not allowed here"},
    {TAVREL_REASON_MALFORMED, "malformed", "the request was malformed"},
    {TAVREL_REASON_DECLINED_ADDRESS, "declined_address", "the machine declined the address (in use elsewhere)"},
    {TAVREL_REASON_OTHER_SERVER, "other_server", "the machine took another server's offer"},
    {TAVREL_REASON_NOT_ANSWERED_TYPE, "not_answered_type", "a message this server does not answer"},
    {TAVREL_REASON_NO_RANGE_FOR_CLASS, "no_range_for_class", "no range serves its class of client"},
    {TAVREL_REASON_ADDRESS_PROBE, "address_probe", "its address is being probed before the first offer"},
    {TAVREL_REASON_UNKNOWN_LEASE, "unknown_lease", "it claims a lease this server has no record of"},
    {TAVREL_REASON_RELEASED_ADDRESS, "released_address", "the machine released its address"},
    {TAVREL_REASON_NOT_FOUND, "not_found", "no such file"},
    {TAVREL_REASON_OUTSIDE_FOLDER, "outside_folder", "the file lies outside the boot folder"},
    {TAVREL_REASON_TIMEOUT, "timeout", "the machine stopped answering"},
    {TAVREL_REASON_CLIENT_ERROR, "client_error", "the machine sent an error"},
    {TAVREL_REASON_NAME_REFUSED, "name_refused", "a name the boot folder refuses"},
    {TAVREL_REASON_READ_FAILED, "read_failed", "the file could not be read"},
    {TAVREL_REASON_BUSY, "busy", "too many transfers at once"},
    {TAVREL_REASON_UNACKNOWLEDGED, "unacknowledged", "the machine never acknowledged the first answer"},
};
// Reasons the HTTP server gives.
const struct {
    const char *lpKey;
    const char *lpWords;
} kHttpReasons[] = {
    {"client_closed", "the client closed the connection"},
    {"forbidden", "refused by the boot folder rules"},
    {kQuietReason, "it stopped between stages: nothing came for a while"},
};

bool IsTransfer(const std::string &what) { return what == kStepTftp || what == kStepHttp; }

// A TFTP client that asks for the size, or whether the file is there, then
// ends the transfer before its first block (ERROR 8 after the OACK, as UEFI
// firmware does before fetching; the Raspberry Pi's probe) took nothing: a
// probe, no failure. The library names the quirk; a library without
// quirks leaves it to be told from the bytes.
bool IsSizeProbe(const BootStep &s) {
    if (s.what != kStepTftp || !s.ended || s.reason != kClientErrorReason || s.bytes) return false;
    return s.quirks.empty() || HasQuirk(s.quirks, kQuirkSizeProbe) || HasQuirk(s.quirks, kQuirkEarlyAbort);
}

// The Raspberry Pi asks for files it boots without (pieeprom.sig,
// bootsig.bin, recovery.elf, "<serial>/start4.elf" before the root's).
bool IsExpectedMiss(const BootStep &s) {
    return s.what == kStepTftpRefused && s.reason == "not_found" && IsPiOptionalFile(s.file);
}

std::string Amount(long long bytes) {
    char text[32];
    if (bytes >= 1000000)
        snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    else if (bytes >= 1000)
        snprintf(text, sizeof text, "%lld KB", bytes / 1000);
    else
        snprintf(text, sizeof text, "%lld bytes", bytes);
    return text;
}

std::string Seconds(int ms) {
    char text[32];
    snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    return text;
}

std::string StageOf(const std::string &what) {
    if (what == kStepTftp || what == kStepTftpRefused) return "tftp";
    if (what == kStepHttp || what == kStepHttpRefused) return "http";
    if (what == kStepReport) return "booted";
    return "dhcp";
}

int StageRank(const std::string &stage) {
    return stage == "booted" ? 4 : stage == "http" ? 3 : stage == "tftp" ? 2 : stage == "dhcp" ? 1 : 0;
}

std::string DescribeStep(const BootStep &step, const BootStep *lpPrevious) {
    BootStep s = step;
    s.file = ShownText(s.file), s.address = ShownText(s.address), s.rule = ShownText(s.rule);
    std::string at = " at " + LocalTimeText(s.time, "%H:%M:%S");
    std::string chosen = s.file.empty() ? "" : s.rule.empty() ? " (" + s.file : " (" + s.rule + " → " + s.file;
    // Not "; ", which parts the steps: the status page shows the last part alone.
    if (!chosen.empty()) chosen += (s.note.empty() ? "" : " — " + ShownText(s.note)) + ")";
    // The quirks of a DHCP answer say how the firmware was met ("as Raspberry Pi bootloader").
    std::string quirks = s.quirks.empty() || IsTransfer(s.what) ? "" : " [" + WordsOfQuirks(ShownText(s.quirks)) + "]";
    chosen += quirks;
    if (s.what == kStepOffer) return "offered " + s.address + at + chosen;
    if (s.what == kStepAck) {
        // Acknowledging the address just offered adds nothing to the story.
        if (lpPrevious && lpPrevious->what == kStepOffer && lpPrevious->address == step.address) return "";
        return "acknowledged " + s.address + at + chosen;
    }
    if (s.what == kStepNak) return "refused its address request" + at;
    if (s.what == kStepProxy) return "boot server answered" + at + chosen;
    if (s.what == kStepUnanswered) return "not answered" + at + ": " + ReasonWords(s.reason);
    if (s.what == kStepMirrorRequest) return "asked which server serves it" + at;
    if (s.what == kStepReport) return "reported booted from " + s.address + at;
    const char *lpProtocol = s.what == kStepTftp || s.what == kStepTftpRefused ? "TFTP " : "HTTP ";
    if (IsExpectedMiss(step)) return lpProtocol + s.file + " absent" + at + " (looked for, not needed)";
    if (s.what == kStepTftpRefused || s.what == kStepHttpRefused)
        return lpProtocol + s.file + " refused" + at + ": " + ReasonWords(s.reason);
    if (IsSizeProbe(step))
        return lpProtocol + s.file + " " +
               (HasQuirk(s.quirks, kQuirkEarlyAbort) ? WordsOfQuirk(kQuirkEarlyAbort) : WordsOfQuirk(kQuirkSizeProbe)) +
               at + (s.size >= 0 ? ", " + Amount(s.size) : "");
    if (!s.ended)
        return lpProtocol + s.file + " started" + at + (s.size >= 0 ? ", " + Amount(s.size) : "") +
               (s.bytes > 0 ? ", " + Amount(s.bytes) + " so far" : "");
    if (s.reason.empty()) return lpProtocol + s.file + " " + Amount(s.bytes) + " in " + Seconds(s.durationMs);
    return lpProtocol + s.file + " stopped at " + Amount(s.bytes) + ": " + ReasonWords(s.reason);
}

// Texts in the store are one line of tab-separated fields.
std::string Field(const std::string &text) {
    std::string out = text;
    for (char &c : out)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return out;
}

}  // namespace

const char *ReasonKey(int nReason) {
    for (const auto &reason : kReasons)
        if (reason.nReason == nReason) return reason.lpKey;
    return nReason == TAVREL_REASON_NONE ? "" : "other";
}

std::string ReasonWords(const std::string &key) {
    for (const auto &reason : kReasons)
        if (key == reason.lpKey) return reason.lpWords;
    for (const auto &reason : kHttpReasons)
        if (key == reason.lpKey) return reason.lpWords;
    return key.empty() ? "" : "failed (" + key + ")";
}

namespace {

bool IsPayload(const BootStep &s) { return IsTransfer(s.what) && s.ended && s.reason.empty(); }

bool IsFailure(const BootStep &s) { return !s.reason.empty() && !IsSizeProbe(s) && !IsExpectedMiss(s); }

bool IsDhcp(const std::string &what) {
    return what == kStepOffer || what == kStepAck || what == kStepNak || what == kStepMirrorRequest;
}

bool SameStep(const BootStep &a, const BootStep &b) {
    return a.what == b.what && a.file == b.file && a.address == b.address && a.rule == b.rule && a.reason == b.reason &&
           a.note == b.note && a.quirks == b.quirks;
}

// The machine moved on after failure I: a transfer came later (one that
// fails is a failure of its own), or for a refused DHCP request a later answer.
bool Superseded(const std::vector<BootStep> &steps, size_t i) {
    for (size_t j = i + 1; j < steps.size(); ++j) {
        const std::string &what = steps[j].what;
        if (IsTransfer(what)) return true;
        if (steps[i].what == kStepUnanswered && (what == kStepOffer || what == kStepAck || what == kStepProxy))
            return true;
    }
    return false;
}

// The time of the attempt's first report; far ahead when it has none.
double ReportTime(const std::vector<BootStep> &steps) {
    for (const BootStep &s : steps)
        if (s.what == kStepReport) return s.time;
    return 1e300;
}

double LatestTime(const std::vector<BootStep> &steps) {
    double latest = 0;
    for (const BootStep &s : steps) latest = std::max(latest, s.time);
    return latest;
}

// A transfer's end takes the place of the step its start made.
void DropStart(std::vector<BootStep> &steps, const BootStep &end) {
    for (auto s = steps.rbegin(); s != steps.rend(); ++s)
        if (s->what == end.what && !s->ended && s->file == end.file) {
            steps.erase(std::next(s).base());
            return;
        }
}

}  // namespace

void AddStep(MachineRecord *record, const BootStep &step) {
    auto &steps = record->steps;
    if (step.what == kStepOffer && (steps.empty() || step.time - LatestTime(steps) > kNewAttemptSeconds ||
                                    step.time - ReportTime(steps) > kRebootAfterReportSeconds)) {
        steps.clear();
        ++record->attempt;
    }
    if (step.ended && IsTransfer(step.what)) DropStart(steps, step);
    auto at = std::upper_bound(steps.begin(), steps.end(), step.time,
                               [](double time, const BootStep &s) { return time < s.time; });
    if (at != steps.begin() && !IsTransfer(step.what) && SameStep(*std::prev(at), step)) {
        std::prev(at)->count += step.count;
        std::prev(at)->time = step.time;
    } else {
        steps.insert(at, step);
    }
    if (steps.size() > kMaxSteps) steps.erase(steps.begin());
    record->lastSeen = std::max(record->lastSeen, step.time);
    SettleRecord(record, record->lastSeen);
}

void SettleRecord(MachineRecord *record, double now) {
    const auto &steps = record->steps;
    if (steps.empty()) return;  // nothing to tell otherwise: what was stored stays
    record->stage.clear();
    record->reason.clear();
    size_t nAfterPayload = 0;
    bool bReport = false, bDhcpOnly = true, bOffered = false;
    for (size_t i = 0; i < steps.size(); ++i) {
        std::string stage = StageOf(steps[i].what);
        if (StageRank(stage) > StageRank(record->stage)) record->stage = stage;
        if (IsPayload(steps[i])) nAfterPayload = i + 1;
        bReport = bReport || steps[i].what == kStepReport;
        bDhcpOnly = bDhcpOnly && IsDhcp(steps[i].what) && !IsFailure(steps[i]);
        bOffered = bOffered || steps[i].what == kStepOffer;
    }
    if (bReport) {
        record->result = kResultBooted;
        return;
    }
    bool bRunning = false;
    for (size_t i = nAfterPayload; i < steps.size(); ++i) {
        if (IsFailure(steps[i]) && !Superseded(steps, i)) {
            record->result = steps[i].what == kStepUnanswered ? kResultUnanswered : kResultFailed;
            record->reason = steps[i].reason;
            return;
        }
        bRunning = bRunning || (IsTransfer(steps[i].what) && !steps[i].ended);
    }
    double quiet = now - LatestTime(steps);
    // An ACK with no offer before it is a renewal: no boot is under way.
    if (bDhcpOnly && !bOffered) {
        record->result = kResultRenewed;
    } else if (quiet < (bRunning ? kTransferQuietSeconds : kBootQuietSeconds)) {
        record->result = kResultBooting;
    } else if (nAfterPayload > 0 && !bRunning) {
        record->result = kResultBooted;
    } else if (bDhcpOnly) {
        record->result = kResultRenewed;
    } else {
        record->result = kResultFailed;
        record->reason = kQuietReason;
    }
}

std::string DescribeAttempt(const MachineRecord &record) {
    std::string text;
    const BootStep *lpPrevious = nullptr;
    for (const BootStep &step : record.steps) {
        std::string part = DescribeStep(step, lpPrevious);
        if (!part.empty() && step.count > 1) part += " (" + std::to_string(step.count) + " times, the last at " +
                                                    LocalTimeText(step.time, "%H:%M:%S") + ")";
        lpPrevious = &step;
        if (part.empty()) continue;
        text += (text.empty() ? "" : "; ") + part;
    }
    return text;
}

std::string ShownText(const std::string &text) { return PrintableText(text.c_str()).Text(); }

std::string StepsText(const std::vector<BootStep> &steps) {
    std::ostringstream out;
    for (const BootStep &s : steps) {
        char numbers[128];
        snprintf(numbers, sizeof numbers, "%.3f\t%lld\t%lld\t%d\t%d", s.time, s.bytes, s.size, s.durationMs,
                 s.ended ? 1 : 0);
        out << numbers << '\t' << Field(s.what) << '\t' << Field(s.file) << '\t' << Field(s.address) << '\t'
            << Field(s.rule) << '\t' << Field(s.reason);
        // An 11th field only for a collapsed step, a 12th only for a Secure
        // Boot note, a 13th only for quirks: an older member still reads
        // every other step (and skips those).
        if (s.count > 1 || !s.note.empty() || !s.quirks.empty()) out << '\t' << s.count;
        if (!s.note.empty() || !s.quirks.empty()) out << '\t' << Field(s.note);
        if (!s.quirks.empty()) out << '\t' << Field(s.quirks);
        out << '\n';
    }
    return out.str();
}

std::vector<BootStep> StepsFromText(const std::string &text) {
    std::vector<BootStep> steps;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            f.push_back(line.substr(start, tab - start));
        f.push_back(line.substr(start));
        if (f.size() < 10 || f.size() > 13) continue;
        BootStep s;
        s.time = strtod(f[0].c_str(), nullptr);
        s.bytes = strtoll(f[1].c_str(), nullptr, 10);
        s.size = strtoll(f[2].c_str(), nullptr, 10);
        s.durationMs = atoi(f[3].c_str());
        s.ended = f[4] == "1";
        s.what = f[5], s.file = f[6], s.address = f[7], s.rule = f[8], s.reason = f[9];
        if (f.size() >= 11) s.count = std::max(1, atoi(f[10].c_str()));
        if (f.size() >= 12) s.note = f[11];
        if (f.size() == 13) s.quirks = f[12];
        steps.push_back(s);
    }
    return steps;
}
