// What the store holds, as tables for people or JSON for programs.
#pragma once

#include "host/policy_store.h"

bool PrintReports(PolicyStore &store, bool json);
// Each server with its state ("live", "dead": no heartbeat for 6 s,
// "stopped"), last heartbeat and the clients it served in the last hour.
bool PrintFarm(PolicyStore &store, bool json);
