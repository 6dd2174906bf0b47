// One entry of an NTFS $ATTRIBUTE_LIST value (type 0x20), little-endian. Entries follow one
// another, each recordLength bytes long.
//
//     0 4  attribute type              4 2  length of this entry
//     6 1  name length, UTF-16 units   7 1  name offset, from the entry
//     8 8  starting VCN               16 8  reference of the record holding the attribute
//    24 2  attribute id               26    name (when there is one)
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct NtfsAttributeListEntry {
  uint32_t type;           // 0
  uint16_t recordLength;   // 4
  uint8_t nameLength;      // 6
  uint8_t nameOffset;      // 7
  uint64_t startingVcn;    // 8
  uint64_t fileReference;  // 16
  uint16_t attributeId;    // 24
};
#pragma pack(pop)
static_assert(sizeof(NtfsAttributeListEntry) == 26, "attribute-list entry is 26 bytes");
static_assert(offsetof(NtfsAttributeListEntry, recordLength) == 4, "length at 4");
static_assert(offsetof(NtfsAttributeListEntry, startingVcn) == 8, "starting VCN at 8");
static_assert(offsetof(NtfsAttributeListEntry, fileReference) == 16, "reference at 16");
static_assert(offsetof(NtfsAttributeListEntry, attributeId) == 24, "attribute id at 24");
}  // namespace raw

const size_t kNtfsAttributeListEntryMinSize = sizeof(raw::NtfsAttributeListEntry);

struct NtfsAttributeListEntry {
  uint32_t type = 0;
  uint16_t recordLength = 0;  // where the next entry starts, from this one
  uint8_t nameLength = 0;
  uint8_t nameOffset = 0;
  uint64_t startingVcn = 0;
  uint64_t record = 0;  // low 48 bits of the reference
  uint16_t sequence = 0;
  uint16_t attributeId = 0;
};

// data is the entry's first byte and size what is left of the list. False when fewer than
// 26 bytes are left, the entry's length is below 26 or reaches past size, or its name does
// not lie inside the entry.
bool DecodeNtfsAttributeListEntry(const uint8_t* data, size_t size, NtfsAttributeListEntry* out);

// How far a walk over the list steps from this entry to the next: its length, or 0 when fewer
// than 26 bytes are left or the length is below 26 or reaches past size. An entry that the
// decoder refuses for its name alone still has a length to step over.
size_t NtfsAttributeListEntryStep(const uint8_t* data, size_t size);

}  // namespace layout
