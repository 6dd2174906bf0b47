#include "common/layout/hfsplus_volume.h"

#include <initializer_list>

#include "common/inc/bytes.h"

namespace layout {

bool DecodeHFSPlusExtentDescriptor(const uint8_t* data, size_t size, HFSPlusExtentDescriptor* out) {
  if (!data || !out || size < kHFSPlusExtentDescriptorSize) return false;
  kbytes::ByteView v(data, size);
  HFSPlusExtentDescriptor e;
  if (!v.Be32(offsetof(raw::HFSPlusExtentDescriptor, startBlock), &e.startBlock) ||
      !v.Be32(offsetof(raw::HFSPlusExtentDescriptor, blockCount), &e.blockCount))
    return false;
  *out = e;
  return true;
}

bool DecodeHFSPlusForkData(const uint8_t* data, size_t size, HFSPlusForkData* out) {
  if (!data || !out || size < kHFSPlusForkDataSize) return false;
  kbytes::ByteView v(data, size);
  HFSPlusForkData f;
  bool ok = v.Be64(offsetof(raw::HFSPlusForkData, logicalSize), &f.logicalSize) &&
            v.Be32(offsetof(raw::HFSPlusForkData, clumpSize), &f.clumpSize) &&
            v.Be32(offsetof(raw::HFSPlusForkData, totalBlocks), &f.totalBlocks);
  for (size_t i = 0; ok && i < 8; ++i) {
    size_t off = offsetof(raw::HFSPlusForkData, extents) + i * kHFSPlusExtentDescriptorSize;
    ok = DecodeHFSPlusExtentDescriptor(data + off, size - off, &f.extents[i]);
  }
  if (!ok) return false;
  *out = f;
  return true;
}

bool DecodeHFSPlusVolumeHeader(const uint8_t* data, size_t size, HFSPlusVolumeHeader* out) {
  if (!data || !out || size < kHFSPlusVolumeHeaderSize) return false;
  kbytes::ByteView v(data, size);
  HFSPlusVolumeHeader h;
  typedef raw::HFSPlusVolumeHeader R;
  bool ok =
      v.Be16(offsetof(R, signature), &h.signature) && v.Be16(offsetof(R, version), &h.version) &&
      v.Be32(offsetof(R, attributes), &h.attributes) &&
      v.Be32(offsetof(R, lastMountedVersion), &h.lastMountedVersion) &&
      v.Be32(offsetof(R, journalInfoBlock), &h.journalInfoBlock) &&
      v.Be32(offsetof(R, createDate), &h.createDate) && v.Be32(offsetof(R, modifyDate), &h.modifyDate) &&
      v.Be32(offsetof(R, backupDate), &h.backupDate) && v.Be32(offsetof(R, checkedDate), &h.checkedDate) &&
      v.Be32(offsetof(R, fileCount), &h.fileCount) && v.Be32(offsetof(R, folderCount), &h.folderCount) &&
      v.Be32(offsetof(R, blockSize), &h.blockSize) && v.Be32(offsetof(R, totalBlocks), &h.totalBlocks) &&
      v.Be32(offsetof(R, freeBlocks), &h.freeBlocks) &&
      v.Be32(offsetof(R, nextAllocation), &h.nextAllocation) &&
      v.Be32(offsetof(R, rsrcClumpSize), &h.rsrcClumpSize) &&
      v.Be32(offsetof(R, dataClumpSize), &h.dataClumpSize) &&
      v.Be32(offsetof(R, nextCatalogID), &h.nextCatalogID) &&
      v.Be32(offsetof(R, writeCount), &h.writeCount) &&
      v.Be64(offsetof(R, encodingsBitmap), &h.encodingsBitmap);
  for (size_t i = 0; ok && i < 8; ++i) ok = v.Be32(offsetof(R, finderInfo) + 4 * i, &h.finderInfo[i]);
  struct {
    size_t off;
    HFSPlusForkData* fork;
  } forks[] = {{offsetof(R, allocationFile), &h.allocationFile},
               {offsetof(R, extentsFile), &h.extentsFile},
               {offsetof(R, catalogFile), &h.catalogFile},
               {offsetof(R, attributesFile), &h.attributesFile},
               {offsetof(R, startupFile), &h.startupFile}};
  for (const auto& f : forks) ok = ok && DecodeHFSPlusForkData(data + f.off, size - f.off, f.fork);
  if (!ok) return false;
  *out = h;
  return true;
}

namespace {

// The writer's tag: "10.0" (Mac OS X), "HFSJ" (journaled), "fsck" (after a repair),
// "8.10" (Mac OS 8/9), "H+Lx" (Linux), "liso" (xorriso) and others exist, so any four
// printable characters are accepted; zeros or binary bytes mark a header that is not one.
bool PlausibleWriterTag(uint32_t tag) {
  for (int i = 0; i < 4; ++i) {
    uint8_t c = uint8_t(tag >> (8 * i));
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

bool HFSPlusBlockSizeValid(uint32_t blockSize) {
  return kbytes::IsPowerOfTwo(blockSize) && blockSize >= 512 && blockSize <= 65536;
}

uint64_t HFSPlusExtentsBlockCount(const HFSPlusExtentDescriptor (&extents)[8]) {
  uint64_t sum = 0;
  for (int i = 0; i < 8 && extents[i].blockCount != 0; ++i) sum += extents[i].blockCount;
  return sum;
}

bool HFSPlusForkValid(const HFSPlusForkData& f, uint32_t blockSize, uint32_t volumeBlocks) {
  // The logical size may end anywhere in the last block (xorriso's allocation file is
  // shorter than its blocks), but never beyond them.
  uint64_t capacity = uint64_t(f.totalBlocks) * blockSize;
  if (f.logicalSize > capacity) return false;
  uint64_t inRecord = 0;
  int used = 0;
  for (int i = 0; i < 8 && f.extents[i].blockCount != 0; ++i, ++used) {
    const HFSPlusExtentDescriptor& e = f.extents[i];
    if (!kbytes::RangeInside(e.startBlock, e.blockCount, volumeBlocks)) return false;
    inRecord += e.blockCount;
  }
  if (inRecord == f.totalBlocks) return true;
  // A fork of more than eight extents continues in the extents-overflow file: then all
  // eight slots are used and they hold fewer blocks than the fork.
  return used == 8 && inRecord < f.totalBlocks;
}

bool HFSPlusVolumeHeaderValid(const HFSPlusVolumeHeader& h) {
  bool plus = h.signature == kHFSPlusSignature && h.version == kHFSPlusVersion;
  bool hfsx = h.signature == kHFSXSignature && h.version == kHFSXVersion;
  if (!plus && !hfsx) return false;
  if (!PlausibleWriterTag(h.lastMountedVersion)) return false;
  if (!HFSPlusBlockSizeValid(h.blockSize)) return false;
  for (const HFSPlusForkData* f :
       {&h.allocationFile, &h.extentsFile, &h.catalogFile, &h.attributesFile, &h.startupFile})
    if (!HFSPlusForkValid(*f, h.blockSize, h.totalBlocks)) return false;
  return true;
}

}  // namespace layout
