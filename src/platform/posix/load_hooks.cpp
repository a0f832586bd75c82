#include "platform/platform.h"

// The shared object's counterpart of DllMain's attach and detach.
__attribute__((constructor)) static void OnSharedObjectLoad() { TavrelOnLoad(); }
__attribute__((destructor)) static void OnSharedObjectUnload() { TavrelOnUnload(); }
