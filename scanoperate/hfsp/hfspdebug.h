// Debug texts of the HFS+ scanners. They go to the debugger output (standard error when
// KESTRUM_DEBUG is set) or to an output a caller sets; with neither, a scan pays only a test
// per text. Nothing else depends on them.
#pragma once
#include <cstdint>

// Bit 0 turns on the timing texts of the catalog lookups that ask for them.
const uint32_t kHfspDebugTiming = 1;

void hfsplus_set_debug_flags(uint32_t flags);
uint32_t hfsplus_debug_flags();

// Where the texts go; null (the default) is the debugger output.
typedef void (*HfspDebugOutput)(const char* text);
void hfsplus_set_debug_output(HfspDebugOutput output);
// Whether a text would be written anywhere.
bool hfsplus_debug_output_on();
// printf-style; the text is cut at 511 characters.
void hfsplus_debug_text(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Milliseconds from an arbitrary start.
uint64_t hfsplus_ticks();
// "caller/function<TAB>elapsed ticks" when the timing bit is set.
void printElapsed(const char* caller, const char* function, uint64_t startTicks);
