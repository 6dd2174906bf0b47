// exFAT directory entries (as Microsoft publishes the exFAT format), 32 bytes each, little-endian.
// Byte 0 is the entry type: bit 7 in use, bit 6 secondary, bit 5 benign, bits 0-4 the code.
// A deleted entry keeps its type with bit 7 clear (0x05, 0x40, 0x41).
//
// File (0x85):
//     1 1  secondary count              2 2  set checksum
//     4 2  file attributes (0x10 dir)   6 2  reserved
//     8 4  create timestamp            12 4  last-modified timestamp
//    16 4  last-accessed timestamp     20 1  create 10 ms     21 1  modified 10 ms
//    22 1  create UTC offset           23 1  modified UTC offset
//    24 1  accessed UTC offset         25 7  reserved
// Stream extension (0xC0):
//     1 1  flags: bit 0 allocation possible, bit 1 no FAT chain
//     3 1  name length, UTF-16 units    4 2  name hash
//     8 8  valid data length           20 4  first cluster   24 8  data length
// File name (0xC1):
//     1 1  flags                        2 30  15 UTF-16 units of the name
// Allocation bitmap (0x81):
//     1 1  flags: bit 0 second bitmap  20 4  first cluster   24 8  data length
// Up-case table (0x82):
//     4 4  table checksum              20 4  first cluster   24 8  data length
// Volume label (0x83):
//     1 1  character count (up to 11)   2 22  label, UTF-16
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct ExfatFileEntry {
  uint8_t entryType;               // 0
  uint8_t secondaryCount;          // 1
  uint16_t setChecksum;            // 2
  uint16_t fileAttributes;         // 4
  uint16_t reserved1;              // 6
  uint32_t createTimestamp;        // 8
  uint32_t lastModifiedTimestamp;  // 12
  uint32_t lastAccessedTimestamp;  // 16
  uint8_t create10ms;              // 20
  uint8_t lastModified10ms;        // 21
  uint8_t createUtcOffset;         // 22
  uint8_t lastModifiedUtcOffset;   // 23
  uint8_t lastAccessedUtcOffset;   // 24
  uint8_t reserved2[7];            // 25
};
struct ExfatStreamEntry {
  uint8_t entryType;         // 0
  uint8_t flags;             // 1
  uint8_t reserved1;         // 2
  uint8_t nameLength;        // 3
  uint16_t nameHash;         // 4
  uint16_t reserved2;        // 6
  uint64_t validDataLength;  // 8
  uint32_t reserved3;        // 16
  uint32_t firstCluster;     // 20
  uint64_t dataLength;       // 24
};
struct ExfatNameEntry {
  uint8_t entryType;      // 0
  uint8_t flags;          // 1
  uint16_t fileName[15];  // 2
};
struct ExfatBitmapEntry {
  uint8_t entryType;      // 0
  uint8_t bitmapFlags;    // 1
  uint8_t reserved[18];   // 2
  uint32_t firstCluster;  // 20
  uint64_t dataLength;    // 24
};
struct ExfatUpcaseEntry {
  uint8_t entryType;       // 0
  uint8_t reserved1[3];    // 1
  uint32_t tableChecksum;  // 4
  uint8_t reserved2[12];   // 8
  uint32_t firstCluster;   // 20
  uint64_t dataLength;     // 24
};
struct ExfatLabelEntry {
  uint8_t entryType;         // 0
  uint8_t characterCount;    // 1
  uint16_t volumeLabel[11];  // 2
  uint8_t reserved[8];       // 24
};
#pragma pack(pop)
static_assert(sizeof(ExfatFileEntry) == 32, "file entry is 32 bytes");
static_assert(offsetof(ExfatFileEntry, fileAttributes) == 4, "attributes at 4");
static_assert(offsetof(ExfatFileEntry, createTimestamp) == 8, "create time at 8");
static_assert(offsetof(ExfatFileEntry, lastAccessedUtcOffset) == 24, "access offset at 24");
static_assert(sizeof(ExfatStreamEntry) == 32, "stream entry is 32 bytes");
static_assert(offsetof(ExfatStreamEntry, nameLength) == 3, "name length at 3");
static_assert(offsetof(ExfatStreamEntry, validDataLength) == 8, "valid length at 8");
static_assert(offsetof(ExfatStreamEntry, firstCluster) == 20, "first cluster at 20");
static_assert(offsetof(ExfatStreamEntry, dataLength) == 24, "data length at 24");
static_assert(sizeof(ExfatNameEntry) == 32, "name entry is 32 bytes");
static_assert(offsetof(ExfatNameEntry, fileName) == 2, "name at 2");
static_assert(sizeof(ExfatBitmapEntry) == 32, "bitmap entry is 32 bytes");
static_assert(offsetof(ExfatBitmapEntry, firstCluster) == 20, "bitmap cluster at 20");
static_assert(sizeof(ExfatUpcaseEntry) == 32, "up-case entry is 32 bytes");
static_assert(offsetof(ExfatUpcaseEntry, tableChecksum) == 4, "checksum at 4");
static_assert(offsetof(ExfatUpcaseEntry, dataLength) == 24, "up-case length at 24");
static_assert(sizeof(ExfatLabelEntry) == 32, "label entry is 32 bytes");
static_assert(offsetof(ExfatLabelEntry, volumeLabel) == 2, "label at 2");
}  // namespace raw

