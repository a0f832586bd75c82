// The crash report writer: from library load to unload it catches the
// faults nothing else handles and appends a plain-text report (time, code,
// fault address, registers, call stack) beside the host executable, then
// lets the process end with a failure status.
#pragma once

class ExceptionReporter {
public:
    ExceptionReporter();   // installs the filter
    ~ExceptionReporter();  // puts the previous filter back
    ExceptionReporter(const ExceptionReporter &) = delete;
    ExceptionReporter &operator=(const ExceptionReporter &) = delete;
};

// Where the report goes: the executable's path with its extension replaced
// by "RPT", or the path followed by ".RPT" when it has no extension of three
// characters or more. False when the name does not fit.
bool MakeReportFileName(const char *lpExePath, char *lpName, unsigned nSize);

// The report's name for an exception code; nullptr when the table has none.
const char *ExceptionName(unsigned dwCode);
