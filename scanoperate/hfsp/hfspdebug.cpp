#include "scanoperate/hfsp/hfspdebug.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "common/textutil.h"

namespace {

uint32_t gDebugFlags = 0;
HfspDebugOutput gDebugOutput = nullptr;

}  // namespace

void hfsplus_set_debug_flags(uint32_t flags) { gDebugFlags = flags; }
uint32_t hfsplus_debug_flags() { return gDebugFlags; }

void hfsplus_set_debug_output(HfspDebugOutput output) { gDebugOutput = output; }
bool hfsplus_debug_output_on() { return gDebugOutput != nullptr || DebugLogOn(); }

void hfsplus_debug_text(const char* format, ...) {
  if (!format || !hfsplus_debug_output_on()) return;
  char text[512];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  if (gDebugOutput)
    gDebugOutput(text);
  else
    DebugLogA("%s", text);
}

uint64_t hfsplus_ticks() {
  using namespace std::chrono;
  return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void printElapsed(const char* caller, const char* function, uint64_t startTicks) {
  if (!(gDebugFlags & kHfspDebugTiming) || !hfsplus_debug_output_on()) return;
  hfsplus_debug_text("%s/%s\t%d\n", caller ? caller : "", function ? function : "",
                     int(hfsplus_ticks() - startTicks));
}
