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
#include <functional>

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

// A partition sector read by the rules that every reader of a DOS table shares:
// - an EBR holds one logical partition and one link, so only its first two entries count;
//   the MBR's four do;
// - a status byte other than 0x00 or 0x80 ends the entries of that sector: those before it
//   stand, it and those after it are no entries;
// - an empty entry (type 0 or no sectors) is passed over;
// - an extended type (0x05, 0x0F, 0x85) is a link, and the first one with a non-zero start
//   is taken, in the MBR and in an EBR alike;
// - a GPT-protective entry (0xEE) is never a data partition; it is reported instead.
struct PartitionRecord {
  MbrEntry partitions[4];  // data partitions in table order, starts as stored (relative)
  size_t count = 0;
  // In the MBR the extended partition's start; in an EBR the next EBR's offset from that
  // start. 0 when the sector names none.
  uint32_t link = 0;
  bool protective = false;  // the MBR of a GPT disk (or a hybrid one)
};
// False when fewer than 512 bytes are given or the sector is not signed 0x55 0xAA.
bool DecodePartitionRecord(const uint8_t* data, size_t size, bool isEbr, PartitionRecord* out);

// More EBRs than this in one chain is taken as corrupt.
const int kMaxEbrRecords = 128;

struct EbrWalk {
  int records = 0;      // EBRs read
  bool failed = false;  // the walk ended at an EBR that could not be read (the records+1-th)
};
// Follows the chain of EBRs of the extended partition that starts at base: visit(sector,
// &link) reads the EBR at that sector and gives its link (0: the last one); false when it
// cannot be read. The walk also ends on an EBR met before, after kMaxEbrRecords of them, and
// at an EBR at or past totalSectors, which a partial image did not hold (no failure).
EbrWalk WalkEbrChain(uint64_t base, uint64_t totalSectors,
                     const std::function<bool(uint64_t sector, uint32_t* link)>& visit);

}  // namespace layout
