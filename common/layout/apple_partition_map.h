// The Apple partition map (Inside Macintosh: Devices, the partition map entry record), as
// Macs, CDs and hybrid ISO images (xorriso -hfsplus) carry it. Big-endian.
//
// Block 0 of the disk is the driver descriptor map ("ER", its block size u16 at 2). Blocks
// 1 to N of the map's own block size hold one partition map entry each:
//     0 2  signature "PM" (0x504D)        2 2  reserved
//     4 4  entries in the map (N)         8 4  first block of the partition
//    12 4  blocks in the partition        16 32 name, zero-padded
//    48 32 type, zero-padded ("Apple_partition_map", "Apple_HFS", "Apple_HFSX", ...)
// The map describes itself in an entry of type "Apple_partition_map" that begins at block 1.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct ApmEntry {
  uint16_t signature;   // 0
  uint16_t reserved;    // 2
  uint32_t mapEntries;  // 4
  uint32_t start;       // 8
  uint32_t blocks;      // 12
  char name[32];        // 16
  char type[32];        // 48
};
#pragma pack(pop)
static_assert(sizeof(ApmEntry) == 80, "the fields read of an entry are 80 bytes");
static_assert(offsetof(ApmEntry, mapEntries) == 4, "map entries at 4");
static_assert(offsetof(ApmEntry, start) == 8, "start at 8");
static_assert(offsetof(ApmEntry, blocks) == 12, "block count at 12");
static_assert(offsetof(ApmEntry, type) == 48, "type at 48");
}  // namespace raw

const uint16_t kApmEntrySignature = 0x504D;  // "PM"
const size_t kApmEntrySize = sizeof(raw::ApmEntry);

// Host order; the texts are cut at their first zero.
struct ApmEntry {
  uint32_t mapEntries = 0;
  uint32_t start = 0;
  uint32_t blocks = 0;
  char name[33] = {};
  char type[33] = {};
};

// False when the bytes are fewer than an entry or do not begin with "PM".
bool DecodeApmEntry(const uint8_t* data, size_t size, ApmEntry* out);

// An entry whose partition holds an HFS+ or HFSX volume ("Apple_HFS", "Apple_HFSX").
bool ApmEntryIsHfs(const ApmEntry& e);

// Where the HFS partitions of a map begin, in bytes from the start of (data, size), which
// holds the first bytes of a device: a disk, or a partition of one that begins at or before
// the map's first entry. The map must lie wholly in the bytes, its own entry first (as the
// map's first block), at one block size of 512 to 4096 bytes that the spacing of its entries
// tells. A partition that would begin before the bytes do is left out.
std::vector<uint64_t> ApmHfsStarts(const uint8_t* data, size_t size);

}  // namespace layout
