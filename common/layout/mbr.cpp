#include "common/layout/mbr.h"

#include <set>

#include "common/inc/bytes.h"
#include "common/layout/boot_signature.h"

namespace layout {

bool IsExtendedPartitionType(uint8_t type) {
  return type == kMbrTypeExtended || type == kMbrTypeExtendedLba || type == kMbrTypeLinuxExtended;
}

bool DecodeMbrEntry(const uint8_t* data, size_t size, MbrEntry* out) {
  if (!data || !out || size < kMbrEntrySize) return false;
  kbytes::ByteView v(data, size);
  MbrEntry e;
  bool ok = v.U8(offsetof(raw::MbrEntry, status), &e.status) &&
            v.Bytes(offsetof(raw::MbrEntry, chsFirst), e.chsFirst, 3) &&
            v.U8(offsetof(raw::MbrEntry, type), &e.type) &&
            v.Bytes(offsetof(raw::MbrEntry, chsLast), e.chsLast, 3) &&
            v.Le32(offsetof(raw::MbrEntry, firstLba), &e.firstLba) &&
            v.Le32(offsetof(raw::MbrEntry, sectors), &e.sectors);
  if (!ok) return false;
  *out = e;
  return true;
}

bool DecodeMbrSector(const uint8_t* data, size_t size, MbrSector* out) {
  if (!data || !out || size < kMbrSectorSize) return false;
  MbrSector s;
  for (size_t i = 0; i < 4; ++i) {
    size_t off = kMbrEntriesOffset + i * kMbrEntrySize;
    if (!DecodeMbrEntry(data + off, size - off, &s.entries[i])) return false;
  }
  s.signatureValid = HasBootSectorSignature(data, size);
  *out = s;
  return true;
}

bool DecodeEbr(const uint8_t* data, size_t size, Ebr* out) {
  if (!out) return false;
  MbrSector s;
  if (!DecodeMbrSector(data, size, &s)) return false;
  out->logical = s.entries[0];
  out->next = s.entries[1];
  out->signatureValid = s.signatureValid;
  return true;
}

bool DecodePartitionRecord(const uint8_t* data, size_t size, bool isEbr, PartitionRecord* out) {
  if (!out) return false;
  MbrSector s;
  if (!DecodeMbrSector(data, size, &s) || !s.signatureValid) return false;
  PartitionRecord r;
  const size_t entries = isEbr ? 2 : 4;
  for (size_t i = 0; i < entries; ++i) {
    const MbrEntry& e = s.entries[i];
    if (!e.StatusValid()) break;
    if (e.IsEmpty()) continue;
    if (IsExtendedPartitionType(e.type)) {
      if (!r.link) r.link = e.firstLba;
    } else if (e.type == kMbrTypeGptProtective) {
      r.protective = true;
    } else {
      r.partitions[r.count++] = e;
    }
  }
  *out = r;
  return true;
}

EbrWalk WalkEbrChain(uint64_t base, uint64_t totalSectors,
                     const std::function<bool(uint64_t sector, uint32_t* link)>& visit) {
  EbrWalk w;
  // A self-linked record, or two linking to each other, would otherwise loop forever.
  std::set<uint64_t> visited;
  uint64_t current = base;
  while (current && int(visited.size()) < kMaxEbrRecords && visited.insert(current).second) {
    if (current >= totalSectors) break;
    uint32_t link = 0;
    if (!visit(current, &link)) {
      w.failed = true;
      break;
    }
    ++w.records;
    if (link == 0 || link > UINT64_MAX - base) break;
    current = base + link;
  }
  return w;
}

}  // namespace layout
