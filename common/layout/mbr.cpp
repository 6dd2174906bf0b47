#include "common/layout/mbr.h"

#include "common/inc/bytes.h"

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
  uint8_t a = 0, b = 0;
  if (!kbytes::ReadU8(data, size, 510, &a) || !kbytes::ReadU8(data, size, 511, &b)) return false;
  s.signatureValid = a == 0x55 && b == 0xAA;
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

}  // namespace layout
