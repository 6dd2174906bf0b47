#include "common/layout/ntfs_file_name.h"

#include "common/inc/bytes.h"

namespace layout {

bool DecodeNtfsFileName(const uint8_t* data, size_t size, NtfsFileName* out) {
  if (!data || !out || size < kNtfsFileNameMinSize) return false;
  kbytes::ByteView v(data, size);
  NtfsFileName f;
  uint64_t parent = 0;
  uint8_t nameLength = 0;
  bool ok = v.Le64(offsetof(raw::NtfsFileName, parentReference), &parent) &&
            v.Le64(offsetof(raw::NtfsFileName, creationTime), &f.creationTime) &&
            v.Le64(offsetof(raw::NtfsFileName, modificationTime), &f.modificationTime) &&
            v.Le64(offsetof(raw::NtfsFileName, mftChangeTime), &f.mftChangeTime) &&
            v.Le64(offsetof(raw::NtfsFileName, accessTime), &f.accessTime) &&
            v.Le64(offsetof(raw::NtfsFileName, allocatedSize), &f.allocatedSize) &&
            v.Le64(offsetof(raw::NtfsFileName, dataSize), &f.dataSize) &&
            v.Le32(offsetof(raw::NtfsFileName, fileAttributes), &f.fileAttributes) &&
            v.Le32(offsetof(raw::NtfsFileName, reparseTag), &f.reparseTag) &&
            v.U8(offsetof(raw::NtfsFileName, nameLength), &nameLength) &&
            v.U8(offsetof(raw::NtfsFileName, nameSpace), &f.nameSpace);
  if (!ok || !kbytes::Fits(size, kNtfsFileNameMinSize, size_t(nameLength) * 2)) return false;
  f.parentRecord = parent & 0xFFFFFFFFFFFFull;
  f.parentSequence = uint16_t(parent >> 48);
  f.name.resize(nameLength);
  for (size_t i = 0; i < nameLength; ++i) {
    uint16_t u = 0;
    if (!v.Le16(kNtfsFileNameMinSize + 2 * i, &u)) return false;
    f.name[i] = char16_t(u);
  }
  *out = std::move(f);
  return true;
}

}  // namespace layout
