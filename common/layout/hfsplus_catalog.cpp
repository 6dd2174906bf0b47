#include "common/layout/hfsplus_catalog.h"

#include "common/inc/bytes.h"

namespace layout {

bool DecodeHFSPlusCatalogKey(const uint8_t* data, size_t size, HFSPlusCatalogKey* out) {
  if (!data || !out || size < kHFSPlusCatalogKeyMinSize) return false;
  kbytes::ByteView v(data, size);
  HFSPlusCatalogKey k;
  typedef raw::HFSPlusCatalogKey R;
  if (!v.Be16(offsetof(R, keyLength), &k.keyLength) || !v.Be32(offsetof(R, parentID), &k.parentID) ||
      !v.Be16(offsetof(R, nodeName), &k.nameLength))
    return false;
  *out = k;
  return true;
}

bool HFSPlusCatalogKeySound(const HFSPlusCatalogKey& k) {
  const size_t fixed = kHFSPlusCatalogKeyNameOffset - 2;  // parent and name length
  return k.keyLength >= fixed && k.keyLength <= kHFSPlusCatalogKeyMaxLength && (k.keyLength & 1) == 0 &&
         k.nameLength <= kHFSPlusMaxNameUnits && fixed + 2 * size_t(k.nameLength) <= k.keyLength;
}

bool DecodeHFSPlusExtentKey(const uint8_t* data, size_t size, HFSPlusExtentKey* out) {
  if (!data || !out || size < kHFSPlusExtentKeySize) return false;
  kbytes::ByteView v(data, size);
  HFSPlusExtentKey k;
  typedef raw::HFSPlusExtentKey R;
  if (!v.Be16(offsetof(R, keyLength), &k.keyLength) || !v.U8(offsetof(R, forkType), &k.forkType) ||
      !v.U8(offsetof(R, pad), &k.pad) || !v.Be32(offsetof(R, fileID), &k.fileID) ||
      !v.Be32(offsetof(R, startBlock), &k.startBlock))
    return false;
  *out = k;
  return true;
}

bool DecodeHFSPlusExtentRecord(const uint8_t* data, size_t size, HFSPlusExtentDescriptor out[8]) {
  if (!data || !out || size < kHFSPlusExtentRecordSize) return false;
  HFSPlusExtentDescriptor e[8];
  for (size_t i = 0; i < 8; ++i) {
    size_t off = i * kHFSPlusExtentDescriptorSize;
    if (!DecodeHFSPlusExtentDescriptor(data + off, size - off, &e[i])) return false;
  }
  for (size_t i = 0; i < 8; ++i) out[i] = e[i];
  return true;
}

bool DecodeHFSPlusCatalogEntry(const uint8_t* data, size_t size, HFSPlusCatalogEntry* out) {
  if (!data || !out) return false;
  kbytes::ByteView v(data, size);
  HFSPlusCatalogEntry e;
  if (!v.Be16(0, &e.recordType)) return false;
  // The folder and file records agree up to the backup date.
  typedef raw::HFSPlusCatalogFile R;
  if (e.recordType == kHFSPlusFolderRecordType) {
    if (size < kHFSPlusCatalogFolderSize) return false;
  } else if (e.recordType == kHFSPlusFileRecordType) {
    if (size < kHFSPlusCatalogFileSize ||
        !DecodeHFSPlusForkData(data + offsetof(R, dataFork), size - offsetof(R, dataFork), &e.dataFork))
      return false;
  } else {
    return false;
  }
  if (!v.Be32(offsetof(R, fileID), &e.id) || !v.Be32(offsetof(R, createDate), &e.createDate) ||
      !v.Be32(offsetof(R, contentModDate), &e.contentModDate) ||
      !v.Be32(offsetof(R, attributeModDate), &e.attributeModDate) ||
      !v.Be32(offsetof(R, accessDate), &e.accessDate) || !v.Be32(offsetof(R, backupDate), &e.backupDate))
    return false;
  *out = e;
  return true;
}

bool DecodeHFSPlusCatalogThread(const uint8_t* data, size_t size, HFSPlusCatalogThread* out) {
  if (!data || !out || size < kHFSPlusCatalogThreadMinSize) return false;
  kbytes::ByteView v(data, size);
  HFSPlusCatalogThread t;
  typedef raw::HFSPlusCatalogThread R;
  if (!v.Be16(offsetof(R, recordType), &t.recordType) || !v.Be32(offsetof(R, parentID), &t.parentID) ||
      !v.Be16(offsetof(R, nodeName), &t.nameLength))
    return false;
  if (t.recordType != kHFSPlusFolderThreadRecordType && t.recordType != kHFSPlusFileThreadRecordType)
    return false;
  if (t.nameLength > kHFSPlusMaxNameUnits ||
      !kbytes::Fits(size, kHFSPlusCatalogThreadNameOffset, size_t(t.nameLength) * 2))
    return false;
  *out = t;
  return true;
}

uint16_t HFSPlusCatalogRecordType(const uint8_t* data, size_t size) {
  HFSPlusCatalogEntry e;
  if (DecodeHFSPlusCatalogEntry(data, size, &e)) return e.recordType;
  HFSPlusCatalogThread t;
  return DecodeHFSPlusCatalogThread(data, size, &t) ? t.recordType : 0;
}

size_t HFSPlusCatalogRecordLength(const uint8_t* data, size_t size) {
  HFSPlusCatalogKey key;
  if (!DecodeHFSPlusCatalogKey(data, size, &key) || !HFSPlusCatalogKeySound(key)) return 0;
  const size_t keyBytes = 2 + size_t(key.keyLength);
  if (keyBytes > size) return 0;
  const uint8_t* rec = data + keyBytes;
  const size_t room = size - keyBytes;
  switch (HFSPlusCatalogRecordType(rec, room)) {
    case kHFSPlusFolderRecordType:
      return keyBytes + kHFSPlusCatalogFolderSize;
    case kHFSPlusFileRecordType:
      return keyBytes + kHFSPlusCatalogFileSize;
    case kHFSPlusFolderThreadRecordType:
    case kHFSPlusFileThreadRecordType: {
      HFSPlusCatalogThread t;
      if (!DecodeHFSPlusCatalogThread(rec, room, &t)) return 0;
      return keyBytes + kHFSPlusCatalogThreadNameOffset + 2 * size_t(t.nameLength);
    }
    default:
      return 0;
  }
}

bool HFSPlusNameUnit(const uint8_t* data, size_t size, size_t at, size_t i, uint16_t* out) {
  if (i > (SIZE_MAX - at) / 2) return false;
  return kbytes::ReadBe16(data, size, at + 2 * i, out);
}

}  // namespace layout
