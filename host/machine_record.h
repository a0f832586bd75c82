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
    long long bytes = 0, size = -1;
    int durationMs = 0;
    std::string reason;    // a reason key (ReasonKey); "" when all went well
    bool ended = false;    // transfers: over, successfully or not
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

struct MachineRecord {
    std::string mac;        // "52:54:00:12:34:56"; the address when no DHCP answer named one
    std::string address;    // last known address
    double lastSeen = 0;
    std::string stage;      // dhcp, tftp, http or booted: the furthest step of the attempt
    std::string result;     // booting, booted, failed or unanswered
    std::string reason;     // reason key of the failure
    std::string reporter;   // the server that saw it
    std::vector<BootStep> steps;  // the last attempt, oldest first
};

constexpr size_t kMaxSteps = 24;

// Reason keys: short, fit for a metric label ("no_free_address").
const char *ReasonKey(int nReason);
// Plain words for a reason key ("no free address").
std::string ReasonWords(const std::string &key);

// Adds STEP to the record: starts a new attempt when this one is an offer
// long after the last step, updates stage, result and reason.
void AddStep(MachineRecord *record, const BootStep &step);

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
