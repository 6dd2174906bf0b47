// The GUID partition table (UEFI standard, chapter 5), little-endian.
//
// Header, in the sector after the protective MBR:
//     0  8  signature "EFI PART"          8  4  revision (0x00010000)
//    12  4  header size (92 or more)     16  4  CRC32 of the header
//    20  4  reserved                     24  8  LBA of this header
//    32  8  LBA of the other header      40  8  first usable LBA
//    48  8  last usable LBA              56 16  disk GUID
//    72  8  LBA of the entry array       80  4  number of entries
//    84  4  size of one entry            88  4  CRC32 of the entry array
// Entry (128 bytes or more):
//     0 16  partition type GUID (all zero: unused)   16 16  unique partition GUID
//    32  8  first LBA                                 40  8  last LBA, inclusive
//    48  8  attribute flags                           56 72  name, 36 UTF-16LE units
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct GptHeader {
  char signature[8];        // 0
  uint32_t revision;        // 8
  uint32_t headerSize;      // 12
  uint32_t headerCrc32;     // 16
  uint32_t reserved;        // 20
  uint64_t myLba;           // 24
  uint64_t alternateLba;    // 32
  uint64_t firstUsableLba;  // 40
  uint64_t lastUsableLba;   // 48
  uint8_t diskGuid[16];     // 56
  uint64_t entriesLba;      // 72
  uint32_t entryCount;      // 80
  uint32_t entrySize;       // 84
  uint32_t entriesCrc32;    // 88
};
struct GptEntry {
  uint8_t typeGuid[16];    // 0
  uint8_t uniqueGuid[16];  // 16
  uint64_t firstLba;       // 32
  uint64_t lastLba;        // 40
  uint64_t attributes;     // 48
  uint16_t name[36];       // 56
};
#pragma pack(pop)
static_assert(sizeof(GptHeader) == 92, "GPT header is 92 bytes");
static_assert(offsetof(GptHeader, headerSize) == 12, "header size at 12");
static_assert(offsetof(GptHeader, myLba) == 24, "my LBA at 24");
static_assert(offsetof(GptHeader, diskGuid) == 56, "disk GUID at 56");
static_assert(offsetof(GptHeader, entriesLba) == 72, "entry array LBA at 72");
static_assert(offsetof(GptHeader, entryCount) == 80, "entry count at 80");
static_assert(offsetof(GptHeader, entrySize) == 84, "entry size at 84");
static_assert(sizeof(GptEntry) == 128, "GPT entry is 128 bytes");
static_assert(offsetof(GptEntry, firstLba) == 32, "first LBA at 32");
static_assert(offsetof(GptEntry, lastLba) == 40, "last LBA at 40");
static_assert(offsetof(GptEntry, name) == 56, "name at 56");
}  // namespace raw

const size_t kGptHeaderMinSize = sizeof(raw::GptHeader);
const size_t kGptEntryMinSize = sizeof(raw::GptEntry);

struct GptHeader {
  bool signatureValid = false;  // "EFI PART"
  uint32_t revision = 0;
  uint32_t headerSize = 0;
  uint32_t headerCrc32 = 0;
  uint64_t myLba = 0;
  uint64_t alternateLba = 0;
  uint64_t firstUsableLba = 0;
  uint64_t lastUsableLba = 0;
  uint8_t diskGuid[16] = {};
  uint64_t entriesLba = 0;
  uint32_t entryCount = 0;
  uint32_t entrySize = 0;
  uint32_t entriesCrc32 = 0;
  uint64_t entryArrayBytes = 0;  // entryCount * entrySize, taken in 64 bits
  bool headerSizeValid = false;  // headerSize is 92 or more and within the bytes given
};

struct GptEntry {
  uint8_t typeGuid[16] = {};
  uint8_t uniqueGuid[16] = {};
  uint64_t firstLba = 0;
  uint64_t lastLba = 0;
  uint64_t attributes = 0;
  char16_t name[37] = {};  // always NUL-terminated

  bool IsUnused() const;
};

// Whether the bytes begin with the header's signature "EFI PART".
bool HasGptSignature(const uint8_t* data, size_t size);
// The header's fields whatever its own size field says (headerSizeValid tells); false only
// when fewer than 92 bytes are given. The disk's table reader takes a header this way: the
// size field bounds only the header's CRC, and a header damaged there alone still locates a
// sound entry array.
bool ReadGptHeaderFields(const uint8_t* data, size_t size, GptHeader* out);
// As ReadGptHeaderFields, and false when the header's own size field is below 92 or reaches
// past the bytes given.
bool DecodeGptHeader(const uint8_t* data, size_t size, GptHeader* out);
// One entry of at least 128 bytes.
bool DecodeGptEntry(const uint8_t* data, size_t size, GptEntry* out);
// Entry index of an array of tableSize bytes whose entries are entrySize bytes long; false
// when the entry size is below 128 or the entry does not lie wholly in the array.
bool GptEntryAt(const uint8_t* table, size_t tableSize, uint32_t entrySize, uint32_t index, GptEntry* out);

// An entry size the standard allows: 128 x 2^n bytes.
bool GptEntrySizeValid(uint32_t entrySize);
// Whether the entry array is one the disk can hold: entries present, of a size
// GptEntrySizeValid allows, at most maxBytes in all, starting past LBA 0 and ending inside
// the disk. *sectors gets the array's length in sectors of sectorSize.
bool ValidateGptEntryArray(const GptHeader& h, uint32_t sectorSize, uint64_t totalSectors, uint64_t maxBytes,
                           uint64_t* sectors);

}  // namespace layout
