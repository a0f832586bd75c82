// What tavrel-host keeps per machine: the steps of its last boot attempt, as
// the library's boot events and the HTTP server told them, and the plain
// words that explain that attempt ("tavrel-host why").
#pragma once

#include <string>
#include <vector>

#include "Tavrel.h"

// One thing that happened to a machine.
struct BootStep {
    double time = 0;       // seconds since the epoch
    std::string what;      // see the kStep names
    std::string file;      // boot file offered, or file transferred
    std::string address;   // address offered; server named by a 4455 message
    std::string rule;      // the boot rule that chose the file, if any
    std::string note;      // what the Secure Boot check said of the file offered; "" when nothing
    std::string quirks;    // the firmware quirks the library named for it ("size-probe"); "" when none
    long long bytes = 0, size = -1;
    int durationMs = 0;
    std::string reason;    // a reason key (ReasonKey); "" when all went well
    bool ended = false;    // transfers: over, successfully or not
    int count = 1;         // identical steps in a row, told once
};

constexpr const char *kStepOffer = "offer";
constexpr const char *kStepAck = "ack";
constexpr const char *kStepNak = "nak";
constexpr const char *kStepProxy = "proxy";  // answered on 4011
constexpr const char *kStepUnanswered = "unanswered";
constexpr const char *kStepMirrorRequest = "mirror-request";
constexpr const char *kStepReport = "report";
constexpr const char *kStepTftp = "tftp";
constexpr const char *kStepTftpRefused = "tftp-refused";
constexpr const char *kStepHttp = "http";
constexpr const char *kStepHttpRefused = "http-refused";

// A boot is "booting" while a stage is in progress: once no step came for
// this long, its attempt has ended (booted, renewed or failed).
constexpr double kBootQuietSeconds = 60;
// A transfer that started and told no end for this long is over.
constexpr double kTransferQuietSeconds = 3600;

constexpr const char *kResultBooting = "booting";
constexpr const char *kResultBooted = "booted";
constexpr const char *kResultFailed = "failed";
constexpr const char *kResultUnanswered = "unanswered";
constexpr const char *kResultRenewed = "renewed";  // DHCP only: an installed system, no boot file fetched

struct MachineRecord {
    std::string mac;        // "52:54:00:12:34:56"; the address when no DHCP answer named one
    std::string address;    // last known address
    double lastSeen = 0;
    std::string stage;      // dhcp, tftp, http or booted: the furthest step of the attempt
    std::string result;     // a kResult name
    std::string reason;     // reason key of the failure
    std::string reporter;   // the server that saw it
    std::vector<BootStep> steps;  // the last attempt, oldest first
    // In memory only: the attempt's number (AddStep counts them), and that
    // of the last one whose first ACK went into the DHCP histogram.
    unsigned attempt = 0, ackTimed = ~0u;
};

constexpr size_t kMaxSteps = 24;

// Reason keys: short, fit for a metric label ("no_free_address").
const char *ReasonKey(int nReason);
// Plain words for a reason key ("no free address").
std::string ReasonWords(const std::string &key);

// Adds STEP to the record in time order (steps arrive from several threads,
// late ones too): starts a new attempt when this one is an offer long after
// the last step, collapses it into an identical step before it, and
// settles the record as of the step's time.
void AddStep(MachineRecord *record, const BootStep &step);

// Derives stage, result and reason from the steps alone, as of NOW, so the
// order in which they arrived changes nothing:
// - booted: a 4455 report, or the last payload complete with nothing
//   failing after it once the machine went quiet;
// - failed (unanswered for a DHCP refusal): the first failure after the
//   last complete payload that the machine did not move on from (a later
//   transfer, or a DHCP answer after a refusal);
// - booting: while a stage is in progress (kBootQuietSeconds, or
//   kTransferQuietSeconds for a transfer that has not ended);
// - renewed: DHCP only, no boot file fetched;
// - failed with "quiet": it stopped between stages.
void SettleRecord(MachineRecord *record, double now);

// The account of the last attempt, one line; names from the wire in it are
// ShownText.
std::string DescribeAttempt(const MachineRecord &record);

// A text as every listing shows it: bytes outside printable ASCII become
// \xNN, as in the log (PrintableText), so that a file name from the wire
// cannot send escape sequences to the admin's terminal.
std::string ShownText(const std::string &text);

// The steps as text for the store, and back.
std::string StepsText(const std::vector<BootStep> &steps);
std::vector<BootStep> StepsFromText(const std::string &text);
