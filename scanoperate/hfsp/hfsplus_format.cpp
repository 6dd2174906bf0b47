// The HFS+ volume header in the packed form the scanners keep, decoded and judged by the
// layout layer.
#include "scanoperate/hfsp/hfsplus_format.h"

#include <cstring>

#include "common/layout/hfsplus_volume.h"

namespace {

// One list of fields for both directions between the packed header the scanners keep and
// the decoded one of the layout layer: their members have the same names.
template <typename From, typename To>
void CopyFork(const From& a, To* b) {
  b->logicalSize = a.logicalSize;
  b->clumpSize = a.clumpSize;
  b->totalBlocks = a.totalBlocks;
  for (int i = 0; i < 8; ++i) {
    b->extents[i].startBlock = a.extents[i].startBlock;
    b->extents[i].blockCount = a.extents[i].blockCount;
  }
}

template <typename From, typename To>
void CopyHeader(const From& a, To* b) {
  b->signature = a.signature;
  b->version = a.version;
  b->attributes = a.attributes;
  b->lastMountedVersion = a.lastMountedVersion;
  b->journalInfoBlock = a.journalInfoBlock;
  b->createDate = a.createDate;
  b->modifyDate = a.modifyDate;
  b->backupDate = a.backupDate;
  b->checkedDate = a.checkedDate;
  b->fileCount = a.fileCount;
  b->folderCount = a.folderCount;
  b->blockSize = a.blockSize;
  b->totalBlocks = a.totalBlocks;
  b->freeBlocks = a.freeBlocks;
  b->nextAllocation = a.nextAllocation;
  b->rsrcClumpSize = a.rsrcClumpSize;
  b->dataClumpSize = a.dataClumpSize;
  b->nextCatalogID = a.nextCatalogID;
  b->writeCount = a.writeCount;
  b->encodingsBitmap = a.encodingsBitmap;
  for (int i = 0; i < 8; ++i) b->finderInfo[i] = a.finderInfo[i];
  CopyFork(a.allocationFile, &b->allocationFile);
  CopyFork(a.extentsFile, &b->extentsFile);
  CopyFork(a.catalogFile, &b->catalogFile);
  CopyFork(a.attributesFile, &b->attributesFile);
  CopyFork(a.startupFile, &b->startupFile);
}

}  // namespace

void hfsplus_swap_volume_header(HFSPlusVolumeHeader* h) {
  if (!h) return;
  // Decoding the header's own bytes as big-endian swaps every field; the header may lie at
  // any byte, so it is copied out rather than read through word pointers.
  uint8_t bytes[sizeof(HFSPlusVolumeHeader)];
  std::memcpy(bytes, h, sizeof bytes);
  layout::HFSPlusVolumeHeader decoded;
  if (!layout::DecodeHFSPlusVolumeHeader(bytes, sizeof bytes, &decoded)) return;
  CopyHeader(decoded, h);
}

bool hfsplus_read_volume_header(const uint8_t* data, size_t size, HFSPlusVolumeHeader* out) {
  layout::HFSPlusVolumeHeader decoded;
  if (!out || !layout::DecodeHFSPlusVolumeHeader(data, size, &decoded)) return false;
  CopyHeader(decoded, out);
  return true;
}

uint64_t hfsplus_extents_block_count(const HFSPlusExtentDescriptor extents[8]) {
  if (!extents) return 0;
  layout::HFSPlusExtentDescriptor e[8];
  for (int i = 0; i < 8; ++i)
    e[i].startBlock = extents[i].startBlock, e[i].blockCount = extents[i].blockCount;
  return layout::HFSPlusExtentsBlockCount(e);
}

void hfsplus_fork_from_layout(const layout::HFSPlusForkData& in, HFSPlusForkData* out) {
  if (out) CopyFork(in, out);
}

bool hfsplus_check_fork(const HFSPlusForkData* f, uint32_t blockSize, uint32_t volumeBlocks) {
  if (!f) return false;
  layout::HFSPlusForkData fork;
  CopyFork(*f, &fork);
  return layout::HFSPlusForkValid(fork, blockSize, volumeBlocks);
}

bool hfsplus_check_volume_header(const HFSPlusVolumeHeader* h) {
  if (!h) return false;
  layout::HFSPlusVolumeHeader header;
  CopyHeader(*h, &header);
  return layout::HFSPlusVolumeHeaderValid(header);
}
