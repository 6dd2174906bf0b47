// The keys and records of the HFS+ catalog and extents-overflow trees (Apple TN1150),
// big-endian.
//
// Catalog key (6 to 518 bytes):
//     0 2  key length, not counting itself (6 to 516)
//     2 4  parent folder id               6 2  name length in UTF-16 units (0 to 255)
//     8 2n the name, UTF-16 big-endian
// Extents key (12 bytes):
//     0 2  key length (10)    2 1  fork type (0 data, 0xFF resource)    3 1  pad
//     4 4  file id            8 4  first fork block that the record maps
// Extent record: eight extent descriptors (start block u32, block count u32), 64 bytes.
// Catalog records, the type u16 first:
//   folder (type 1, 88 bytes) and file (type 2, 248 bytes):
//     0 2  record type       2 2  flags           4 4  valence (folder) / reserved
//     8 4  folder or file id                     12 4  create date
//    16 4  content-modify date  20 4  attribute-modify date  24 4  access date
//    28 4  backup date       32 16 permissions   48 16 user info     64 16 finder info
//    80 4  text encoding     84 4  reserved
//    file only: 88 80 data fork   168 80 resource fork
//   folder thread (type 3) and file thread (type 4), 10 to 520 bytes:
//     0 2  record type       2 2  reserved        4 4  parent id
//     8 2  name length       10 2n the name
// Dates are seconds since 1904-01-01.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/layout/hfsplus_volume.h"

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct HFSUniStr255 {
  uint16_t length;        // 0
  uint16_t unicode[255];  // 2
};
struct HFSPlusCatalogKey {
  uint16_t keyLength;     // 0
  uint32_t parentID;      // 2
  HFSUniStr255 nodeName;  // 6
};
struct HFSPlusExtentKey {
  uint16_t keyLength;   // 0
  uint8_t forkType;     // 2
  uint8_t pad;          // 3
  uint32_t fileID;      // 4
  uint32_t startBlock;  // 8
};
struct HFSPlusCatalogFolder {
  int16_t recordType;         // 0
  uint16_t flags;             // 2
  uint32_t valence;           // 4
  uint32_t folderID;          // 8
  uint32_t createDate;        // 12
  uint32_t contentModDate;    // 16
  uint32_t attributeModDate;  // 20
  uint32_t accessDate;        // 24
  uint32_t backupDate;        // 28
  uint8_t permissions[16];    // 32
  uint8_t userInfo[16];       // 48
  uint8_t finderInfo[16];     // 64
  uint32_t textEncoding;      // 80
  uint32_t reserved;          // 84
};
struct HFSPlusCatalogFile {
  int16_t recordType;            // 0
  uint16_t flags;                // 2
  uint32_t reserved1;            // 4
  uint32_t fileID;               // 8
  uint32_t createDate;           // 12
  uint32_t contentModDate;       // 16
  uint32_t attributeModDate;     // 20
  uint32_t accessDate;           // 24
  uint32_t backupDate;           // 28
  uint8_t permissions[16];       // 32
  uint8_t userInfo[16];          // 48
  uint8_t finderInfo[16];        // 64
  uint32_t textEncoding;         // 80
  uint32_t reserved2;            // 84
  HFSPlusForkData dataFork;      // 88
  HFSPlusForkData resourceFork;  // 168
};
struct HFSPlusCatalogThread {
  int16_t recordType;     // 0
  int16_t reserved;       // 2
  uint32_t parentID;      // 4
  HFSUniStr255 nodeName;  // 8
};
#pragma pack(pop)
static_assert(sizeof(HFSUniStr255) == 512, "a name is 512 bytes");
static_assert(sizeof(HFSPlusCatalogKey) == 518, "catalog key is at most 518 bytes");
static_assert(offsetof(HFSPlusCatalogKey, parentID) == 2, "parent at 2");
static_assert(offsetof(HFSPlusCatalogKey, nodeName) == 6, "name at 6");
static_assert(sizeof(HFSPlusExtentKey) == 12, "extents key is 12 bytes");
static_assert(offsetof(HFSPlusExtentKey, fileID) == 4, "file id at 4");
static_assert(offsetof(HFSPlusExtentKey, startBlock) == 8, "start block at 8");
static_assert(sizeof(HFSPlusCatalogFolder) == 88, "folder record is 88 bytes");
static_assert(offsetof(HFSPlusCatalogFolder, folderID) == 8, "folder id at 8");
static_assert(sizeof(HFSPlusCatalogFile) == 248, "file record is 248 bytes");
static_assert(offsetof(HFSPlusCatalogFile, fileID) == 8, "file id at 8");
static_assert(offsetof(HFSPlusCatalogFile, createDate) == 12, "create date at 12");
static_assert(offsetof(HFSPlusCatalogFile, backupDate) == 28, "backup date at 28");
static_assert(offsetof(HFSPlusCatalogFile, dataFork) == 88, "data fork at 88");
static_assert(offsetof(HFSPlusCatalogFile, resourceFork) == 168, "resource fork at 168");
static_assert(sizeof(HFSPlusCatalogThread) == 520, "thread record is at most 520 bytes");
static_assert(offsetof(HFSPlusCatalogThread, parentID) == 4, "thread parent at 4");
static_assert(offsetof(HFSPlusCatalogThread, nodeName) == 8, "thread name at 8");
}  // namespace raw

