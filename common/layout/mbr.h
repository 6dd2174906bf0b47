// The master boot record and the extended boot records of a DOS partition table.
//
// A partition sector (MBR or EBR) is 512 bytes, little-endian:
//     0  446  boot code
//   446   64  four 16-byte partition entries
//   510    2  signature 0x55 0xAA
// A partition entry (16 bytes):
//     0 1  status: 0x80 active, 0x00 inactive, anything else is not an entry
//     1 3  CHS address of the first sector
//     4 1  partition type
//     5 3  CHS address of the last sector
//     8 4  first sector (LBA): from the disk's start in the MBR; in an EBR, the logical
//          partition's from that EBR, the next EBR's from the extended partition's start
//    12 4  number of sectors
// An EBR uses its first entry for its logical partition and its second for the link to the
// next EBR; the third and fourth are zero.
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct MbrEntry {
  uint8_t status;       // 0
  uint8_t chsFirst[3];  // 1
  uint8_t type;         // 4
  uint8_t chsLast[3];   // 5
  uint32_t firstLba;    // 8, little-endian
  uint32_t sectors;     // 12, little-endian
};
struct MbrSector {
  uint8_t bootCode[446];  // 0
  MbrEntry entries[4];    // 446
  uint8_t signature[2];   // 510: 0x55 0xAA
};
#pragma pack(pop)
static_assert(sizeof(MbrEntry) == 16, "partition entry is 16 bytes");
static_assert(offsetof(MbrEntry, type) == 4, "type at 4");
static_assert(offsetof(MbrEntry, firstLba) == 8, "first sector at 8");
static_assert(offsetof(MbrEntry, sectors) == 12, "sector count at 12");
static_assert(sizeof(MbrSector) == 512, "partition sector is 512 bytes");
static_assert(offsetof(MbrSector, entries) == 446, "entries at 446");
static_assert(offsetof(MbrSector, signature) == 510, "signature at 510");
}  // namespace raw

const size_t kMbrEntrySize = sizeof(raw::MbrEntry);
const size_t kMbrSectorSize = sizeof(raw::MbrSector);
const size_t kMbrEntriesOffset = offsetof(raw::MbrSector, entries);

const uint8_t kMbrTypeEmpty = 0x00;
const uint8_t kMbrTypeExtended = 0x05;       // CHS-addressed extended partition
const uint8_t kMbrTypeExtendedLba = 0x0F;    // LBA-addressed extended partition
const uint8_t kMbrTypeLinuxExtended = 0x85;  // Linux's extended partition, the same EBR chain
const uint8_t kMbrTypeGptProtective = 0xEE;  // the whole disk is described by a GPT

struct MbrEntry {
  uint8_t status = 0;
  uint8_t type = 0;
  uint32_t firstLba = 0;
  uint32_t sectors = 0;
  uint8_t chsFirst[3] = {};
  uint8_t chsLast[3] = {};

  // The status byte of a real entry is 0x00 or 0x80; others mean the sector is no table.
  bool StatusValid() const { return status == 0x00 || status == 0x80; }
  bool IsEmpty() const { return type == kMbrTypeEmpty || sectors == 0; }
};

struct MbrSector {
  MbrEntry entries[4];
  bool signatureValid = false;  // 0x55 0xAA at 510
};

// An EBR seen through its two meaningful entries.
struct Ebr {
  MbrEntry logical;  // relative to this EBR
  MbrEntry next;     // relative to the extended partition's start
  bool signatureValid = false;
};

// True for the three types that open an EBR chain.
bool IsExtendedPartitionType(uint8_t type);

// One 16-byte entry; false when fewer than 16 bytes are given.
bool DecodeMbrEntry(const uint8_t* data, size_t size, MbrEntry* out);
// A whole partition sector; false when it is shorter than 512 bytes. A missing signature is
// reported in signatureValid, not refused: the caller decides what an unsigned sector means.
bool DecodeMbrSector(const uint8_t* data, size_t size, MbrSector* out);
bool DecodeEbr(const uint8_t* data, size_t size, Ebr* out);

}  // namespace layout
