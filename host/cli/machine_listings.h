// The boot records in the store, for people ("machines", "why") or JSON.
#pragma once

#include <string>

#include "host/store/policy_store.h"

bool PrintMachines(PolicyStore &store, bool json);
// The last attempt of MAC in plain words; says so when it was never seen.
bool PrintWhy(PolicyStore &store, const std::string &mac);
// The machines answered without being enrolled, newest first.
bool PrintUnknownMachines(PolicyStore &store, bool json);
