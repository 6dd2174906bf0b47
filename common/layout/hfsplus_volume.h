// The HFS+ / HFSX volume header and its fork data (Apple TN1150), big-endian. The header is
// 512 bytes at byte 1024 of the volume; a copy sits 1024 bytes before the volume's end.
//
// Volume header:
//     0 2  signature "H+" or "HX"        2 2  version (4 H+, 5 HX)
//     4 4  attributes (bit 13 journaled) 8 4  last-mounted version (writer tag)
//    12 4  journal info block           16 4  create date (seconds since 1904, local)
//    20 4  modify date                  24 4  backup date     28 4  checked date
//    32 4  file count                   36 4  folder count
//    40 4  allocation block size        44 4  total blocks    48 4  free blocks
//    52 4  next allocation              56 4  resource clump  60 4  data clump
//    64 4  next catalog id              68 4  write count
//    72 8  encodings bitmap             80 32 finder info, eight u32
//   112 80 allocation file fork        192 80 extents overflow file fork
//   272 80 catalog file fork           352 80 attributes file fork
//   432 80 startup file fork
// Fork data (80 bytes):
//     0 8  logical size     8 4  clump size    12 4  total blocks
//    16 64 eight extent descriptors: start block u32, block count u32
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct HFSPlusExtentDescriptor {
  uint32_t startBlock;  // 0
  uint32_t blockCount;  // 4
};
struct HFSPlusForkData {
  uint64_t logicalSize;                // 0
  uint32_t clumpSize;                  // 8
  uint32_t totalBlocks;                // 12
  HFSPlusExtentDescriptor extents[8];  // 16
};
struct HFSPlusVolumeHeader {
  uint16_t signature;              // 0
  uint16_t version;                // 2
  uint32_t attributes;             // 4
  uint32_t lastMountedVersion;     // 8
  uint32_t journalInfoBlock;       // 12
  uint32_t createDate;             // 16
  uint32_t modifyDate;             // 20
  uint32_t backupDate;             // 24
  uint32_t checkedDate;            // 28
  uint32_t fileCount;              // 32
  uint32_t folderCount;            // 36
  uint32_t blockSize;              // 40
  uint32_t totalBlocks;            // 44
  uint32_t freeBlocks;             // 48
  uint32_t nextAllocation;         // 52
  uint32_t rsrcClumpSize;          // 56
  uint32_t dataClumpSize;          // 60
  uint32_t nextCatalogID;          // 64
  uint32_t writeCount;             // 68
  uint64_t encodingsBitmap;        // 72
  uint32_t finderInfo[8];          // 80
  HFSPlusForkData allocationFile;  // 112
  HFSPlusForkData extentsFile;     // 192
  HFSPlusForkData catalogFile;     // 272
  HFSPlusForkData attributesFile;  // 352
  HFSPlusForkData startupFile;     // 432
};
#pragma pack(pop)
static_assert(sizeof(HFSPlusExtentDescriptor) == 8, "extent descriptor is 8 bytes");
static_assert(sizeof(HFSPlusForkData) == 80, "fork data is 80 bytes");
static_assert(offsetof(HFSPlusForkData, totalBlocks) == 12, "fork blocks at 12");
static_assert(offsetof(HFSPlusForkData, extents) == 16, "fork extents at 16");
static_assert(sizeof(HFSPlusVolumeHeader) == 512, "volume header is 512 bytes");
static_assert(offsetof(HFSPlusVolumeHeader, lastMountedVersion) == 8, "writer tag at 8");
static_assert(offsetof(HFSPlusVolumeHeader, blockSize) == 40, "block size at 40");
static_assert(offsetof(HFSPlusVolumeHeader, totalBlocks) == 44, "total blocks at 44");
static_assert(offsetof(HFSPlusVolumeHeader, encodingsBitmap) == 72, "encodings at 72");
static_assert(offsetof(HFSPlusVolumeHeader, finderInfo) == 80, "finder info at 80");
static_assert(offsetof(HFSPlusVolumeHeader, allocationFile) == 112, "allocation file at 112");
static_assert(offsetof(HFSPlusVolumeHeader, extentsFile) == 192, "extents file at 192");
static_assert(offsetof(HFSPlusVolumeHeader, catalogFile) == 272, "catalog file at 272");
static_assert(offsetof(HFSPlusVolumeHeader, attributesFile) == 352, "attributes file at 352");
static_assert(offsetof(HFSPlusVolumeHeader, startupFile) == 432, "startup file at 432");
}  // namespace raw

