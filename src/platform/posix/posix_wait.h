// What the POSIX wait handles hold, for the other POSIX files.
#pragma once

#include "platform/platform.h"

namespace platform {

// The descriptor that is readable while the event is set.
int WaitableFd(WaitHandle handle);

}  // namespace platform
