// The last line of defence of long scans and reads over damaged structures. Bounds checks in
// the decoders keep faults from happening; when an exception still escapes a guarded
// operation, a report (operation, exception, backtrace) is appended to the crash report file
// and the operation answers its failure code. A processor fault cannot be resumed on Linux:
// the handlers installed by the writer append the same report and let the signal end the
// process.
#pragma once
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

// Thrown by a decoder that finds a structure it cannot go on with.
class CorruptStructure : public std::runtime_error {
 public:
  explicit CorruptStructure(const std::string& what) : std::runtime_error(what) {}
};

class CrashDumpWriter {
 public:
  // The process-wide writer; the first call installs the fault handlers.
  static CrashDumpWriter* Instance();

  // The report file: KESTRUM_CRASH_REPORT when set, else kestrum-crash-<pid>.txt in the
  // temporary folder.
  const std::string& GetReportPath() const { return m_path; }
  void SetReportPath(const std::string& path);

  // Appends one report; 1 when it was written, 0 when the file is closed or cannot be
  // written.
  int WriteDump(const char* operation, const char* what);
  // Later reports are skipped until SetReportPath names a file again.
  void CloseDumpFile();
  int ReportCount() const { return m_reports; }

 private:
  CrashDumpWriter();
  std::string m_path;
  int m_reports;
  bool m_closed;
};

// Charges faults on this thread to an operation while the scope lives.
class GuardScope {
 public:
  explicit GuardScope(const char* operation);
  ~GuardScope();

 private:
  const char* m_previous;
};

// Runs body() and answers its result, or failureCode when it threw.
template <class F>
int RunGuarded(const char* operation, int failureCode, F&& body) {
  CrashDumpWriter* writer = CrashDumpWriter::Instance();
  GuardScope scope(operation);
  try {
    return body();
  } catch (const std::bad_alloc&) {
    writer->WriteDump(operation, "out of memory (std::bad_alloc)");
  } catch (const std::exception& e) {
    writer->WriteDump(operation, e.what());
  } catch (...) {
    writer->WriteDump(operation, "unknown exception");
  }
  return failureCode;
}
