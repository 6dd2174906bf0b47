#include "common/layout/fat_dirent.h"

#include <cstring>

#include "common/inc/bytes.h"

namespace layout {

int FatDotName(const uint8_t* n) {
  if (!n) return 0;
  if (std::memcmp(n, ".          ", 11) == 0) return 1;
  if (std::memcmp(n, "..         ", 11) == 0) return 2;
  return 0;
}

bool DecodeFatDirEntry(const uint8_t* data, size_t size, FatDirEntry* out) {
  if (!data || !out || size < kFatDirEntrySize) return false;
  kbytes::ByteView v(data, size);
  FatDirEntry e;
  bool ok = v.Bytes(offsetof(raw::FatDirEntry, name), e.name, 11) &&
            v.U8(offsetof(raw::FatDirEntry, attributes), &e.attributes) &&
            v.U8(offsetof(raw::FatDirEntry, caseFlags), &e.caseFlags) &&
            v.U8(offsetof(raw::FatDirEntry, createTimeTenth), &e.createTimeTenth) &&
            v.Le16(offsetof(raw::FatDirEntry, createTime), &e.createTime) &&
            v.Le16(offsetof(raw::FatDirEntry, createDate), &e.createDate) &&
            v.Le16(offsetof(raw::FatDirEntry, accessDate), &e.accessDate) &&
            v.Le16(offsetof(raw::FatDirEntry, firstClusterHigh), &e.firstClusterHigh) &&
            v.Le16(offsetof(raw::FatDirEntry, writeTime), &e.writeTime) &&
            v.Le16(offsetof(raw::FatDirEntry, writeDate), &e.writeDate) &&
            v.Le16(offsetof(raw::FatDirEntry, firstClusterLow), &e.firstClusterLow) &&
            v.Le32(offsetof(raw::FatDirEntry, fileSize), &e.fileSize);
  if (!ok) return false;
  *out = e;
  return true;
}

bool DecodeFatLongNameEntry(const uint8_t* data, size_t size, FatLongNameEntry* out) {
  if (!data || !out || size < kFatDirEntrySize) return false;
  kbytes::ByteView v(data, size);
  FatLongNameEntry e;
  bool ok = v.U8(offsetof(raw::FatLongNameEntry, order), &e.order) &&
            v.U8(offsetof(raw::FatLongNameEntry, attributes), &e.attributes) &&
            v.U8(offsetof(raw::FatLongNameEntry, type), &e.type) &&
            v.U8(offsetof(raw::FatLongNameEntry, checksum), &e.checksum) &&
            v.Le16(offsetof(raw::FatLongNameEntry, firstClusterLow), &e.firstClusterLow);
  // The thirteen characters lie in three runs around the fixed fields.
  static const size_t kAt[kFatLongNameChars] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t i = 0; ok && i < kFatLongNameChars; ++i) {
    uint16_t u = 0;
    ok = v.Le16(kAt[i], &u);
    e.chars[i] = char16_t(u);
  }
  if (!ok) return false;
  *out = e;
  return true;
}

}  // namespace layout
