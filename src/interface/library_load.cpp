#include <new>

#include "crash/crash_report.h"
#include "platform/platform.h"

// Loading the library installs the crash filter and nothing else.
namespace {
alignas(ExceptionReporter) unsigned char g_ReporterStorage[sizeof(ExceptionReporter)];
ExceptionReporter *g_lpReporter = nullptr;
}  // namespace

void TavrelOnLoad() {
    if (!g_lpReporter) g_lpReporter = new (g_ReporterStorage) ExceptionReporter();
}

void TavrelOnUnload() {
    if (g_lpReporter) g_lpReporter->~ExceptionReporter();
    g_lpReporter = nullptr;
}
