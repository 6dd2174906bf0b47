#include "common/layout/ntfs_file_record.h"

#include <cstring>

#include "common/inc/bytes.h"

namespace layout {

bool IsNtfsFileRecordSignature(const uint8_t* data, size_t size) {
  return data && size >= 4 && std::memcmp(data, "FILE", 4) == 0;
}

bool ReadNtfsUpdateSequence(const uint8_t* data, size_t size, uint16_t* offset, uint16_t* count) {
  if (!data || !offset || !count) return false;
  kbytes::ByteView v(data, size);
  return v.Le16(offsetof(raw::NtfsFileRecordHeader, usaOffset), offset) &&
         v.Le16(offsetof(raw::NtfsFileRecordHeader, usaCount), count);
}

size_t NtfsAttributesEnd(const NtfsFileRecordHeader& header, size_t size) {
  return header.bytesInUse < size ? header.bytesInUse : size;
}

bool ReadNtfsAttributeBounds(const uint8_t* data, size_t size, uint16_t* first, size_t* end) {
  if (!data || !first || !end || size < kNtfsFileRecordMinSize) return false;
  kbytes::ByteView v(data, size);
  uint32_t inUse = 0;
  if (!v.Le16(offsetof(raw::NtfsFileRecordHeader, firstAttributeOffset), first) ||
      !v.Le32(offsetof(raw::NtfsFileRecordHeader, bytesInUse), &inUse))
    return false;
  *end = inUse < size ? inUse : size;
  return true;
}

bool ReadNtfsFileRecordHeader(const uint8_t* data, size_t size, NtfsFileRecordHeader* out) {
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
  // The record number exists only where the update-sequence array leaves room for it.
  const size_t numberEnd = offsetof(raw::NtfsFileRecordHeader, recordNumber) + 4;
  if (v.Le32(offsetof(raw::NtfsFileRecordHeader, recordNumber), &h.recordNumber))
    h.hasRecordNumber = h.usaOffset >= numberEnd;
  h.isFile = IsNtfsFileRecordSignature(data, size);
  *out = h;
  return true;
}

bool DecodeNtfsFileRecordHeader(const uint8_t* data, size_t size, NtfsFileRecordHeader* out) {
  NtfsFileRecordHeader h;
  if (!out || !ReadNtfsFileRecordHeader(data, size, &h)) return false;
  if (h.bytesInUse > size) return false;
  if (!kbytes::Fits(size, h.usaOffset, size_t(h.usaCount) * 2)) return false;
  if (h.firstAttributeOffset < kNtfsFileRecordMinSize ||
      !kbytes::Fits(h.bytesInUse, h.firstAttributeOffset, 4))
    return false;
  *out = h;
  return true;
}

}  // namespace layout
