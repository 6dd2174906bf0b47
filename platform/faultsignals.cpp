#include "platform/faultsignals.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

namespace plat {
namespace {

char g_reportPath[512];
thread_local const char* t_operation = nullptr;
std::atomic<bool> g_installed{false};
const size_t kAltStackBytes = 64 * 1024;

// Gives the calling thread an alternate signal stack unless it has one already (the
// sanitizer runtime installs its own and unmaps whatever stack is current when the thread
// ends, so ours is mapped, never taken from the heap, and never replaces another).
void EnsureAltStack() {
  stack_t old;
  if (sigaltstack(nullptr, &old) != 0 || !(old.ss_flags & SS_DISABLE)) return;
  void* mem = mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) return;
  stack_t ss;
  memset(&ss, 0, sizeof ss);
  ss.ss_sp = mem;
  ss.ss_size = kAltStackBytes;
  if (sigaltstack(&ss, nullptr) != 0) munmap(mem, kAltStackBytes);
}

void WriteText(int fd, const char* s) {
  size_t n = strlen(s);
  while (n > 0) {
    ssize_t w = write(fd, s, n);
    if (w <= 0) return;
    s += w;
    n -= size_t(w);
  }
}

// Decimal text without printf, which is not async-signal-safe.
void WriteNumber(int fd, long v) {
  char buf[24];
  int i = sizeof buf - 1;
  buf[i] = 0;
  bool neg = v < 0;
  unsigned long u = neg ? 0ul - (unsigned long)v : (unsigned long)v;
  do {
    buf[--i] = char('0' + u % 10);
    u /= 10;
  } while (u && i > 1);
  if (neg) buf[--i] = '-';
  WriteText(fd, buf + i);
}

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
  }
  return "signal";
}

void OnFault(int sig, siginfo_t* info, void*) {
  int fd = open(g_reportPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd >= 0) {
    WriteText(fd, "=== Kestrum crash report ===\noperation: ");
    WriteText(fd, t_operation ? t_operation : "(none)");
    WriteText(fd, "\nfault: ");
    WriteText(fd, SignalName(sig));
    WriteText(fd, " (");
    WriteNumber(fd, sig);
    WriteText(fd, ") at address 0x");
    char hex[17];
    unsigned long a = (unsigned long)(info ? info->si_addr : nullptr);
    for (int i = 15; i >= 0; --i, a >>= 4) hex[i] = "0123456789abcdef"[a & 15];
    hex[16] = 0;
    WriteText(fd, hex);
    WriteText(fd, "\npid: ");
    WriteNumber(fd, long(getpid()));
    WriteText(fd, "\nbacktrace:\n");
    void* frames[64];
    int n = backtrace(frames, 64);
    backtrace_symbols_fd(frames, n, fd);
    WriteText(fd, "\n");
    close(fd);
  }
  // SA_RESETHAND restored the default action: the process dies by this signal.
  raise(sig);
}

}  // namespace

bool AppendCrashReport(const char* path, const char* text, bool withBacktrace) {
  if (!path || !*path) return false;
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  WriteText(fd, text);
  if (withBacktrace) {
    void* frames[64];
    int n = backtrace(frames, 64);
    backtrace_symbols_fd(frames, n, fd);
  }
  WriteText(fd, "\n");
  close(fd);
  return true;
}

void InstallFaultHandlers(const char* reportPath) {
  bool expected = false;
  if (!g_installed.compare_exchange_strong(expected, true)) return;
  strncpy(g_reportPath, reportPath ? reportPath : "", sizeof g_reportPath - 1);
  // backtrace loads its unwinder on first use, which allocates: do it now, not in a handler.
  void* warm[2];
  backtrace(warm, 2);
  EnsureAltStack();
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = OnFault;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(sig, &sa, nullptr);
}

void SetFaultReportPath(const char* reportPath) {
  char tmp[sizeof g_reportPath] = {};
  strncpy(tmp, reportPath ? reportPath : "", sizeof tmp - 1);
  memcpy(g_reportPath, tmp, sizeof tmp);
}

void SetFaultOperation(const char* operation) {
  // Each thread needs its own alternate stack: a fault from a stack overflow has none left.
  thread_local bool hasAltStack = false;
  if (operation && !hasAltStack && g_installed.load()) {
    hasAltStack = true;
    EnsureAltStack();
  }
  t_operation = operation;
}
const char* GetFaultOperation() { return t_operation; }
int ProcessId() { return int(getpid()); }

}  // namespace plat
