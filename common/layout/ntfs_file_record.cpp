#include "common/layout/ntfs_file_record.h"

#include <cstring>

#include "common/inc/bytes.h"

namespace layout {

bool DecodeNtfsFileRecordHeader(const uint8_t* data, size_t size, NtfsFileRecordHeader* out) {
  if (!data || !out || size < kNtfsFileRecordMinSize) return false;
  kbytes::ByteView v(data, size);
  NtfsFileRecordHeader h;
  bool ok = v.Bytes(offsetof(raw::NtfsFileRecordHeader, signature), h.signature, 4) &&
            v.Le16(offsetof(raw::NtfsFileRecordHeader, usaOffset), &h.usaOffset) &&
            v.Le16(offsetof(raw::NtfsFileRecordHeader, usaCount), &h.usaCount) &&
            v.Le64(offsetof(raw::NtfsFileRecordHeader, lsn), &h.lsn) &&
            v.Le16(offsetof(raw::NtfsFileRecordHeader, sequence), &h.sequence) &&
            v.Le16(offsetof(raw::NtfsFileRecordHeader, linkCount), &h.linkCount) &&
            v.Le16(offsetof(raw::NtfsFileRecordHeader, firstAttributeOffset), &h.firstAttributeOffset) &&
            v.Le16(offsetof(raw::NtfsFileRecordHeader, flags), &h.flags) &&
            v.Le32(offsetof(raw::NtfsFileRecordHeader, bytesInUse), &h.bytesInUse) &&
            v.Le32(offsetof(raw::NtfsFileRecordHeader, bytesAllocated), &h.bytesAllocated) &&
            v.Le64(offsetof(raw::NtfsFileRecordHeader, baseRecord), &h.baseRecord) &&
            v.Le16(offsetof(raw::NtfsFileRecordHeader, nextAttributeId), &h.nextAttributeId);
  if (!ok) return false;
  if (h.bytesInUse > size) return false;
  if (!kbytes::Fits(size, h.usaOffset, size_t(h.usaCount) * 2)) return false;
  if (h.firstAttributeOffset < kNtfsFileRecordMinSize ||
      !kbytes::Fits(h.bytesInUse, h.firstAttributeOffset, 4))
    return false;
  // The record number exists only where the update-sequence array leaves room for it.
  const size_t numberEnd = offsetof(raw::NtfsFileRecordHeader, recordNumber) + 4;
  if (h.usaOffset >= numberEnd && v.Le32(offsetof(raw::NtfsFileRecordHeader, recordNumber), &h.recordNumber))
    h.hasRecordNumber = true;
  h.isFile = std::memcmp(h.signature, "FILE", 4) == 0;
  *out = h;
  return true;
}

}  // namespace layout
