#include "common/crashdump.h"

#include <cstdlib>
#include <string>

#include "platform/faultsignals.h"

CrashDumpWriter::CrashDumpWriter() : m_reports(0), m_closed(false) {
  const char* env = std::getenv("KESTRUM_CRASH_REPORT");
  if (env && *env) {
    m_path = env;
  } else {
    const char* tmp = std::getenv("TMPDIR");
    m_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrum-crash-" +
             std::to_string(plat::ProcessId()) + ".txt";
  }
  plat::InstallFaultHandlers(m_path.c_str());
}

CrashDumpWriter* CrashDumpWriter::Instance() {
  static CrashDumpWriter* writer = new CrashDumpWriter;  // never destroyed: handlers use its path
  return writer;
}

void CrashDumpWriter::SetReportPath(const std::string& path) {
  m_path = path;
  m_closed = false;
  plat::SetFaultReportPath(m_path.c_str());
}

void CrashDumpWriter::CloseDumpFile() { m_closed = true; }

int CrashDumpWriter::WriteDump(const char* operation, const char* what) {
  if (m_closed) return 0;
  std::string text = "=== Kestrum crash report ===\noperation: ";
  text += operation ? operation : "(none)";
  text += "\nexception: ";
  text += what ? what : "(unknown)";
  text += "\npid: " + std::to_string(plat::ProcessId()) + "\nbacktrace:\n";
  ++m_reports;
  return plat::AppendCrashReport(m_path.c_str(), text.c_str(), true) ? 1 : 0;
}

GuardScope::GuardScope(const char* operation) : m_previous(plat::GetFaultOperation()) {
  plat::SetFaultOperation(operation);
}

GuardScope::~GuardScope() { plat::SetFaultOperation(m_previous); }
