// The 32-byte FAT directory entry and the long-name entry (VFAT), little-endian.
//
// Short entry:
//     0 8  name (0x00 end of directory, 0xE5 deleted, 0x05 for a leading 0xE5)
//     8 3  extension                    11 1  attributes: 0x01 read-only, 0x02 hidden,
//                                             0x04 system, 0x08 volume label,
//                                             0x10 directory, 0x20 archive; 0x0F long name
//    12 1  case flags: 0x08 base lower, 0x10 extension lower
//    13 1  creation time, tenths         14 2  creation time   16 2  creation date
//    18 2  last access date              20 2  first cluster, high word (FAT32)
//    22 2  write time                    24 2  write date
//    26 2  first cluster, low word       28 4  file size
// Long-name entry:
//     0 1  order (0x40 marks the last, first stored)    1 10  characters 1-5
//    11 1  attributes 0x0F                              12 1  type (0)
//    13 1  checksum of the short name                   14 12 characters 6-11
//    26 2  zero                                         28 4  characters 12-13
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct FatDirEntry {
  uint8_t name[11];           // 0
  uint8_t attributes;         // 11
  uint8_t caseFlags;          // 12
  uint8_t createTimeTenth;    // 13
  uint16_t createTime;        // 14
  uint16_t createDate;        // 16
  uint16_t accessDate;        // 18
  uint16_t firstClusterHigh;  // 20
  uint16_t writeTime;         // 22
  uint16_t writeDate;         // 24
  uint16_t firstClusterLow;   // 26
  uint32_t fileSize;          // 28
};
struct FatLongNameEntry {
  uint8_t order;             // 0
  uint16_t name1[5];         // 1
  uint8_t attributes;        // 11
  uint8_t type;              // 12
  uint8_t checksum;          // 13
  uint16_t name2[6];         // 14
  uint16_t firstClusterLow;  // 26
  uint16_t name3[2];         // 28
};
#pragma pack(pop)
static_assert(sizeof(FatDirEntry) == 32, "directory entry is 32 bytes");
static_assert(offsetof(FatDirEntry, attributes) == 11, "attributes at 11");
static_assert(offsetof(FatDirEntry, firstClusterHigh) == 20, "cluster high word at 20");
static_assert(offsetof(FatDirEntry, firstClusterLow) == 26, "cluster low word at 26");
static_assert(offsetof(FatDirEntry, fileSize) == 28, "size at 28");
static_assert(sizeof(FatLongNameEntry) == 32, "long-name entry is 32 bytes");
static_assert(offsetof(FatLongNameEntry, name1) == 1, "characters 1-5 at 1");
static_assert(offsetof(FatLongNameEntry, checksum) == 13, "checksum at 13");
static_assert(offsetof(FatLongNameEntry, name2) == 14, "characters 6-11 at 14");
static_assert(offsetof(FatLongNameEntry, name3) == 28, "characters 12-13 at 28");
}  // namespace raw

const size_t kFatDirEntrySize = 32;
const uint8_t kFatAttrLongName = 0x0F;
const uint8_t kFatLongNameLast = 0x40;
const size_t kFatLongNameChars = 13;

struct FatDirEntry {
  uint8_t name[11] = {};  // as stored, base and extension
  uint8_t attributes = 0;
  uint8_t caseFlags = 0;
  uint8_t createTimeTenth = 0;
  uint16_t createTime = 0;
  uint16_t createDate = 0;
  uint16_t accessDate = 0;
  uint16_t firstClusterHigh = 0;
  uint16_t writeTime = 0;
  uint16_t writeDate = 0;
  uint16_t firstClusterLow = 0;
  uint32_t fileSize = 0;

  // FAT32 joins both words and keeps 28 bits; FAT12/16 have the low word alone.
  uint32_t FirstCluster(bool fat32) const {
    return fat32 ? ((uint32_t(firstClusterHigh) << 16) | firstClusterLow) & 0x0FFFFFFFu : firstClusterLow;
  }
};

struct FatLongNameEntry {
  uint8_t order = 0;
  uint8_t attributes = 0;
  uint8_t type = 0;
  uint8_t checksum = 0;
  uint16_t firstClusterLow = 0;
  char16_t chars[kFatLongNameChars] = {};  // in name order, fillers (0x0000, 0xFFFF) kept
};

// 1 for the "." name, 2 for "..", else 0: the dots, then blanks to the 11th byte.
int FatDotName(const uint8_t* name11);

// False when fewer than 32 bytes are given. Neither decoder judges the entry's kind.
bool DecodeFatDirEntry(const uint8_t* data, size_t size, FatDirEntry* out);
bool DecodeFatLongNameEntry(const uint8_t* data, size_t size, FatLongNameEntry* out);

}  // namespace layout
