// Debug texts of the HFS+ scanners. They go to a debug output that is off unless a caller
// sets one, so that a scan pays only a test per text; nothing else depends on them.
#pragma once
#include <cstdint>

// Bit 0 turns on the timing texts of the catalog lookups that ask for them.
const uint32_t kHfspDebugTiming = 1;

void hfsplus_set_debug_flags(uint32_t flags);
uint32_t hfsplus_debug_flags();

// Where the texts go; null (the default) drops them.
typedef void (*HfspDebugOutput)(const char* text);
void hfsplus_set_debug_output(HfspDebugOutput output);
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
