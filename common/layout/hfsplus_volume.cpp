#include "common/layout/hfsplus_volume.h"

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

}  // namespace layout
