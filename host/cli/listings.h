// What the store holds, as tables for people or JSON for programs.
#pragma once

#include "host/store/policy_store.h"

#include <string>
#include <vector>

#include "host/store/lease_journal.h"

// The newest LIMIT reports at or after SINCE (a stamp of ParseLocalTime), oldest first.
bool PrintReports(PolicyStore &store, bool json, long limit, const std::string &since);
bool PrintAssignments(PolicyStore &store, bool json);
void PrintLeases(const std::vector<LeaseEntry> &leases, bool json);
// Each server with its state ("live", "dead": no heartbeat for 6 s,
// "stopped"), last heartbeat and the clients it served in the last hour;
// their count in *MEMBERS (0 outside a farm).
bool PrintFarm(PolicyStore &store, bool json, size_t *members);
