#include "common/layout/exfat_dirent.h"

#include "common/inc/bytes.h"

namespace layout {

namespace {

// The entry's type with the in-use bit set aside; false when it is not `type`.
bool TypeIs(const uint8_t* data, size_t size, uint8_t type, bool* inUse) {
  uint8_t t = 0;
  if (!data || size < kExfatEntrySize || !kbytes::ReadU8(data, size, 0, &t)) return false;
  if ((t & 0x7F) != (type & 0x7F)) return false;
  *inUse = (t & kExfatInUse) != 0;
  return true;
}

}  // namespace

bool ExfatEntryTypeKnown(uint8_t t) {
  switch (t) {
    case kExfatTypeFile: case kExfatTypeStream: case kExfatTypeName: case kExfatTypeLabel:
    case kExfatTypeFile & 0x7F: case kExfatTypeStream & 0x7F: case kExfatTypeName & 0x7F: case kExfatTypeLabel & 0x7F:
    case kExfatTypeBitmap: case kExfatTypeUpcase:  // never deleted: the volume keeps them
      return true;
  }
  return false;
}

bool ExfatUpcaseTableStarts(const uint8_t* data, size_t size) {
  if (!data) return false;
  for (size_t i = 0; i < 64; ++i) {
    uint16_t u = 0;
    if (!kbytes::ReadLe16(data, size, 2 * i, &u) || u != i) return false;
  }
  return true;
}

bool DecodeExfatFileEntry(const uint8_t* data, size_t size, ExfatFileEntry* out) {
  ExfatFileEntry e;
  if (!out || !TypeIs(data, size, kExfatTypeFile, &e.inUse)) return false;
  kbytes::ByteView v(data, size);
  bool ok = v.U8(offsetof(raw::ExfatFileEntry, secondaryCount), &e.secondaryCount) &&
            v.Le16(offsetof(raw::ExfatFileEntry, setChecksum), &e.setChecksum) &&
            v.Le16(offsetof(raw::ExfatFileEntry, fileAttributes), &e.fileAttributes) &&
            v.Le32(offsetof(raw::ExfatFileEntry, createTimestamp), &e.createTimestamp) &&
            v.Le32(offsetof(raw::ExfatFileEntry, lastModifiedTimestamp), &e.lastModifiedTimestamp) &&
            v.Le32(offsetof(raw::ExfatFileEntry, lastAccessedTimestamp), &e.lastAccessedTimestamp) &&
            v.U8(offsetof(raw::ExfatFileEntry, create10ms), &e.create10ms) &&
            v.U8(offsetof(raw::ExfatFileEntry, lastModified10ms), &e.lastModified10ms) &&
            v.U8(offsetof(raw::ExfatFileEntry, createUtcOffset), &e.createUtcOffset) &&
            v.U8(offsetof(raw::ExfatFileEntry, lastModifiedUtcOffset), &e.lastModifiedUtcOffset) &&
            v.U8(offsetof(raw::ExfatFileEntry, lastAccessedUtcOffset), &e.lastAccessedUtcOffset);
  if (!ok) return false;
  *out = e;
  return true;
}

bool DecodeExfatStreamEntry(const uint8_t* data, size_t size, ExfatStreamEntry* out) {
  ExfatStreamEntry e;
  if (!out || !TypeIs(data, size, kExfatTypeStream, &e.inUse)) return false;
  kbytes::ByteView v(data, size);
  bool ok = v.U8(offsetof(raw::ExfatStreamEntry, flags), &e.flags) &&
            v.U8(offsetof(raw::ExfatStreamEntry, nameLength), &e.nameLength) &&
            v.Le16(offsetof(raw::ExfatStreamEntry, nameHash), &e.nameHash) &&
            v.Le64(offsetof(raw::ExfatStreamEntry, validDataLength), &e.validDataLength) &&
            v.Le32(offsetof(raw::ExfatStreamEntry, firstCluster), &e.firstCluster) &&
            v.Le64(offsetof(raw::ExfatStreamEntry, dataLength), &e.dataLength);
  if (!ok) return false;
  *out = e;
  return true;
}

bool DecodeExfatNameEntry(const uint8_t* data, size_t size, ExfatNameEntry* out) {
  ExfatNameEntry e;
  if (!out || !TypeIs(data, size, kExfatTypeName, &e.inUse)) return false;
  kbytes::ByteView v(data, size);
  bool ok = v.U8(offsetof(raw::ExfatNameEntry, flags), &e.flags);
  for (size_t i = 0; ok && i < kExfatNameChars; ++i) {
    uint16_t u = 0;
    ok = v.Le16(offsetof(raw::ExfatNameEntry, fileName) + 2 * i, &u);
    e.chars[i] = char16_t(u);
  }
  if (!ok) return false;
  *out = e;
  return true;
}

bool DecodeExfatBitmapEntry(const uint8_t* data, size_t size, ExfatBitmapEntry* out) {
  ExfatBitmapEntry e;
  if (!out || !TypeIs(data, size, kExfatTypeBitmap, &e.inUse)) return false;
  kbytes::ByteView v(data, size);
  bool ok = v.U8(offsetof(raw::ExfatBitmapEntry, bitmapFlags), &e.bitmapFlags) &&
            v.Le32(offsetof(raw::ExfatBitmapEntry, firstCluster), &e.firstCluster) &&
            v.Le64(offsetof(raw::ExfatBitmapEntry, dataLength), &e.dataLength);
  if (!ok) return false;
  *out = e;
  return true;
}

bool DecodeExfatUpcaseEntry(const uint8_t* data, size_t size, ExfatUpcaseEntry* out) {
  ExfatUpcaseEntry e;
  if (!out || !TypeIs(data, size, kExfatTypeUpcase, &e.inUse)) return false;
  kbytes::ByteView v(data, size);
  bool ok = v.Le32(offsetof(raw::ExfatUpcaseEntry, tableChecksum), &e.tableChecksum) &&
            v.Le32(offsetof(raw::ExfatUpcaseEntry, firstCluster), &e.firstCluster) &&
            v.Le64(offsetof(raw::ExfatUpcaseEntry, dataLength), &e.dataLength);
  if (!ok) return false;
  *out = e;
  return true;
}

bool DecodeExfatLabelEntry(const uint8_t* data, size_t size, ExfatLabelEntry* out) {
  ExfatLabelEntry e;
  if (!out || !TypeIs(data, size, kExfatTypeLabel, &e.inUse)) return false;
  kbytes::ByteView v(data, size);
  uint8_t count = 0;
  if (!v.U8(offsetof(raw::ExfatLabelEntry, characterCount), &count) || count > kExfatLabelChars) return false;
  e.label.resize(count);
  for (size_t i = 0; i < count; ++i) {
    uint16_t u = 0;
    if (!v.Le16(offsetof(raw::ExfatLabelEntry, volumeLabel) + 2 * i, &u)) return false;
    e.label[i] = char16_t(u);
  }
  *out = std::move(e);
  return true;
}

}  // namespace layout
