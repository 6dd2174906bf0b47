// The allocator of the HFS+ scan's working memory: every live block is recorded with the
// place that asked for it so that the scan can account for what it still holds, and each
// allocation is logged with one line on standard output.
#pragma once
#include <cstddef>
#include <cstdint>

void* trackedMalloc(size_t size, const char* site, int line);
void trackedFree(void* block);
// Writes the list of live blocks into a local text (debug aid; the text goes nowhere).
void reportLeaks();
// Tracked bytes in use, and live blocks.
uint64_t trackedMemoryUse();
size_t trackedBlockCount();
// Pushes the buffered allocation log out to standard output.
void trackedFlushLog();

#define HFS_MALLOC(size) trackedMalloc((size), __FILE__, __LINE__)