const size_t kExfatEntrySize = 32;
const uint8_t kExfatInUse = 0x80;
const uint8_t kExfatTypeFile = 0x85;
const uint8_t kExfatTypeStream = 0xC0;
const uint8_t kExfatTypeName = 0xC1;
const uint8_t kExfatTypeBitmap = 0x81;
const uint8_t kExfatTypeUpcase = 0x82;
const uint8_t kExfatTypeLabel = 0x83;
const size_t kExfatNameChars = 15;
const size_t kExfatLabelChars = 11;

struct ExfatFileEntry {
  bool inUse = false;
  uint8_t secondaryCount = 0;
  uint16_t setChecksum = 0;
  uint16_t fileAttributes = 0;
  uint32_t createTimestamp = 0;
  uint32_t lastModifiedTimestamp = 0;
  uint32_t lastAccessedTimestamp = 0;
  uint8_t create10ms = 0;
  uint8_t lastModified10ms = 0;
  uint8_t createUtcOffset = 0;
  uint8_t lastModifiedUtcOffset = 0;
  uint8_t lastAccessedUtcOffset = 0;
};

struct ExfatStreamEntry {
  bool inUse = false;
  uint8_t flags = 0;
  uint8_t nameLength = 0;
  uint16_t nameHash = 0;
  uint64_t validDataLength = 0;
  uint32_t firstCluster = 0;
  uint64_t dataLength = 0;
  bool NoFatChain() const { return (flags & 0x02) != 0; }
};

struct ExfatNameEntry {
  bool inUse = false;
  uint8_t flags = 0;
  char16_t chars[kExfatNameChars] = {};
};

// The allocation bitmap and the up-case table: one cluster run each.
struct ExfatBitmapEntry {
  bool inUse = false;
  uint8_t bitmapFlags = 0;
  uint32_t firstCluster = 0;
  uint64_t dataLength = 0;
};

struct ExfatUpcaseEntry {
  bool inUse = false;
  uint32_t tableChecksum = 0;
  uint32_t firstCluster = 0;
  uint64_t dataLength = 0;
};

struct ExfatLabelEntry {
  bool inUse = false;
  std::u16string label;  // characterCount units
};

// The type codes of the entries above: file, stream, name and label in use or deleted
// (0x03 is also a label slot never given a label), bitmap and up-case in use. What the
// readers take for an exFAT directory; other codes (benign and vendor entries among them)
// are not looked at.
bool ExfatEntryTypeKnown(uint8_t type);

// The up-case table's first 64 units map onto themselves (no letter lies below 0x40), which
// marks the table's first sector. False when fewer than 128 bytes are given.
bool ExfatUpcaseTableStarts(const uint8_t* data, size_t size);

// Each decoder takes one 32-byte entry and refuses fewer bytes, or an entry whose type code
// (bits 0-6) is not its own; the in-use bit goes to inUse. The label is also refused when
// its character count is above 11.
bool DecodeExfatFileEntry(const uint8_t* data, size_t size, ExfatFileEntry* out);
bool DecodeExfatStreamEntry(const uint8_t* data, size_t size, ExfatStreamEntry* out);
bool DecodeExfatNameEntry(const uint8_t* data, size_t size, ExfatNameEntry* out);
bool DecodeExfatBitmapEntry(const uint8_t* data, size_t size, ExfatBitmapEntry* out);
bool DecodeExfatUpcaseEntry(const uint8_t* data, size_t size, ExfatUpcaseEntry* out);
bool DecodeExfatLabelEntry(const uint8_t* data, size_t size, ExfatLabelEntry* out);

}  // namespace layout
