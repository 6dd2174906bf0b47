// Conversion and acceptance of the HFS+ volume header.
#include "scanoperate/hfsp/hfsplus_format.h"

#include <cstring>

#include "common/inc/bytes.h"

namespace {

uint16_t Swap16(uint16_t v) { return kbytes::Be16(reinterpret_cast<const uint8_t*>(&v)); }
uint32_t Swap32(uint32_t v) { return kbytes::Be32(reinterpret_cast<const uint8_t*>(&v)); }
uint64_t Swap64(uint64_t v) { return kbytes::Be64(reinterpret_cast<const uint8_t*>(&v)); }

void SwapFork(HFSPlusForkData* f) {
  f->logicalSize = Swap64(f->logicalSize);
  f->clumpSize = Swap32(f->clumpSize);
  f->totalBlocks = Swap32(f->totalBlocks);
  for (auto& e : f->extents) {
    e.startBlock = Swap32(e.startBlock);
    e.blockCount = Swap32(e.blockCount);
  }
}

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

void hfsplus_swap_volume_header(HFSPlusVolumeHeader* h) {
  if (!h) return;
  h->signature = Swap16(h->signature);
  h->version = Swap16(h->version);
  // Field by field through the packed struct: the header may lie at any byte, so no
  // word pointer into it may be formed.
  h->attributes = Swap32(h->attributes);
  h->lastMountedVersion = Swap32(h->lastMountedVersion);
  h->journalInfoBlock = Swap32(h->journalInfoBlock);
  h->createDate = Swap32(h->createDate);
  h->modifyDate = Swap32(h->modifyDate);
  h->backupDate = Swap32(h->backupDate);
  h->checkedDate = Swap32(h->checkedDate);
  h->fileCount = Swap32(h->fileCount);
  h->folderCount = Swap32(h->folderCount);
  h->blockSize = Swap32(h->blockSize);
  h->totalBlocks = Swap32(h->totalBlocks);
  h->freeBlocks = Swap32(h->freeBlocks);
  h->nextAllocation = Swap32(h->nextAllocation);
  h->rsrcClumpSize = Swap32(h->rsrcClumpSize);
  h->dataClumpSize = Swap32(h->dataClumpSize);
  h->nextCatalogID = Swap32(h->nextCatalogID);
  h->writeCount = Swap32(h->writeCount);
  h->encodingsBitmap = Swap64(h->encodingsBitmap);
  uint8_t* finder = reinterpret_cast<uint8_t*>(h) + offsetof(HFSPlusVolumeHeader, finderInfo);
  for (size_t i = 0; i < 8; ++i) {
    uint32_t w = kbytes::Be32(finder + 4 * i);
    std::memcpy(finder + 4 * i, &w, 4);
  }
  SwapFork(&h->allocationFile);
  SwapFork(&h->extentsFile);
  SwapFork(&h->catalogFile);
  SwapFork(&h->attributesFile);
  SwapFork(&h->startupFile);
}

bool hfsplus_read_volume_header(const uint8_t* data, size_t size, HFSPlusVolumeHeader* out) {
  if (!data || !out || !kbytes::Fits(size, 0, sizeof(HFSPlusVolumeHeader))) return false;
  std::memcpy(out, data, sizeof(HFSPlusVolumeHeader));
  hfsplus_swap_volume_header(out);
  return true;
}

uint64_t hfsplus_extents_block_count(const HFSPlusExtentDescriptor extents[8]) {
  uint64_t sum = 0;
  if (!extents) return 0;
  for (int i = 0; i < 8 && extents[i].blockCount != 0; ++i) sum += extents[i].blockCount;
  return sum;
}

bool hfsplus_check_fork(const HFSPlusForkData* f, uint32_t blockSize, uint32_t volumeBlocks) {
  if (!f) return false;
  // The logical size may end anywhere in the last block (xorriso's allocation file is
  // shorter than its blocks), but never beyond them.
  uint64_t capacity = uint64_t(f->totalBlocks) * blockSize;
  if (f->logicalSize > capacity) return false;
  uint64_t inRecord = 0;
  int used = 0;
  for (int i = 0; i < 8 && f->extents[i].blockCount != 0; ++i, ++used) {
    const HFSPlusExtentDescriptor& e = f->extents[i];
    if (!kbytes::RangeInside(e.startBlock, e.blockCount, volumeBlocks)) return false;
    inRecord += e.blockCount;
  }
  if (inRecord == f->totalBlocks) return true;
  // A fork of more than eight extents continues in the extents-overflow file: then all
  // eight slots are used and they hold fewer blocks than the fork.
  return used == 8 && inRecord < f->totalBlocks;
}

bool hfsplus_check_volume_header(const HFSPlusVolumeHeader* h) {
  if (!h) return false;
  bool plus = h->signature == kHFSPlusSigWord && h->version == kHFSPlusVersion;
  bool hfsx = h->signature == kHFSXSigWord && h->version == kHFSXVersion;
  if (!plus && !hfsx) return false;
  if (!PlausibleWriterTag(h->lastMountedVersion)) return false;
  // TN1150: a power of two of at least 512; 64 KiB is the largest that Apple's tools make.
  if (!kbytes::IsPowerOfTwo(h->blockSize) || h->blockSize < 512 || h->blockSize > 65536)
    return false;
  if (h->totalBlocks == 0) return false;
  const HFSPlusForkData* forks[] = {&h->allocationFile, &h->extentsFile, &h->catalogFile,
                                    &h->attributesFile, &h->startupFile};
  for (const HFSPlusForkData* f : forks)
    if (!hfsplus_check_fork(f, h->blockSize, h->totalBlocks)) return false;
  return true;
}
