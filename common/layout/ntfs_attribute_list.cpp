#include "common/layout/ntfs_attribute_list.h"

#include "common/inc/bytes.h"

namespace layout {

bool DecodeNtfsAttributeListEntry(const uint8_t* data, size_t size, NtfsAttributeListEntry* out) {
  if (!data || !out || size < kNtfsAttributeListEntryMinSize) return false;
  kbytes::ByteView v(data, size);
  NtfsAttributeListEntry e;
  uint64_t ref = 0;
  bool ok = v.Le32(offsetof(raw::NtfsAttributeListEntry, type), &e.type) &&
            v.Le16(offsetof(raw::NtfsAttributeListEntry, recordLength), &e.recordLength) &&
            v.U8(offsetof(raw::NtfsAttributeListEntry, nameLength), &e.nameLength) &&
            v.U8(offsetof(raw::NtfsAttributeListEntry, nameOffset), &e.nameOffset) &&
            v.Le64(offsetof(raw::NtfsAttributeListEntry, startingVcn), &e.startingVcn) &&
            v.Le64(offsetof(raw::NtfsAttributeListEntry, fileReference), &ref) &&
            v.Le16(offsetof(raw::NtfsAttributeListEntry, attributeId), &e.attributeId);
  if (!ok) return false;
  if (NtfsAttributeListEntryStep(data, size) == 0) return false;
  if (e.nameLength && !kbytes::Fits(e.recordLength, e.nameOffset, size_t(e.nameLength) * 2)) return false;
  e.record = ref & 0xFFFFFFFFFFFFull;
  e.sequence = uint16_t(ref >> 48);
  *out = e;
  return true;
}

size_t NtfsAttributeListEntryStep(const uint8_t* data, size_t size) {
  uint16_t length = 0;
  if (!data || size < kNtfsAttributeListEntryMinSize ||
      !kbytes::ReadLe16(data, size, offsetof(raw::NtfsAttributeListEntry, recordLength), &length))
    return 0;
  return length < kNtfsAttributeListEntryMinSize || length > size ? 0 : length;
}

}  // namespace layout