const size_t kHFSPlusVolumeHeaderSize = sizeof(raw::HFSPlusVolumeHeader);
const size_t kHFSPlusForkDataSize = sizeof(raw::HFSPlusForkData);
const size_t kHFSPlusExtentDescriptorSize = sizeof(raw::HFSPlusExtentDescriptor);
const uint64_t kHFSPlusVolumeHeaderOffset = 1024;
const uint16_t kHFSPlusSignature = 0x482B;  // "H+"
const uint16_t kHFSXSignature = 0x4858;     // "HX"
const uint16_t kHFSPlusVersion = 4;
const uint16_t kHFSXVersion = 5;
// An HFS wrapper (a plain HFS master directory block in the header's place) starts "BD"
// and keeps its allocation block size, a u32, at 20.
const uint16_t kHFSWrapperSignature = 0x4244;  // "BD"
const size_t kHFSWrapperBlockSizeOffset = 20;

// Host order from here on.
struct HFSPlusExtentDescriptor {
  uint32_t startBlock = 0;
  uint32_t blockCount = 0;
};

struct HFSPlusForkData {
  uint64_t logicalSize = 0;
  uint32_t clumpSize = 0;
  uint32_t totalBlocks = 0;
  HFSPlusExtentDescriptor extents[8];
};

struct HFSPlusVolumeHeader {
  uint16_t signature = 0;
  uint16_t version = 0;
  uint32_t attributes = 0;
  uint32_t lastMountedVersion = 0;
  uint32_t journalInfoBlock = 0;
  uint32_t createDate = 0;
  uint32_t modifyDate = 0;
  uint32_t backupDate = 0;
  uint32_t checkedDate = 0;
  uint32_t fileCount = 0;
  uint32_t folderCount = 0;
  uint32_t blockSize = 0;
  uint32_t totalBlocks = 0;
  uint32_t freeBlocks = 0;
  uint32_t nextAllocation = 0;
  uint32_t rsrcClumpSize = 0;
  uint32_t dataClumpSize = 0;
  uint32_t nextCatalogID = 0;
  uint32_t writeCount = 0;
  uint64_t encodingsBitmap = 0;
  uint32_t finderInfo[8] = {};
  HFSPlusForkData allocationFile;
  HFSPlusForkData extentsFile;
  HFSPlusForkData catalogFile;
  HFSPlusForkData attributesFile;
  HFSPlusForkData startupFile;
};

// Each refuses fewer bytes than its structure: 8, 80 and 512. Nothing is judged.
bool DecodeHFSPlusExtentDescriptor(const uint8_t* data, size_t size, HFSPlusExtentDescriptor* out);
bool DecodeHFSPlusForkData(const uint8_t* data, size_t size, HFSPlusForkData* out);
bool DecodeHFSPlusVolumeHeader(const uint8_t* data, size_t size, HFSPlusVolumeHeader* out);

// TN1150 allows any power of two of at least 512 bytes. 64 KiB is the largest that Apple's
// tools make, and the limit keeps what a reader allocates per block small and every
// blockSize x 32-bit block count inside 2^48 bytes.
bool HFSPlusBlockSizeValid(uint32_t blockSize);
// Sum of the block counts up to the first empty extent, in 64 bits.
uint64_t HFSPlusExtentsBlockCount(const HFSPlusExtentDescriptor (&extents)[8]);
// Whether one fork is consistent with itself and with a volume of the header's geometry.
bool HFSPlusForkValid(const HFSPlusForkData& fork, uint32_t blockSize, uint32_t volumeBlocks);
// The acceptance test of a decoded header: "H+" version 4 or "HX" version 5, a writer tag
// of four printable characters, a valid block size and five sound forks, each inside the
// volume's blocks.
bool HFSPlusVolumeHeaderValid(const HFSPlusVolumeHeader& h);

}  // namespace layout
