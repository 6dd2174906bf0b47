#include "common/layout/apple_partition_map.h"

#include <cstring>

#include "common/inc/bytes.h"

namespace layout {

namespace {

const char kMapType[] = "Apple_partition_map";

bool TypeIs(const ApmEntry& e, const char* type) { return std::strcmp(e.type, type) == 0; }

}  // namespace

bool DecodeApmEntry(const uint8_t* data, size_t size, ApmEntry* out) {
  if (!data || !out || size < kApmEntrySize) return false;
  kbytes::ByteView v(data, size);
  uint16_t sig = 0;
  ApmEntry e;
  bool ok = v.Be16(offsetof(raw::ApmEntry, signature), &sig) &&
            v.Be32(offsetof(raw::ApmEntry, mapEntries), &e.mapEntries) &&
            v.Be32(offsetof(raw::ApmEntry, start), &e.start) &&
            v.Be32(offsetof(raw::ApmEntry, blocks), &e.blocks) &&
            v.Bytes(offsetof(raw::ApmEntry, name), e.name, 32) &&
            v.Bytes(offsetof(raw::ApmEntry, type), e.type, 32);
  if (!ok || sig != kApmEntrySignature) return false;
  e.name[32] = 0;
  e.type[32] = 0;
  *out = e;
  return true;
}

bool ApmEntryIsHfs(const ApmEntry& e) { return TypeIs(e, "Apple_HFS") || TypeIs(e, "Apple_HFSX"); }

std::vector<uint64_t> ApmHfsStarts(const uint8_t* data, size_t size) {
  std::vector<uint64_t> out;
  if (!data) return out;
  for (size_t at = 0; at + kApmEntrySize <= size; at += 512) {
    ApmEntry self;
    if (!DecodeApmEntry(data + at, size - at, &self) || !TypeIs(self, kMapType)) continue;
    // The map's own entry is its first block; an entry in front of it would mean the map
    // does not begin where this entry says.
    if (self.start != 1 || self.mapEntries < 2 || self.mapEntries > 64) continue;
    for (uint64_t block = 512; block <= 4096; block *= 2) {
      // The disk may begin before the bytes do (a partition from the map's first block).
      int64_t diskStart = int64_t(at) - int64_t(block);
      if (uint64_t(self.mapEntries) * block > size - at) break;
      bool whole = true;
      std::vector<uint64_t> starts;
      for (uint32_t i = 1; i < self.mapEntries && whole; ++i) {
        ApmEntry e;
        size_t off = at + size_t(i * block);
        whole = DecodeApmEntry(data + off, size - off, &e) && e.mapEntries == self.mapEntries;
        if (!whole || !ApmEntryIsHfs(e) || e.blocks == 0) continue;
        int64_t start = diskStart + int64_t(uint64_t(e.start) * block);
        if (start >= 0) starts.push_back(uint64_t(start));
      }
      if (!whole) continue;
      out.insert(out.end(), starts.begin(), starts.end());
      return out;
    }
  }
  return out;
}

}  // namespace layout
