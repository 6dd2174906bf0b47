// The HFS+ and HFSX volume header and its forks (Apple TN1150). Every integer is big-endian
// on disk; the header is converted to host order in place by hfsplus_swap_volume_header.
// The B-tree structures that live inside the forks are in btree.h.
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {
struct HFSPlusForkData;
}

#pragma pack(push, 1)

struct HFSPlusExtentDescriptor {
  uint32_t startBlock;  // 0
  uint32_t blockCount;  // 4
};
static_assert(sizeof(HFSPlusExtentDescriptor) == 8, "extent descriptor is 8 bytes");

typedef HFSPlusExtentDescriptor HFSPlusExtentRecord[8];

struct HFSPlusForkData {
  uint64_t logicalSize;         // 0
  uint32_t clumpSize;           // 8
  uint32_t totalBlocks;         // 12
  HFSPlusExtentRecord extents;  // 16, eight descriptors
};
static_assert(sizeof(HFSPlusForkData) == 80, "fork data is 80 bytes");
static_assert(offsetof(HFSPlusForkData, extents) == 16, "fork extents at 16");

struct HFSPlusVolumeHeader {
  uint16_t signature;           // 0   "H+" or "HX"
  uint16_t version;             // 2   4 for H+, 5 for HX
  uint32_t attributes;          // 4   bit 13: journaled
  uint32_t lastMountedVersion;  // 8   four characters naming the last writer
  uint32_t journalInfoBlock;    // 12
  uint32_t createDate;          // 16  seconds since 1904, local time
  uint32_t modifyDate;          // 20
  uint32_t backupDate;          // 24
  uint32_t checkedDate;         // 28
  uint32_t fileCount;           // 32
  uint32_t folderCount;         // 36
  uint32_t blockSize;           // 40
  uint32_t totalBlocks;         // 44
  uint32_t freeBlocks;          // 48
  uint32_t nextAllocation;      // 52
  uint32_t rsrcClumpSize;       // 56
  uint32_t dataClumpSize;       // 60
  uint32_t nextCatalogID;       // 64
  uint32_t writeCount;          // 68
  uint64_t encodingsBitmap;     // 72
  uint32_t finderInfo[8];       // 80
  HFSPlusForkData allocationFile;  // 112
  HFSPlusForkData extentsFile;     // 192
  HFSPlusForkData catalogFile;     // 272
  HFSPlusForkData attributesFile;  // 352
  HFSPlusForkData startupFile;     // 432
};
static_assert(sizeof(HFSPlusVolumeHeader) == 512, "volume header is 512 bytes");
static_assert(offsetof(HFSPlusVolumeHeader, blockSize) == 40, "blockSize at 40");
static_assert(offsetof(HFSPlusVolumeHeader, encodingsBitmap) == 72, "encodingsBitmap at 72");
static_assert(offsetof(HFSPlusVolumeHeader, allocationFile) == 112, "allocationFile at 112");
static_assert(offsetof(HFSPlusVolumeHeader, catalogFile) == 272, "catalogFile at 272");
static_assert(offsetof(HFSPlusVolumeHeader, startupFile) == 432, "startupFile at 432");

#pragma pack(pop)

const uint16_t kHFSPlusSigWord = 0x482B;  // "H+"
const uint16_t kHFSXSigWord = 0x4858;     // "HX"
const uint16_t kHFSPlusVersion = 4;
const uint16_t kHFSXVersion = 5;
const uint32_t kHFSVolumeJournaledBit = 1u << 13;
// Byte offset of the volume header from the start of the volume.
const uint64_t kHFSPlusHeaderOffset = 1024;

// In-place big-endian to host conversion of every numeric field, forks included.
void hfsplus_swap_volume_header(HFSPlusVolumeHeader* header);

// Reads the 512-byte header at the start of (data, size) into *out in host order; false
// when it does not fit.
bool hfsplus_read_volume_header(const uint8_t* data, size_t size, HFSPlusVolumeHeader* out);

// Sum of the block counts up to the first empty extent, in 64 bits.
uint64_t hfsplus_extents_block_count(const HFSPlusExtentDescriptor extents[8]);

// A fork as the layout layer decodes it (a catalog record's data fork), in this form.
void hfsplus_fork_from_layout(const layout::HFSPlusForkData& in, HFSPlusForkData* out);

// Whether one fork is consistent with itself and with a volume of the header's geometry.
bool hfsplus_check_fork(const HFSPlusForkData* fork, uint32_t blockSize, uint32_t volumeBlocks);

// The acceptance test of a host-order header.
bool hfsplus_check_volume_header(const HFSPlusVolumeHeader* header);
