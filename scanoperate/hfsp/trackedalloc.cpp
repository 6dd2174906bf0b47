#include "scanoperate/hfsp/trackedalloc.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

struct _alloc_item {
  char site[500];
  int line;
  uint64_t size;
};

// The log is written in large pieces: a line per allocation through a line-buffered
// terminal would cost a system call per node read.
class AllocLog {
 public:
  ~AllocLog() { Flush(); }
  void Add(long long count, size_t size) {
    char line[96];
    int n = snprintf(line, sizeof line, "ZQ_MALLOC_EXT count==%lld   size=%d\n", count, int(size));
    if (n <= 0) return;
    if (m_used + size_t(n) > sizeof m_buf) Flush();
    memcpy(m_buf + m_used, line, size_t(n));
    m_used += size_t(n);
  }
  void Flush() {
    if (m_used) fwrite(m_buf, 1, m_used, stdout);
    m_used = 0;
    fflush(stdout);
  }

 private:
  char m_buf[64 * 1024];
  size_t m_used = 0;
};

// The process-wide state: every live block by its address, the tracked bytes in use and
// the number of the next allocation.
struct AllocState {
  std::map<uintptr_t, _alloc_item*> gAllocItemMap;
  uint64_t gMemoryUse = 0;
  long long count = 0;
  AllocLog log;
};

// Constructed on first use, so that callers running during static construction find it.
AllocState& State() {
  static AllocState state;
  return state;
}

}  // namespace

void* trackedMalloc(size_t size, const char* site, int line) {
  AllocState& s = State();
  s.log.Add(s.count++, size);
  void* block = malloc(size ? size : 1);
  if (!block) return nullptr;
  _alloc_item* item = static_cast<_alloc_item*>(malloc(sizeof(_alloc_item)));
  if (!item) {
    free(block);
    return nullptr;
  }
  const char* name = site ? site : "";
  const char* slash = strrchr(name, '/');
  if (slash) name = slash + 1;
  snprintf(item->site, sizeof item->site, "%s", name);
  item->line = line;
  item->size = size;
  s.gAllocItemMap[reinterpret_cast<uintptr_t>(block)] = item;
  s.gMemoryUse += size;
  return block;
}

void trackedFree(void* block) {
  if (!block) return;
  AllocState& s = State();
  auto it = s.gAllocItemMap.find(reinterpret_cast<uintptr_t>(block));
  // A block this allocator did not hand out is not ours to free.
  if (it == s.gAllocItemMap.end()) return;
  s.gMemoryUse -= it->second->size;
  free(it->second);
  s.gAllocItemMap.erase(it);
  free(block);
}

void reportLeaks() {
  AllocState& s = State();
  std::string text;
  char line[600];
  for (const auto& e : s.gAllocItemMap) {
    snprintf(line, sizeof line, "leak gMemoryUse===%s\t%d\t%" PRId64 "\n", e.second->site,
             e.second->line, int64_t(e.second->size));
    text += line;
  }
  s.log.Flush();
}

uint64_t trackedMemoryUse() { return State().gMemoryUse; }
size_t trackedBlockCount() { return State().gAllocItemMap.size(); }
void trackedFlushLog() { State().log.Flush(); }
