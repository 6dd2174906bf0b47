#include "common/layout/gpt.h"

#include <cstring>

#include "common/inc/bytes.h"

namespace layout {

bool GptEntry::IsUnused() const {
  static const uint8_t kZero[16] = {0};
  return std::memcmp(typeGuid, kZero, 16) == 0;
}

bool HasGptSignature(const uint8_t* data, size_t size) {
  char sig[8];
  return data && kbytes::ReadBytes(data, size, offsetof(raw::GptHeader, signature), sig, 8) &&
         std::memcmp(sig, "EFI PART", 8) == 0;
}

bool ReadGptHeaderFields(const uint8_t* data, size_t size, GptHeader* out) {
  if (!data || !out || size < kGptHeaderMinSize) return false;
  kbytes::ByteView v(data, size);
  GptHeader h;
  char sig[8];
  bool ok = v.Bytes(offsetof(raw::GptHeader, signature), sig, 8) &&
            v.Le32(offsetof(raw::GptHeader, revision), &h.revision) &&
            v.Le32(offsetof(raw::GptHeader, headerSize), &h.headerSize) &&
            v.Le32(offsetof(raw::GptHeader, headerCrc32), &h.headerCrc32) &&
            v.Le64(offsetof(raw::GptHeader, myLba), &h.myLba) &&
            v.Le64(offsetof(raw::GptHeader, alternateLba), &h.alternateLba) &&
            v.Le64(offsetof(raw::GptHeader, firstUsableLba), &h.firstUsableLba) &&
            v.Le64(offsetof(raw::GptHeader, lastUsableLba), &h.lastUsableLba) &&
            v.Bytes(offsetof(raw::GptHeader, diskGuid), h.diskGuid, 16) &&
            v.Le64(offsetof(raw::GptHeader, entriesLba), &h.entriesLba) &&
            v.Le32(offsetof(raw::GptHeader, entryCount), &h.entryCount) &&
            v.Le32(offsetof(raw::GptHeader, entrySize), &h.entrySize) &&
            v.Le32(offsetof(raw::GptHeader, entriesCrc32), &h.entriesCrc32);
  if (!ok) return false;
  h.headerSizeValid = h.headerSize >= kGptHeaderMinSize && h.headerSize <= size;
  h.signatureValid = std::memcmp(sig, "EFI PART", 8) == 0;
  h.entryArrayBytes = uint64_t(h.entryCount) * uint64_t(h.entrySize);
  *out = h;
  return true;
}

bool DecodeGptHeader(const uint8_t* data, size_t size, GptHeader* out) {
  GptHeader h;
  if (!out || !ReadGptHeaderFields(data, size, &h) || !h.headerSizeValid) return false;
  *out = h;
  return true;
}

bool DecodeGptEntry(const uint8_t* data, size_t size, GptEntry* out) {
  if (!data || !out || size < kGptEntryMinSize) return false;
  kbytes::ByteView v(data, size);
  GptEntry e;
  bool ok = v.Bytes(offsetof(raw::GptEntry, typeGuid), e.typeGuid, 16) &&
            v.Bytes(offsetof(raw::GptEntry, uniqueGuid), e.uniqueGuid, 16) &&
            v.Le64(offsetof(raw::GptEntry, firstLba), &e.firstLba) &&
            v.Le64(offsetof(raw::GptEntry, lastLba), &e.lastLba) &&
            v.Le64(offsetof(raw::GptEntry, attributes), &e.attributes);
  for (size_t i = 0; ok && i < 36; ++i) {
    uint16_t u = 0;
    ok = v.Le16(offsetof(raw::GptEntry, name) + 2 * i, &u);
    e.name[i] = char16_t(u);
  }
  if (!ok) return false;
  e.name[36] = 0;
  *out = e;
  return true;
}

bool GptEntryAt(const uint8_t* table, size_t tableSize, uint32_t entrySize, uint32_t index, GptEntry* out) {
  if (!table || entrySize < kGptEntryMinSize) return false;
  uint64_t off = uint64_t(index) * entrySize;
  if (!kbytes::RangeInside(off, entrySize, tableSize)) return false;
  return DecodeGptEntry(table + off, size_t(entrySize), out);
}

bool GptEntrySizeValid(uint32_t entrySize) {
  return entrySize >= kGptEntryMinSize && entrySize % kGptEntryMinSize == 0 &&
         kbytes::IsPowerOfTwo(entrySize / kGptEntryMinSize);
}

bool ValidateGptEntryArray(const GptHeader& h, uint32_t sectorSize, uint64_t totalSectors, uint64_t maxBytes,
                           uint64_t* sectors) {
  if (sectorSize == 0 || h.entryCount == 0 || !GptEntrySizeValid(h.entrySize)) return false;
  if (h.entryArrayBytes > maxBytes) return false;
  uint64_t n = h.entryArrayBytes / sectorSize + (h.entryArrayBytes % sectorSize ? 1 : 0);
  if (h.entriesLba == 0 || !kbytes::RangeInside(h.entriesLba, n, totalSectors)) return false;
  if (sectors) *sectors = n;
  return true;
}

}  // namespace layout
