#include "platform/platform.h"

// Loading the library installs the crash filter and nothing else.
void TavrelOnLoad() {}
void TavrelOnUnload() {}
