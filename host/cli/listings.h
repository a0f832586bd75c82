// What the store holds, as tables for people or JSON for programs.
#pragma once

#include "host/store/policy_store.h"

#include <string>
#include <vector>

#include "host/store/lease_journal.h"

// The accepted forms of a time typed for --since, local time.
constexpr const char *kTimeForms = "YYYY-MM-DD or \"YYYY-MM-DD HH:MM:SS\" (local time)";
// TEXT in one of kTimeForms as the stored reports write times
// ("2026-12-08 00:00:00"); false for anything else (a date that does not exist too).
bool ParseReportTime(const std::string &text, std::string *stamp);

// The newest LIMIT reports at or after SINCE (a stamp of ParseReportTime), oldest first.
bool PrintReports(PolicyStore &store, bool json, long limit, const std::string &since);
bool PrintAssignments(PolicyStore &store, bool json);
void PrintLeases(const std::vector<LeaseEntry> &leases, bool json);
// Each server with its state ("live", "dead": no heartbeat for 6 s,
// "stopped"), last heartbeat and the clients it served in the last hour;
// their count in *MEMBERS (0 outside a farm).
bool PrintFarm(PolicyStore &store, bool json, size_t *members);
