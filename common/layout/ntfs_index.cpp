#include "common/layout/ntfs_index.h"

#include <cstring>

#include "common/inc/bytes.h"

namespace layout {

bool IsNtfsIndexBufferSignature(const uint8_t* data, size_t size) {
  return data && size >= 4 && std::memcmp(data, "INDX", 4) == 0;
}

bool DecodeNtfsIndexNodeHeader(const uint8_t* data, size_t size, NtfsIndexNodeHeader* out) {
  if (!data || !out || size < sizeof(raw::NtfsIndexNodeHeader)) return false;
  kbytes::ByteView v(data, size);
  NtfsIndexNodeHeader h;
  bool ok = v.Le32(offsetof(raw::NtfsIndexNodeHeader, entriesOffset), &h.entriesOffset) &&
            v.Le32(offsetof(raw::NtfsIndexNodeHeader, indexLength), &h.indexLength) &&
            v.Le32(offsetof(raw::NtfsIndexNodeHeader, allocatedSize), &h.allocatedSize) &&
            v.U8(offsetof(raw::NtfsIndexNodeHeader, flags), &h.flags);
  if (!ok || h.entriesOffset < sizeof(raw::NtfsIndexNodeHeader) || h.indexLength > size ||
      h.entriesOffset >= h.indexLength)
    return false;
  *out = h;
  return true;
}

bool DecodeNtfsIndexEntry(const uint8_t* data, size_t size, NtfsIndexEntry* out) {
  if (!data || !out || size < kNtfsIndexEntryHeaderSize) return false;
  kbytes::ByteView v(data, size);
  NtfsIndexEntry e;
  uint64_t ref = 0;
  bool ok = v.Le64(offsetof(raw::NtfsIndexEntry, fileReference), &ref) &&
            v.Le16(offsetof(raw::NtfsIndexEntry, length), &e.length) &&
            v.Le16(offsetof(raw::NtfsIndexEntry, keyLength), &e.keyLength) &&
            v.Le16(offsetof(raw::NtfsIndexEntry, flags), &e.flags);
  if (!ok || e.length < kNtfsIndexEntryHeaderSize || (e.length & 7) || e.length > size) return false;
  e.record = ref & 0xFFFFFFFFFFFFull;
  e.sequence = uint16_t(ref >> 48);
  e.isLast = (e.flags & kNtfsIndexEntryLast) != 0;
  e.keyInside = kbytes::Fits(e.length, kNtfsIndexEntryHeaderSize, e.keyLength);
  *out = e;
  return true;
}

}  // namespace layout