const size_t kHFSPlusCatalogKeyMinSize = 8;   // through the name length
const size_t kHFSPlusCatalogKeyMaxSize = sizeof(raw::HFSPlusCatalogKey);
const uint16_t kHFSPlusCatalogKeyMaxLength = kHFSPlusCatalogKeyMaxSize - 2;
const size_t kHFSPlusCatalogKeyNameOffset = offsetof(raw::HFSPlusCatalogKey, nodeName) + 2;
const uint16_t kHFSPlusMaxNameUnits = 255;
const size_t kHFSPlusExtentKeySize = sizeof(raw::HFSPlusExtentKey);
const uint16_t kHFSPlusExtentKeyLength = kHFSPlusExtentKeySize - 2;
const size_t kHFSPlusExtentRecordSize = 8 * sizeof(raw::HFSPlusExtentDescriptor);
const size_t kHFSPlusCatalogFolderSize = sizeof(raw::HFSPlusCatalogFolder);
const size_t kHFSPlusCatalogFileSize = sizeof(raw::HFSPlusCatalogFile);
const size_t kHFSPlusCatalogThreadMinSize = offsetof(raw::HFSPlusCatalogThread, nodeName) + 2;
const size_t kHFSPlusCatalogThreadNameOffset = kHFSPlusCatalogThreadMinSize;
const uint16_t kHFSPlusFolderRecordType = 1;
const uint16_t kHFSPlusFileRecordType = 2;
const uint16_t kHFSPlusFolderThreadRecordType = 3;
const uint16_t kHFSPlusFileThreadRecordType = 4;

// Host order from here on.
// A catalog key's fixed part; the name's units follow at kHFSPlusCatalogKeyNameOffset.
struct HFSPlusCatalogKey {
  uint16_t keyLength = 0;
  uint32_t parentID = 0;
  uint16_t nameLength = 0;
};

struct HFSPlusExtentKey {
  uint16_t keyLength = 0;
  uint8_t forkType = 0;
  uint8_t pad = 0;
  uint32_t fileID = 0;
  uint32_t startBlock = 0;
};

// What the readers take from a folder or file record; dataFork is the file's only.
struct HFSPlusCatalogEntry {
  uint16_t recordType = 0;
  uint32_t id = 0;  // folderID or fileID
  uint32_t createDate = 0;
  uint32_t contentModDate = 0;
  uint32_t attributeModDate = 0;
  uint32_t accessDate = 0;
  uint32_t backupDate = 0;
  HFSPlusForkData dataFork;
};

struct HFSPlusCatalogThread {
  uint16_t recordType = 0;
  uint32_t parentID = 0;
  uint16_t nameLength = 0;  // units at kHFSPlusCatalogThreadNameOffset
};

// Each refuses fewer bytes than its fixed part (8, 12, 64). Nothing is judged.
bool DecodeHFSPlusCatalogKey(const uint8_t* data, size_t size, HFSPlusCatalogKey* out);
bool DecodeHFSPlusExtentKey(const uint8_t* data, size_t size, HFSPlusExtentKey* out);
bool DecodeHFSPlusExtentRecord(const uint8_t* data, size_t size, HFSPlusExtentDescriptor out[8]);
// A folder record (88 bytes) or a file record (248); false for another type or fewer bytes.
bool DecodeHFSPlusCatalogEntry(const uint8_t* data, size_t size, HFSPlusCatalogEntry* out);
// A thread record whose name fits in (data, size), at most 255 units; false otherwise.
bool DecodeHFSPlusCatalogThread(const uint8_t* data, size_t size, HFSPlusCatalogThread* out);

// The rules every reader of a catalog key shares: a key length from 6 to 516 that holds
// the parent, the name length and the name's units, at most 255 of them. The length is even:
// a key is 6 + 2n bytes with nothing after the name, so an odd one is damage.
bool HFSPlusCatalogKeySound(const HFSPlusCatalogKey& k);

// The record type (1 to 4) of a catalog record whose fixed part, and a thread's name, fit
// in (data, size); 0 otherwise.
uint16_t HFSPlusCatalogRecordType(const uint8_t* data, size_t size);

// The bytes of a catalog leaf record that starts at data: its key, then the fixed size of a
// folder or file record or a thread's size with its name, as the record itself tells them.
// 0 when the key is not sound or the record does not fit in (data, size).
size_t HFSPlusCatalogRecordLength(const uint8_t* data, size_t size);

// Unit i of a name whose units start at `at` in (data, size); false when it does not fit.
bool HFSPlusNameUnit(const uint8_t* data, size_t size, size_t at, size_t i, uint16_t* out);

}  // namespace layout
