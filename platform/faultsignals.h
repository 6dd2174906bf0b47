// Crash reports: appending a report to a file, with a backtrace, and the handlers for
// processor faults that write one from a signal handler before the process dies.
#pragma once

namespace plat {

// Appends text and, when asked, a backtrace of the calling thread to the file. Safe to call
// from a signal handler (open, write and close only; the backtrace machinery is loaded
// when the handlers are installed).
bool AppendCrashReport(const char* path, const char* text, bool withBacktrace);

// Installs, once per process, handlers for SIGSEGV, SIGBUS, SIGFPE and SIGILL on an
// alternate stack. Each writes a report to reportPath (copied) naming the signal and the
// operation last set with SetFaultOperation on the faulting thread, then re-raises the
// signal with its default action.
void InstallFaultHandlers(const char* reportPath);
// Changes the file that the fault handlers write to.
void SetFaultReportPath(const char* reportPath);
// The operation that a fault on this thread is charged to; null for none.
void SetFaultOperation(const char* operation);
const char* GetFaultOperation();

int ProcessId();

}  // namespace plat
